// history: a sensor's life as the history file keeps it, or its commissioning certificate with
// a measurement taken now.

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/history.h"
#include "cli/port.h"
#include "cli/readings.h"
#include "kv_version.h"
#include "sensor/protocol.h"
#include "sensor/values.h"

#include <CLI/CLI.hpp>

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QRegularExpression>

namespace kv::cli {
namespace {

struct CertificateOptions {
    QString site;
    QString depth; // "30-40", as given
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
         << calibrationLines(life) << QString() << QStringLiteral("Verified reading");
    page << (m.ok() ? QStringLiteral("  %1 at %2").arg(measurementText(m.reply), now)
                    : QStringLiteral("  NONE: the sensor did not answer at %1 (%2)").arg(now, m.detail));
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

    int address_ = 1;
    bool json_ = false;
    bool certificate_ = false;
    std::string site_;
    std::string depth_;
    CLI::Option* site_opt_ = nullptr;
    CLI::Option* depth_opt_ = nullptr;
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
    sub.footer("Without --port, the port with a history at ADDRESS; several such ports need --port.\n"
               "The certificate's measurement goes over that port at the history's rate unless\n"
               "--port and --rate say otherwise.");
}

bool HistoryCommand::check(GlobalOptions& /*g*/) {
    if (!certificate_ && (site_opt_->count() > 0 || depth_opt_->count() > 0))
        return refuse(QStringLiteral("--site and --depth-cm are for --certificate"));
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
    // The measurement goes where the history says the sensor is, unless the options say.
    GlobalOptions options = g;
    options.common.address = address_;
    if (options.common.port.text.empty() && !port.isEmpty())
        options.common.port = portOption(port.toStdString());
    if (options.common.rate == 0 && !life.empty() && !options.common.port.network())
        options.common.rate = life.back().value(QLatin1String("rate")).toInt();
    const CertificateOptions o{QString::fromStdString(site_), QString::fromStdString(depth_)};
    Context context(options);
    return context.onSession([&](Session& s) {
        const Result m = s.measure(s.address());
        print(certificate(s, life, o, m));
        return m.ok() ? EXIT_OK : exitCodeFor(m.outcome);
    });
}

} // namespace

const CommandRow historyRow{nullptr, "history", describeAs<HistoryCommand>};

} // namespace kv::cli
