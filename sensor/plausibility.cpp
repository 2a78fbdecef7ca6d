#include "sensor/plausibility.h"

#include "sensor/values.h"

#include <QStringList>

namespace kv::sensor {
namespace {

// "above 100 %", "below -200 C"; empty within the limits. Values are in hundredths.
QString beyond(long long hundredths, Limits limits, const QString& unit) {
    const auto low = static_cast<long long>(limits.low * 100);
    const auto high = static_cast<long long>(limits.high * 100);
    if (hundredths < low) return QStringLiteral(" below %1 %2").arg(hundredthsText(low), unit);
    if (hundredths > high) return QStringLiteral(" above %1 %2").arg(hundredthsText(high), unit);
    return {};
}

} // namespace

QString implausibility(std::uint16_t moistureRaw, std::uint16_t temperatureRaw) {
    QStringList why;
    if (const QString m = beyond(moistureRaw, MOISTURE_PERCENT, QStringLiteral("%")); !m.isEmpty())
        why << QStringLiteral("moisture %1 %").arg(hundredthsText(moistureRaw)) + m;
    const int t = temperatureHundredths(temperatureRaw);
    if (const QString c = beyond(t, TEMPERATURE_CELSIUS, QStringLiteral("C")); !c.isEmpty())
        why << QStringLiteral("temperature %1 C").arg(hundredthsText(t)) + c;
    return why.join(QStringLiteral(", "));
}

QString implausibleResistance(std::uint16_t resistanceRaw) {
    const QString r = beyond(resistanceRaw, RESISTANCE_OHM, QStringLiteral("ohm"));
    return r.isEmpty() ? QString()
                       : QStringLiteral("resistance %1 ohm").arg(hundredthsText(resistanceRaw)) + r;
}

QString plausibilityHelp() {
    return QStringLiteral(
        "Plausible values: moisture 0-100 % (the widest hardware range); temperature -200 to\n"
        "+300 C (a PT100 is defined from -200 C, and the register reads raw values above 30000,\n"
        "+300.00 C, as negative); resistance 18.52-390.48 ohm (a PT100 from -200 to +850 C).\n"
        "A reading beyond them keeps its values but has the status 'implausible', never 'ok'.");
}

} // namespace kv::sensor
