#include "cli/readings.h"

#include "sensor/plausibility.h"
#include "sensor/records.h"
#include "sensor/values.h"
#include "soil/derived.h"

#include <QDateTime>
#include <QStringList>

namespace kv::cli {
namespace {

// A backslash before each of `special`; a line break, which the protocol cannot carry
// inside a name or value, becomes an escaped blank.
QString escaped(QString s, QLatin1String special) {
    s.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    QString out;
    out.reserve(s.size() + 8);
    for (QChar c : s) {
        if (special.contains(c)) out += QLatin1Char('\\');
        out += c;
    }
    return out;
}

QString relativeWaterText(const std::optional<double>& v) {
    return v ? QString::number(*v, 'f', 3) : QString();
}

QString deficitText(const std::optional<double>& v) {
    return v ? QString::number(*v, 'f', 1) : QString();
}

// The soil's members of a JSON object, each after a comma; none for a reading without them.
QString jsonSoil(const Reading& r) {
    if (!r.soil) return {};
    const QString rw = relativeWaterText(r.soil->relativeWater);
    const QString deficit = deficitText(r.soil->deficitMm);
    QStringList flags;
    for (const QString& f : r.soil->flags)
        flags << jsonString(f);
    QString calibrated;
    if (!r.soil->calibration.isEmpty()) {
        const QString v = calibratedText(r.soil->calibrated);
        calibrated = QStringLiteral(",\"moisture_calibrated\":") +
                     (v.isEmpty() ? QStringLiteral("null") : v) + QStringLiteral(",\"calibration\":") +
                     jsonString(r.soil->calibration);
    }
    return calibrated + QStringLiteral(",\"relative_water\":") +
           (rw.isEmpty() ? QStringLiteral("null") : rw) + QStringLiteral(",\"deficit_mm\":") +
           (deficit.isEmpty() ? QStringLiteral("null") : deficit) + QStringLiteral(",\"flags\":[") +
           flags.join(QLatin1Char(',')) + QLatin1Char(']');
}

QString jsonLine(const Reading& r, const QString& latency, const QString& more = {}) {
    return QStringLiteral("{\"time\":") + jsonString(r.time) + QStringLiteral(",\"port\":") +
           jsonString(r.port) + QStringLiteral(",\"address\":") + QString::number(r.address) +
           QStringLiteral(",\"moisture_percent\":") + (r.hasValues() ? r.moisture : QStringLiteral("null")) +
           QStringLiteral(",\"temperature_celsius\":") +
           (r.hasValues() ? r.temperature : QStringLiteral("null")) + QStringLiteral(",\"latency_ms\":") +
           (latency.isEmpty() ? QStringLiteral("null") : latency) + QStringLiteral(",\"status\":") +
           jsonString(r.status) + jsonSoil(r) + more + QStringLiteral("}\n");
}

} // namespace

QString jsonString(const QString& s) {
    QString out = QStringLiteral("\"");
    for (QChar c : s) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\') + c;
        else if (c.unicode() < 0x20)
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + QLatin1Char('"');
}

QString moistureText(const sensor::Reply& measurement) {
    return sensor::hundredthsText(measurement.registers[0]);
}

QString temperatureText(const sensor::Reply& measurement) {
    return sensor::hundredthsText(sensor::temperatureHundredths(measurement.registers[1]));
}

QString measurementText(const sensor::Reply& measurement) {
    const QString why = sensor::implausibility(measurement.registers[0], measurement.registers[1]);
    return QStringLiteral("moisture %1 %, temperature %2 C")
               .arg(moistureText(measurement), temperatureText(measurement)) +
           (why.isEmpty() ? QString() : QStringLiteral(" (implausible: %1)").arg(why));
}

QString measurementOrWhy(const Result& r) {
    return r.ok() ? measurementText(r.reply) : r.detail;
}

QString calibratedText(const std::optional<double>& v) {
    return v ? QString::number(*v, 'f', 2) : QString();
}

QString msText(double v) {
    return QString::number(v, 'f', 1);
}

void fillMeasurement(Reading& row, const Result& r) {
    // A reply has its latency (an exception too, when it is surely this request's).
    row.latencyMs = r.latency ? std::optional<double>(msOf(*r.latency)) : std::nullopt;
    if (r.ok()) {
        row.moisture = moistureText(r.reply);
        row.temperature = temperatureText(r.reply);
        // Values beyond what the sensor can report are kept, but never taken for a measurement.
        row.ok = sensor::implausibility(r.reply.registers[0], r.reply.registers[1]).isEmpty();
        row.status = row.ok ? QStringLiteral("ok") : QStringLiteral("implausible");
        return;
    }
    // A gateway's exception for a device that did not answer keeps the gateway's words.
    const bool toldByGateway = r.reply.status == sensor::ReplyStatus::Exception;
    row.status = r.outcome == line::Outcome::Timeout && !toldByGateway ? QStringLiteral("timeout")
                 : r.outcome == line::Outcome::Lost                    ? QStringLiteral("port lost")
                                                                       : r.detail;
}

soil::Sample soilSample(const Reading& row, qint64 periodMs) {
    soil::Sample s;
    s.ms = row.unixMs;
    s.ok = row.ok;
    s.implausible = row.status == QLatin1String("implausible");
    s.periodMs = periodMs;
    bool ok = false;
    if (const double moisture = row.moisture.toDouble(&ok); ok) s.moisture = moisture;
    if (const double temperature = row.temperature.toDouble(&ok); ok) s.temperature = temperature;
    return s;
}

Reading::Soil soilColumns(const Reading& row, const soil::Sample& s, QStringList flags,
                          const soil::SoilSettings& settings) {
    Reading::Soil out;
    out.flags = std::move(flags);
    if (settings.calibration) out.calibration = settings.calibration->id;
    if (row.ok && s.moisture) {
        const soil::Derived d = soil::derive(settings, *s.moisture);
        out.calibrated = d.calibrated;
        out.relativeWater = d.relativeWater;
        out.deficitMm = d.deficitMm;
    }
    return out;
}

void stampAt(Reading& r, const WallClock& clock, qint64 atNs) {
    r.unixMs = clock.unixMsAt(atNs);
    r.time = clock.textAt(atNs);
}

void stampNow(Reading& r) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    r.time = now.toString(Qt::ISODateWithMs);
    r.unixMs = now.toMSecsSinceEpoch();
}

