// watered: tells the collector that zones were watered, for sites without MQTT. A row in the
// spool per sensor, which the collector, running or started later, takes up within a second and
// awaits each sensor's rise (the no_rise alarm).

#include "cli/commands.h"
#include "cli/console.h"
#include "collect/config.h"
#include "collect/spool.h"

#include <QDateTime>

#include <CLI/CLI.hpp>

namespace kv::cli {
namespace {

struct Named {
    QString key; // "<bus>/<address>"
    QString name;
};

// The configured sensor SENSOR names, as its key or its name; empty after saying why not.
QString resolve(const QString& given, const std::vector<Named>& sensors, const QString& path) {
    QStringList byName;
    for (const Named& s : sensors) {
        if (s.key == given) return s.key;
        if (s.name == given) byName << s.key;
    }
    if (byName.size() == 1) return byName.front();
    if (byName.size() > 1) {
        error(QStringLiteral("'%1' names %2 sensors in %3 (%4): give one as bus/address")
                  .arg(given)
                  .arg(byName.size())
                  .arg(path, byName.join(QStringLiteral(", "))));
        return {};
    }
    QStringList known;
    for (const Named& s : sensors)
        known << (s.name.isEmpty() ? s.key : s.key + QStringLiteral(" (") + s.name + QLatin1Char(')'));
    error(QStringLiteral("no sensor '%1' in %2; give bus/address or a sensor's name: %3")
              .arg(given, path, known.join(QStringLiteral(", "))));
    return {};
}

int runWatered(const QString& path, const std::vector<std::string>& given) {
    collect::CollectorConfig config;
    if (!loadChecked(path, config)) return EXIT_USAGE;
    std::vector<Named> sensors;
    for (const collect::BusConfig& b : config.buses)
        for (const collect::SensorConfig& sc : b.sensors)
            sensors.push_back({collect::sensorKey(b, sc.address), sc.name});
    // Every name checked before anything is recorded: all of them or none.
    QStringList keys;
    bool sound = true;
    for (const std::string& g : given) {
        const QString key = resolve(QString::fromStdString(g), sensors, path);
        sound = sound && !key.isEmpty();
        if (!key.isEmpty() && !keys.contains(key)) keys << key;
    }
    if (!sound) return EXIT_USAGE;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QString why;
    if (!collect::Spool::addWatering(config.spool.path, keys, now, &why)) {
        error(QStringLiteral("nothing recorded: %1").arg(why));
        return EXIT_USAGE;
    }
    const QString at = QDateTime::fromMSecsSinceEpoch(now, Qt::UTC).toString(Qt::ISODate);
    for (const QString& key : keys)
        print(QStringLiteral("%1: watered at %2, recorded in %3").arg(key, at, config.spool.path));
    print(QStringLiteral("the collector takes it up within a second, or when it next starts"));
    return EXIT_OK;
}

class WateredCommand final : public Command {
public:
    explicit WateredCommand(CLI::App& sub) {
        sub.description("Tells the collector that sensors' zones were watered now: it awaits each one's "
                        "rise in moisture (the no_rise alarm); for sites without MQTT");
        sub.add_option("--config", path_, "The collector's configuration (TOML)")->required();
        sub.add_option("SENSOR", sensors_, "bus/address, or a sensor's name")->required();
    }
    bool checkPort(GlobalOptions& /*options*/) override { return true; }
    int run(Context& /*context*/) override { return runWatered(QString::fromStdString(path_), sensors_); }

private:
    std::string path_;
    std::vector<std::string> sensors_;
};

} // namespace

const CommandRow wateredRow{nullptr, "watered", describeAs<WateredCommand>};

} // namespace kv::cli
