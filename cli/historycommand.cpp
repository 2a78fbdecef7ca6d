// history: a sensor's life as the history file keeps it, or its commissioning certificate with
// a measurement taken now.

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/history.h"
#include "cli/port.h"
#include "cli/readings.h"
#include "kv_version.h"
#include "sensor/plausibility.h"
#include "sensor/protocol.h"
#include "sensor/values.h"
#include "soil/derived.h"

#ifdef KV_WITH_COLLECT
#include "collect/config.h"
#endif

#include <CLI/CLI.hpp>

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QRegularExpression>

namespace kv::cli {
namespace {

struct CertificateOptions {
    QString site;
    QString depth;                          // "30-40", as given
    std::optional<soil::SoilSettings> soil; // from the collector's file, when it names the sensor
    QString busPort;                        // the file's port for the sensor
    int busBaud = 0;
};

// "A-B" in centimetres, A at most B; or a single depth.
bool depthValid(const QString& text) {
    static const QRegularExpression form(QStringLiteral(R"(^(\d{1,4}(?:\.\d+)?)(?:-(\d{1,4}(?:\.\d+)?))?$)"));
    const auto m = form.match(text);
    return m.hasMatch() && (m.captured(2).isEmpty() || m.captured(1).toDouble() <= m.captured(2).toDouble());
}

QString field(const char* label, const QString& value) {
    return QStringLiteral("%1%2").arg(QLatin1String(label), -20).arg(value);
}

QStringList settingsLines(const std::vector<QJsonObject>& life) {
    const auto known = lastKnownParameters(life);
    if (known.empty()) return {QStringLiteral("  none recorded by this tool")};
    QStringList lines;
    for (const auto& [i, raw] : known) {
        if (i < 0 || i >= sensor::PARAMETER_COUNT) continue;
        const auto& info = sensor::parameterInfo(i);
        lines << QStringLiteral("  %1%2%3")
                     .arg(QLatin1String(info.key), -17)
                     .arg(QLatin1String(info.label), -36)
                     .arg(raw ? sensor::parameterText(i, *raw)
                              : QStringLiteral("unknown (last write unconfirmed)"));
    }
    return lines;
}

QStringList calibrationLines(const std::vector<QJsonObject>& life) {
    for (auto e = life.rbegin(); e != life.rend(); ++e) {
        if (!e->contains(QLatin1String("calibration"))) continue;
        QStringList lines{QStringLiteral("  on %1").arg(e->value(QLatin1String("time")).toString())};
        lines << entryText(*e).split(QLatin1Char('\n')).mid(1);
        return lines;
    }
    return {QStringLiteral("  none recorded by this tool")};
}

QString percent(const std::optional<double>& v) {
    return v ? QString::number(*v, 'g', 6) + QStringLiteral(" %") : QStringLiteral("not given");
}

QStringList soilLines(const soil::SoilSettings& s) {
    QStringList lines{
        QStringLiteral("  ") + field("Field capacity", percent(s.fieldCapacity)),
        QStringLiteral("  ") + field("Wilting point", percent(s.wiltingPoint)),
        QStringLiteral("  ") + field("Refill point", percent(s.refillPoint())),
        QStringLiteral("  ") +
            field("Root zone", s.rootZoneCm ? QString::number(*s.rootZoneCm, 'g', 6) + QStringLiteral(" cm")
                                            : QStringLiteral("not given")),
    };
    if (const auto& c = s.calibration)
        lines << QStringLiteral("  ") +
                     field("Calibration", QStringLiteral("%1 of %2: vwc = %3 + %4*raw + %5*raw^2")
                                              .arg(c->id, c->date.toString(Qt::ISODate))
                                              .arg(c->a, 0, 'g', 6)
                                              .arg(c->b, 0, 'g', 6)
                                              .arg(c->c, 0, 'g', 6));
    else
        lines << QStringLiteral("  ") + field("Calibration", QStringLiteral("none: the factory scaling"));
    return lines;
}

// What the verified reading means for the soil, in a line; empty where nothing follows.
QString soilReading(const soil::SoilSettings& s, const Result& m) {
    if (!m.ok() || !sensor::implausibility(m.reply.registers[0], m.reply.registers[1]).isEmpty()) return {};
    const soil::Derived d = soil::derive(s, sensor::moisturePercent(m.reply.registers[0]));
    QStringList parts;
    if (d.calibrated) parts << QStringLiteral("calibrated %1 %").arg(*d.calibrated, 0, 'f', 2);
    if (d.relativeWater) parts << QStringLiteral("relative water %1").arg(*d.relativeWater, 0, 'f', 3);
    if (d.deficitMm) parts << QStringLiteral("deficit %1 mm").arg(*d.deficitMm, 0, 'f', 1);
    return parts.isEmpty() ? QString() : QStringLiteral("  ") + parts.join(QStringLiteral(", "));
}

// The page: what is known, and the measurement taken now (or why there is none).
QString certificate(const Session& s, const std::vector<QJsonObject>& life, const CertificateOptions& o,
                    const Result& m) {
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    const QString who = life.empty() ? QString() : life.back().value(QLatin1String("operator")).toString();
    QStringList page{
        QStringLiteral("COMMISSIONING CERTIFICATE"),
        QStringLiteral("KV7702R soil-moisture and PT100 sensor"),
        QString(),
        field("Address", QString::number(s.address())),
        field("Port", s.device()),
        field("Line", QStringLiteral("%1 baud, %2").arg(s.rate()).arg(formatName(s.format()))),
        field("Site", o.site.isEmpty() ? QStringLiteral("not given") : o.site),
        field("Depth", o.depth.isEmpty() ? QStringLiteral("not given") : o.depth + QStringLiteral(" cm")),
        QString(),
        QStringLiteral("Settings (last known, from the history)"),
    };
    page << settingsLines(life) << QString() << QStringLiteral("Temperature calibration")
         << calibrationLines(life) << QString();
    if (o.soil)
        page << QStringLiteral("Soil (from the collector's configuration)") << soilLines(*o.soil)
             << QString();
    page << QStringLiteral("Verified reading");
    page << (m.ok() ? QStringLiteral("  %1 at %2").arg(measurementText(m.reply), now)
                    : QStringLiteral("  NONE: the sensor did not answer at %1 (%2)").arg(now, m.detail));
    if (o.soil) {
        const QString meaning = soilReading(*o.soil, m);
        if (!meaning.isEmpty()) page << meaning;
    }
    page << QString() << field("Issued", now + QStringLiteral(" by kv7702r " KV_VERSION));
    if (!who.isEmpty()) page << field("Last operator", who);
    page << QString() << QStringLiteral("Installed by    ______________________  date ___________")
         << QStringLiteral("Received by     ______________________  date ___________");
    return page.join(QLatin1Char('\n'));
}

class HistoryCommand : public Command {
public:
    explicit HistoryCommand(CLI::App& sub);
    [[nodiscard]] bool check(GlobalOptions& g) override;
    [[nodiscard]] int run(Context& c) override;

private:
    // The port the history is of: --port as given or as it resolves, else the only one with a
    // history at the address; empty after saying why.
    [[nodiscard]] std::optional<QString> portOf(const GlobalOptions& g,
                                                const std::vector<QJsonObject>& all) const;
    int runCertificate(const GlobalOptions& g, const std::vector<QJsonObject>& life, const QString& port);
#ifdef KV_WITH_COLLECT
    bool fromConfig(const QString& path, const QString& port, CertificateOptions& o) const;
#endif