QString csvHeader(bool withPort, bool withSoil, bool withCalibration) {
    return (withPort
                ? QStringLiteral("time,port,address,moisture_percent,temperature_celsius,latency_ms,status")
                : QStringLiteral("time,address,moisture_percent,temperature_celsius,latency_ms,status")) +
           (withSoil ? QStringLiteral(",relative_water,deficit_mm,flags") : QString()) +
           (withCalibration ? QStringLiteral(",moisture_calibrated") : QString());
}

QString influxKey(const QString& s) {
    return escaped(s, QLatin1String(", ="));
}

QString influxString(const QString& s) {
    QString q = s;
    q.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('"'), QStringLiteral("\\\""));
    q.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

QString jsonObject(const Reading& r, const QString& more) {
    QString line = jsonLine(r, r.latencyMs ? msText(*r.latencyMs) : QString(), more);
    line.chop(1);
    return line;
}

QString influxLine(const Reading& r, const QStringList& tags) {
    // Tags in key order, as the database sorts them anyway.
    QString line = QStringLiteral("soil,address=") + QString::number(r.address);
    if (!r.port.isEmpty()) line += QStringLiteral(",port=") + influxKey(r.port);
    for (const QString& tag : tags)
        line += QLatin1Char(',') + tag;
    QStringList fields;
    if (r.hasValues()) {
        fields << QStringLiteral("moisture=") + r.moisture << QStringLiteral("temperature=") + r.temperature;
    }
    if (r.latencyMs) fields << QStringLiteral("latency_ms=") + msText(*r.latencyMs);
    fields << QStringLiteral("status=") + influxString(r.status);
    if (r.soil) {
        if (r.soil->calibrated)
            fields << QStringLiteral("moisture_calibrated=") + calibratedText(r.soil->calibrated);
        if (r.soil->relativeWater)
            fields << QStringLiteral("relative_water=") + relativeWaterText(r.soil->relativeWater);
        if (r.soil->deficitMm) fields << QStringLiteral("deficit_mm=") + deficitText(r.soil->deficitMm);
        fields << QStringLiteral("flags=") + influxString(r.soil->flags.join(QLatin1Char(',')));
    }
    return line + QLatin1Char(' ') + fields.join(QLatin1Char(',')) + QLatin1Char(' ') +
           QString::number(r.unixMs * 1000000);
}

