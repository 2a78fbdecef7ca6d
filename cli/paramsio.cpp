// params save and params load: a sensor's settings kept in a file, and written back to it or
// to a row of others, only where they differ, each read back.

#include "cli/paramsio.h"

#include "cli/batch.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/history.h"
#include "cli/verifiedwrite.h"
#include "kv_version.h"
#include "sensor/protocol.h"
#include "sensor/values.h"
#include "serial/lineformat.h"

#include <CLI/CLI.hpp>

#include <QDateTime>
#include <QStringList>

namespace kv::cli {
namespace {

QLatin1String keyOf(int i) {
    return QLatin1String(sensor::parameterInfo(i).key);
}

QString pathText(const std::string& path) {
    return QString::fromStdString(path);
}

} // namespace

ParamsFile describeSession(const Session& s) {
    ParamsFile f;
    f.tool = QStringLiteral("kv7702r " KV_VERSION);
    f.saved = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    f.port = s.device();
    f.rate = s.rate();
    f.format = formatName(s.format());
    f.address = s.address();
    return f;
}

int runParamsSave(Session& s, const std::string& path) {
    ParamsFile f = describeSession(s);
    for (int i = 0; i < sensor::PARAMETER_COUNT; ++i) {
        const Result r = s.readParameter(i);
        if (!r.ok()) {
            error(QStringLiteral("reading %1 failed: %2; nothing saved").arg(keyOf(i), r.detail));
            return exitCodeFor(r.outcome);
        }
        const std::uint16_t raw = r.reply.registers[0];
        // Register 8 holds the PT100's resistance on most sensors, not the range written at
        // 0x0A0C: a value no range can be is left out rather than written back later.
        if (i == sensor::PARAM_RANGE && !sensor::parameterInRange(i, raw)) {
            print(QStringLiteral("range not saved: register %1 holds %2, which is no range (1, 2 or 3); this "
                                 "sensor reports its PT100 resistance there")
                      .arg(sensor::parameterReadRegister(i))
                      .arg(raw));
            continue;
        }
        print(QStringLiteral("%1  %2").arg(keyOf(i), -15).arg(sensor::parameterText(i, raw)));
        f.parameters.emplace_back(i, raw);
    }
    if (const QString why = saveParamsFile(pathText(path), f); !why.isEmpty()) {
        error(QStringLiteral("cannot write %1: %2").arg(pathText(path), why));
        return EXIT_USAGE;
    }
    print(QStringLiteral("saved %1 parameters of address %2 to %3")
              .arg(f.parameters.size())
              .arg(s.address())
              .arg(pathText(path)));
    return EXIT_OK;
}

std::optional<ParamsFile> readParams(const std::string& path) {
    const ParamsParsed p = loadParamsFile(pathText(path));
    if (!p.file) {
        error(QStringLiteral("%1: %2").arg(pathText(path), p.error));
        return std::nullopt;
    }
    return p.file;
}

namespace {

// The load's entry: the file, what the sensor held already, and each write sent.
class LoadRecord {
public:
    LoadRecord(const Session& s, const QString& action, const QString& file)
        : entry_(historyEntry(s, action.isEmpty() ? QStringLiteral("params load") : action)) {
        entry_.insert(QStringLiteral("file"), file);
    }
    void heldAlready(int i, std::uint16_t raw) {
        held_.append(QJsonObject{{QStringLiteral("parameter"), i}, {QStringLiteral("value"), raw}});
    }
    void wrote(const QJsonObject& w) { writes_.append(w); }
    // Kept once something was written, or tried.
    ~LoadRecord() {
        if (writes_.isEmpty()) return;
        entry_.insert(QStringLiteral("held"), held_);
        entry_.insert(QStringLiteral("writes"), writes_);
        appendHistory(entry_);
    }
    LoadRecord(const LoadRecord&) = delete;
    LoadRecord& operator=(const LoadRecord&) = delete;

private:
    QJsonObject entry_;
    QJsonArray held_;
    QJsonArray writes_;
};

} // namespace

int loadInto(Session& s, const ParamsFile& f, bool force, const QString& action, const QString& from) {
    const QString at = QStringLiteral("address %1: ").arg(s.address());
    // What the sensor holds: the differences are what gets written.
    std::vector<std::pair<int, std::uint16_t>> held;
    for (const auto& [i, raw] : f.parameters) {
        const Result r = s.readParameter(i);
        if (!r.ok()) {
            error(at + QStringLiteral("reading %1 failed: %2; nothing written").arg(keyOf(i), r.detail));
            return exitCodeFor(r.outcome);
        }
        held.emplace_back(i, r.reply.registers[0]);
        print(at +
              (r.reply.registers[0] == raw
                   ? QStringLiteral("%1 %2 (holds it already)").arg(keyOf(i), sensor::parameterText(i, raw))
                   : QStringLiteral("%1 %2 -> %3")
                         .arg(keyOf(i), sensor::parameterText(i, r.reply.registers[0]),
                              sensor::parameterText(i, raw))));
    }
    // A value the sensor holds already is not written, so only those to be written are checked;
    // a backup the tool wrote holds what a sensor held, and is restored as it is.
    for (std::size_t k = 0; k < f.parameters.size() && !force && !f.savedByTool; ++k) {
        const auto [i, raw] = f.parameters[k];
        if (raw != held[k].second && !sensor::parameterInRange(i, raw)) {
            error(at +
                  QStringLiteral("%1 %2 is outside its range (%3); nothing written; --force writes it anyway")
                      .arg(keyOf(i))
                      .arg(raw)
                      .arg(QLatin1String(sensor::parameterInfo(i).hint)));
            return EXIT_USAGE;
        }
    }
    QStringList written;
    int same = 0;
    LoadRecord record(s, action, from);
    for (std::size_t k = 0; k < f.parameters.size(); ++k) {
        const auto [i, raw] = f.parameters[k];
        const std::uint16_t old = held[k].second;
        if (old == raw) {
            ++same;
            record.heldAlready(i, raw);
            continue;
        }
        const Written w = writeVerified(s, i, raw, old);
        record.wrote(writeRecord(i, old, raw, w));
        if (w.state == Written::Yes) {
            written << QStringLiteral("%1 (%2 -> %3)").arg(keyOf(i)).arg(old).arg(raw);
            continue;
        }
        QStringList untouched;
        for (std::size_t later = k + 1; later < f.parameters.size(); ++later)
            if (held[later].second != f.parameters[later].second)
                untouched << keyOf(f.parameters[later].first);
        error(at +
              QStringLiteral("stopped at %1 (%2); written before it: %3; not sent: %4")
                  .arg(keyOf(i),
                       w.state == Written::No
                           ? QStringLiteral("not written, still %1").arg(old)
                           : QStringLiteral("unknown: it held %1, %2 was sent").arg(old).arg(raw),
                       written.isEmpty() ? QStringLiteral("none") : written.join(QStringLiteral(", ")),
                       untouched.isEmpty() ? QStringLiteral("none") : untouched.join(QStringLiteral(", "))));
        return w.code;
    }
    print(at + QStringLiteral("%1 written and read back, %2 held already").arg(written.size()).arg(same));
    return EXIT_OK;
}

int runParamsLoad(Session& s, const ParamsLoadOptions& o, const ParamsFile& file) {
    print(QStringLiteral("%1: %2 parameter(s) saved from address %3 at %4 baud%5%6")
              .arg(pathText(o.path))
              .arg(file.parameters.size())
              .arg(file.address)
              .arg(file.rate)
              .arg(file.saved.isEmpty() ? QString() : QStringLiteral(" on ") + file.saved,
                   file.tool.isEmpty() ? QString() : QStringLiteral(" by ") + file.tool));
    if (file.savedByTool) {
        QStringList outside;
        for (const auto& [i, raw] : file.parameters)
            if (!sensor::parameterInRange(i, raw))
                outside << QStringLiteral("%1 %2 (%3)")
                               .arg(keyOf(i), sensor::parameterText(i, raw),
                                    QLatin1String(sensor::parameterInfo(i).hint));
        if (!outside.isEmpty())
            error(QStringLiteral("%1: outside the window's ranges, restored as saved: %2")
                      .arg(pathText(o.path), outside.join(QStringLiteral(", "))));
    }
    return forEachAddress(s, o.addresses, [&] {
        return loadInto(s, file, o.force, QStringLiteral("params load"), pathText(o.path));
    });
}

namespace {

class ParamsSaveCommand : public Command {
public:
    explicit ParamsSaveCommand(CLI::App& sub) {
        sub.description("the seven parameters into FILE (JSON) with the sensor's address, rate, format, the\n"
                        "time and the tool's version; range is left out when register 8 holds none (1-3)");
        sub.add_option("FILE", path_, "the file to write")->required();
    }
    [[nodiscard]] int run(Context& c) override {
        return c.onSession([this](Session& s) { return runParamsSave(s, path_); });
    }

private:
    std::string path_;
};

class ParamsLoadCommand : public Command {
public:
    explicit ParamsLoadCommand(CLI::App& sub) {
        sub.description("the parameters of FILE into the sensor: shows the differences, writes only those,\n"
                        "reads each back, and stops at the first failure saying what is written. With an\n"
                        "--address list (1-3), each sensor in turn: a row configured in one run.");
        sub.add_option("FILE", o_.path, "a file params save wrote, or one made by hand")->required();
        sub.add_flag("--force", o_.force,
                     "write values outside their ranges (a file params save wrote needs none)");
    }
    [[nodiscard]] bool takesAddressList() const override { return true; }
    [[nodiscard]] int run(Context& c) override {
        // Read whole before the port is opened: a bad file, or a pipe that never ends, holds
        // no port and sends nothing.
        const std::optional<ParamsFile> file = readParams(o_.path);
        if (!file) return EXIT_USAGE;
        o_.addresses = c.options().addresses;
        return c.onSession([&](Session& s) { return runParamsLoad(s, o_, *file); });
    }

private:
    ParamsLoadOptions o_;
};

} // namespace

const CommandRow paramsSaveRow{"params", "save", describeAs<ParamsSaveCommand>};
const CommandRow paramsLoadRow{"params", "load", describeAs<ParamsLoadCommand>};

} // namespace kv::cli