    int address_ = 1;
    bool json_ = false;
    bool certificate_ = false;
    std::string site_;
    std::string depth_;
    std::string config_;
    CLI::Option* site_opt_ = nullptr;
    CLI::Option* depth_opt_ = nullptr;
    CLI::Option* config_opt_ = nullptr;
};

HistoryCommand::HistoryCommand(CLI::App& sub) {
    sub.description(
        "what params set, params load, address set and calibrate did to the sensor at ADDRESS, oldest\n"
        "first, back through the address changes that brought it there; or its commissioning\n"
        "certificate. The history is kept in history.jsonl in kv7702r's data folder\n"
        "(~/.local/share/kv7702r on Linux), or in the file $KV7702R_HISTORY names.");
    sub.add_option("ADDRESS", address_, "the sensor's address now, 1-247")
        ->required()
        ->check(CLI::Range(sensor::MIN_ADDRESS, sensor::MAX_ADDRESS));
    auto* json = sub.add_flag("--json", json_, "the entries as JSON lines, as the file keeps them");
    sub.add_flag("--certificate", certificate_,
                 "a commissioning certificate: the sensor, where it sits, its last known\n"
                 "settings, its calibration and a measurement taken now; exit 3 when\n"
                 "the sensor does not answer")
        ->excludes(json);
    site_opt_ = sub.add_option("--site", site_, "certificate: where the sensor sits")->type_name("TEXT");
    depth_opt_ =
        sub.add_option("--depth-cm", depth_, "certificate: its depth, A-B (30-40) or A")->type_name("A-B");
#ifdef KV_WITH_COLLECT
    config_opt_ = sub.add_option("--config", config_,
                                 "certificate: the collector's file, for the sensor's site, depth\n"
                                 "and soil settings (--site and --depth-cm still win)")
                      ->type_name("FILE");
#endif
    sub.footer("Without --port, the port with a history at ADDRESS; several such ports need --port.\n"
               "The certificate's measurement goes over that port at the history's rate unless\n"
               "--port and --rate say otherwise.");
}

bool HistoryCommand::check(GlobalOptions& /*g*/) {
    if (!certificate_ &&
        (site_opt_->count() > 0 || depth_opt_->count() > 0 || (config_opt_ && config_opt_->count() > 0)))
        return refuse(QStringLiteral("--site, --depth-cm and --config are for --certificate"));
    if (!depth_.empty() && !depthValid(QString::fromStdString(depth_)))
        return refuse(QStringLiteral("--depth-cm '%1': give A-B in centimetres, A at most B (30-40), or A")
                          .arg(QString::fromStdString(depth_)));
    return true;
}

std::optional<QString> HistoryCommand::portOf(const GlobalOptions& g,
                                              const std::vector<QJsonObject>& all) const {
    const QStringList ports = portsWith(all, address_);
    const PortOption& given = g.common.port;
    if (!given.text.empty()) {
        const QString text = QString::fromStdString(given.text);
        const QString resolved = resolvePort(text, QCoreApplication::applicationDirPath());
        return ports.contains(text) || !ports.contains(resolved) ? text : resolved;
    }
    if (ports.size() <= 1) return ports.isEmpty() ? QString() : ports.front();
    error(QStringLiteral("address %1 has a history on %2 ports: %3; give --port")
              .arg(address_)
              .arg(ports.size())
              .arg(ports.join(QStringLiteral(", "))));
    return std::nullopt;
}

int HistoryCommand::run(Context& c) {
    const QString path = historyPath();
    const HistoryFile file = readHistory(path);
    for (const QString& why : file.skipped)
        error(why);
    const auto port = portOf(c.options(), file.entries);
    if (!port) return EXIT_USAGE;
    const std::vector<QJsonObject> life =
        port->isEmpty() ? std::vector<QJsonObject>{} : lifeOf(file.entries, *port, address_);
    if (certificate_) return runCertificate(c.options(), life, *port);
    if (life.empty()) {
        print(QStringLiteral("no history of address %1%2 in %3")
                  .arg(address_)
                  .arg(port->isEmpty() ? QString() : QStringLiteral(" on ") + *port, path));
        return EXIT_OK;
    }
    for (std::size_t k = 0; k < life.size(); ++k) {
        if (json_) {
            print(QString::fromUtf8(QJsonDocument(life[k]).toJson(QJsonDocument::Compact)));
            continue;
        }
        print((k ? QStringLiteral("\n") : QString()) + entryText(life[k]));
    }
    return EXIT_OK;
}

int HistoryCommand::runCertificate(const GlobalOptions& g, const std::vector<QJsonObject>& life,
                                   const QString& port) {
    CertificateOptions o{QString::fromStdString(site_), QString::fromStdString(depth_), std::nullopt, {}, 0};
#ifdef KV_WITH_COLLECT
    if (!config_.empty() && !fromConfig(QString::fromStdString(config_), port, o)) return EXIT_USAGE;
#endif
    // The measurement goes where the history (or else the collector's file) says the sensor is,
    // unless the options say.
    GlobalOptions options = g;
    options.common.address = address_;
    const QString where = port.isEmpty() ? o.busPort : port;
    if (options.common.port.text.empty() && !where.isEmpty())
        options.common.port = portOption(where.toStdString());
    if (options.common.rate == 0 && !life.empty() && !options.common.port.network())
        options.common.rate = life.back().value(QLatin1String("rate")).toInt();
    if (options.common.rate == 0 && o.busBaud > 0 && !options.common.port.network())
        options.common.rate = o.busBaud;
    Context context(options);
    return context.onSession([&](Session& s) {
        const Result m = s.measure(s.address());
        print(certificate(s, life, o, m));
        return m.ok() ? EXIT_OK : exitCodeFor(m.outcome);
    });
}

#ifdef KV_WITH_COLLECT
// The sensor's entry in the collector's file: at this address on a bus whose port is `port` as
// given or as it resolves, or on the only bus with that address when no port is known. Fills what
// the options left open; false after saying why.
bool HistoryCommand::fromConfig(const QString& path, const QString& port, CertificateOptions& o) const {
    collect::CollectorConfig config;
    const auto errors = collect::loadConfig(path, config);
    for (const collect::ConfigError& e : errors)
        error(collect::describe(path, e));
    if (!errors.empty()) return false;
    const QString dir = QCoreApplication::applicationDirPath();
    std::vector<std::pair<const collect::BusConfig*, const collect::SensorConfig*>> found;
    for (const collect::BusConfig& b : config.buses)
        for (const collect::SensorConfig& s : b.sensors)
            if (s.address == address_ &&
                (port.isEmpty() || b.port == port || resolvePort(b.port, dir) == resolvePort(port, dir)))
                found.emplace_back(&b, &s);
    if (found.size() != 1) {
        error(found.empty() ? QStringLiteral("%1 has no sensor at address %2%3")
                                  .arg(path)
                                  .arg(address_)
                                  .arg(port.isEmpty() ? QString() : QStringLiteral(" on ") + port)
                            : QStringLiteral("%1 has a sensor at address %2 on %3 buses; give --port")
                                  .arg(path)
                                  .arg(address_)
                                  .arg(found.size()));
        return false;
    }
    const auto& [b, s] = found.front();
    if (o.site.isEmpty()) o.site = s->site;
    if (o.depth.isEmpty() && s->depthFromCm)
        o.depth = *s->depthFromCm == *s->depthToCm
                      ? QString::number(*s->depthFromCm)
                      : QStringLiteral("%1-%2").arg(*s->depthFromCm).arg(*s->depthToCm);
    o.soil = s->soil;
    o.busPort = b->port;
    o.busBaud = b->baud;
    return true;
}
#endif

} // namespace

const CommandRow historyRow{nullptr, "history", describeAs<HistoryCommand>};

} // namespace kv::cli