QString ReadingWriter::headerLine() const {
    if (format_ == Csv) return csvHeader(withPort_, withSoil_, withCalibration_) + QLatin1Char('\n');
    if (format_ != Table) return {};
    const QString status = withSoil_ ? QStringLiteral("%1  %2  %3  flags")
                                           .arg(QStringLiteral("status"), -11)
                                           .arg(QStringLiteral("rel water"), 9)
                                           .arg(QStringLiteral("deficit mm"), 10)
                                     : QStringLiteral("status");
    return (withPort_ ? QStringLiteral("port  ") : QString()) +
           QStringLiteral("%1  %2  %3  %4  %5  %6\n")
               .arg(QStringLiteral("time"), -24)
               .arg(QStringLiteral("address"), 7)
               .arg(withCalibration_ ? QStringLiteral("moisture %  calibrated %")
                                     : QStringLiteral("moisture %"),
                    10)
               .arg(QStringLiteral("temperature C"), 13)
               .arg(QStringLiteral("latency ms"), 10)
               .arg(status);
}

QString ReadingWriter::line(const Reading& r) const {
    const QString latency = r.latencyMs ? msText(*r.latencyMs) : QString();
    switch (format_) {
    case Csv: {
        // Joined rather than formatted: a port or status may itself hold "%1".
        QStringList fields{r.time};
        if (withPort_) fields << sensor::csvField(r.port);
        fields << QString::number(r.address) << r.moisture << r.temperature << latency
               << sensor::csvField(r.status);
        // Flags joined by semicolons: a comma would need the field quoted.
        if (withSoil_) {
            const Reading::Soil none;
            const Reading::Soil& s = r.soil ? *r.soil : none;
            fields << relativeWaterText(s.relativeWater) << deficitText(s.deficitMm)
                   << s.flags.join(QLatin1Char(';'));
            if (withCalibration_) fields << calibratedText(s.calibrated);
        }
        return fields.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    case Json:
        return jsonLine(r, latency);
    case Influx:
        return influxLine(r) + QLatin1Char('\n');
    case Table: {
        QString status = r.status;
        if (withSoil_) {
            const Reading::Soil none;
            const Reading::Soil& s = r.soil ? *r.soil : none;
            const QString rw = relativeWaterText(s.relativeWater);
            const QString deficit = deficitText(s.deficitMm);
            // Padded rather than formatted: a status may itself hold "%1".
            status = r.status.leftJustified(11) + QStringLiteral("  ") +
                     (rw.isEmpty() ? QStringLiteral("-") : rw).rightJustified(9) + QStringLiteral("  ") +
                     (deficit.isEmpty() ? QStringLiteral("-") : deficit).rightJustified(10) +
                     QStringLiteral("  ") +
                     (s.flags.isEmpty() ? QStringLiteral("-") : s.flags.join(QLatin1Char(',')));
        }
        QString moisture = r.hasValues() ? r.moisture : QStringLiteral("-");
        if (withCalibration_) {
            const QString calibrated = r.soil ? calibratedText(r.soil->calibrated) : QString();
            moisture = moisture.rightJustified(10) + QStringLiteral("  ") +
                       (calibrated.isEmpty() ? QStringLiteral("-") : calibrated).rightJustified(12);
        }
        return (withPort_ ? r.port + QStringLiteral("  ") : QString()) +
               QStringLiteral("%1  %2  %3  %4  %5  %6\n")
                   .arg(r.time, -24)
                   .arg(r.address, 7)
                   .arg(moisture, 10)
                   .arg(r.hasValues() ? r.temperature : QStringLiteral("-"), 13)
                   .arg(latency.isEmpty() ? QStringLiteral("-") : latency, 10)
                   .arg(status);
    }
    }
    return {};
}

bool ReadingWriter::write(const Reading& r) {
    QString text;
    if (header_) {
        header_ = false;
        text = headerLine();
    }
    const QByteArray bytes = (text + line(r)).toUtf8();
    const bool written = std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), to_) ==
                         static_cast<std::size_t>(bytes.size());
    // Flushed line by line, so a crash or an unplugged adapter loses nothing already measured.
    return std::fflush(to_) == 0 && written;
}

} // namespace kv::cli
