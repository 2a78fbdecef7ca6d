// calibrate: the two-point temperature calibration. LA and OF worked out from the true
// resistances and the sensor's readings, shown against what the sensor holds, written
// after confirmation and each verified by reading back; a calibration cut between its
// writes says what is where and how to undo it.

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/history.h"
#include "cli/paramsio.h"
#include "cli/readings.h"
#include "cli/settle.h"
#include "cli/verifiedwrite.h"
#include "sensor/values.h"

#include <CLI/CLI.hpp>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace kv::cli {
namespace {

// A reference point: the true resistance, and the sensor's reading there.
struct Point {
    const char* level; // "low", "high"
    const char* truth; // "RL", "RH"
    const char* read;  // "RA", "RB"
    double ohm;
    std::optional<double> given;
};

// The sensor's reading at the point: given, or, once the operator has the probe there and
// the resistance shown live has settled, the mean of readings whose spread stays within the
// bound. Empty, after saying why, with the exit code in `code`.
std::optional<double> readingAt(Session& s, const Point& p, const CalibrateOptions& o, int& code) {
    if (p.given) return p.given;
    if (!awaitWithResistance(s,
                             QStringLiteral("Put the probe in the %1 reference (%2 = %3 ohm) and press Enter "
                                            "once the resistance has settled: ")
                                 .arg(QLatin1String(p.level), QLatin1String(p.truth))
                                 .arg(p.ohm))) {
        error(stopRequested() ? QStringLiteral("stopped; nothing written")
                              : QStringLiteral("no input; nothing written"));
        code = stopRequested() ? EXIT_NO_REPLY : EXIT_USAGE;
        return std::nullopt;
    }
    const auto settled = settledResistance(s, {o.samples, o.spreadOhm}, code);
    if (!settled) return std::nullopt;
    print(QStringLiteral("%1 = %2 ohm (mean of %3 readings within %4 ohm; %5 taken)")
              .arg(QLatin1String(p.read))
              .arg(settled->meanOhm, 0, 'f', 2)
              .arg(o.samples)
              .arg(settled->spreadOhm, 0, 'f', 2)
              .arg(settled->readings));
    return settled->meanOhm;
}

// Where the previous LA and OF go unless the operator names a file: the user's data folder,
// named for the sensor and the time, so that no two calibrations share one.
QString defaultBackup(const Session& s) {
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
                        QStringLiteral("/calibrations");
    return QDir(dir).filePath(
        QStringLiteral("a%1-%2.json")
            .arg(s.address())
            .arg(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmsszzz'Z'"))));
}

// Saves LA and OF as they are before anything is written; false after saying why.
bool backUp(const Session& s, const CalibrateOptions& o, std::uint16_t la0, std::uint16_t of0,
            QString& path) {
    path = o.backup.empty() ? defaultBackup(s) : QString::fromStdString(o.backup);
    QDir().mkpath(QFileInfo(path).absolutePath());
    ParamsFile f = describeSession(s);
    f.parameters = {{sensor::PARAM_LA, la0}, {sensor::PARAM_OF, of0}};
    if (const QString why = saveParamsFile(path, f); !why.isEmpty()) {
        error(QStringLiteral("cannot save the present LA and OF to %1: %2; nothing written").arg(path, why));
        return false;
    }
    print(QStringLiteral("LA %1 and OF %2 saved to %3; kv7702r calibrate --undo %4 writes them back")
              .arg(la0)
              .arg(of0)
              .arg(path, shellWord(path)));
    return true;
}

// LA and OF through the two points; empty, after saying why, when no register can hold them.
std::optional<sensor::Calibration> worked(double RL, double RH, double RA, double RB) {
    const auto c = sensor::calibrate(RL, RH, RA, RB);
    if (!c) {
        error(QStringLiteral("RB (%1) must be above RA (%2): the divisor must not be zero").arg(RB).arg(RA));
        return std::nullopt;
    }
    if (!c->fits()) {
        error(QStringLiteral(
                  "LA %1 and OF %2 do not fit the sensor's registers (0..65535); check RL, RH, RA and RB")
                  .arg(c->slope)
                  .arg(c->offset));
        return std::nullopt;
    }
    return c;
}

// The operator's yes; otherwise the exit code (cancelled, or no answer to the question).
std::optional<int> refused(bool yes) {
    if (yes) return std::nullopt;
    const auto answer = ask(QStringLiteral("Write LA and OF to the sensor? [y/N] "));
    if (!answer) {
        error(QStringLiteral("no confirmation (use --yes); nothing written"));
        return EXIT_USAGE;
    }
    if (*answer == "y" || *answer == "Y" || *answer == "yes") return std::nullopt;
    print(QStringLiteral("cancelled; nothing written"));
    return EXIT_OK;
}

// The command that writes `raw` back to parameter i of this sensor.
QString restoreCommand(const Session& s, int i, std::uint16_t raw) {
    return QStringLiteral("  kv7702r %1 --address %2 params set %3 %4%5")
        .arg(lineOptions(s))
        .arg(s.address())
        .arg(QLatin1String(sensor::parameterInfo(i).key), sensor::parameterText(i, raw))
        .arg(sensor::parameterInRange(i, raw) ? QString() : QStringLiteral(" --force"));
}

QString told(const Written& w, int was, int sent) {
    return w.state == Written::Yes  ? QStringLiteral("written (%1 -> %2)").arg(was).arg(sent)
           : w.state == Written::No ? QStringLiteral("not written (still %1)").arg(was)
                                    : QStringLiteral("unknown (it held %1, %2 was sent)").arg(was).arg(sent);
}

// Writes LA, then OF; a half-done calibration is worse than none, so one cut between them
// says what is where, and how to undo it.
int writeBoth(Session& s, const sensor::Calibration& c, std::uint16_t la0, std::uint16_t of0,
              const QString& backup, QJsonObject& entry) {
    const auto la1 = static_cast<std::uint16_t>(c.slope);
    const auto of1 = static_cast<std::uint16_t>(c.offset);
    const Written la = writeVerified(s, sensor::PARAM_LA, la1, la0);
    QJsonArray writes{writeRecord(sensor::PARAM_LA, la0, la1, la)};
    if (la.state == Written::No) {
        entry.insert(QStringLiteral("writes"), writes);
        appendHistory(entry);
        error(QStringLiteral("nothing written: the sensor keeps LA %1 and OF %2").arg(la0).arg(of0));
        return la.code;
    }
    const Written of = la.state == Written::Yes ? writeVerified(s, sensor::PARAM_OF, of1, of0) : Written{};
    if (la.state == Written::Yes) writes.append(writeRecord(sensor::PARAM_OF, of0, of1, of));
    entry.insert(QStringLiteral("writes"), writes);
    appendHistory(entry);
    if (la.state != Written::Yes || of.state != Written::Yes) {
        error(QStringLiteral("calibration incomplete: LA %1, OF %2")
                  .arg(told(la, la0, static_cast<int>(c.slope)),
                       la.state == Written::Yes ? told(of, of0, static_cast<int>(c.offset))
                                                : QStringLiteral("not sent (still %1)").arg(of0)));
        print(QStringLiteral("to restore the previous LA and OF:"));
        print(restoreCommand(s, sensor::PARAM_LA, la0));
        print(restoreCommand(s, sensor::PARAM_OF, of0));
        print(QStringLiteral("  (or: kv7702r %1 --address %2 calibrate --undo %3)")
                  .arg(lineOptions(s))
                  .arg(s.address())
                  .arg(shellWord(backup)));
        return la.state != Written::Yes ? la.code : of.code;
    }
    const Result after = s.measure(s.address());
    print(QStringLiteral("written and verified: LA %1, OF %2").arg(c.slope).arg(c.offset));
    if (la.readBack || of.readBack)
        print(QStringLiteral("(an acknowledgement was lost; each value was read back)"));
    print(QStringLiteral("after: %1").arg(measurementOrWhy(after)));
    return EXIT_OK;
}

// The calibration as the history keeps it: its points, LA and OF before and after, and how far
// the registers' whole numbers put each point off its true resistance.
QJsonObject calibrationRecord(const CalibrateOptions& o, double RA, double RB, const sensor::Calibration& c,
                              std::uint16_t la0, std::uint16_t of0) {
    const auto corrected = [&](double r) { return c.slope / 10000.0 * r + (c.offset - 5000) / 100.0; };
    return {
        {QStringLiteral("RL"), o.RL},
        {QStringLiteral("RH"), o.RH},
        {QStringLiteral("RA"), RA},
        {QStringLiteral("RB"), RB},
        {QStringLiteral("measured"), !o.RA || !o.RB},
        {QStringLiteral("laBefore"), la0},
        {QStringLiteral("ofBefore"), of0},
        {QStringLiteral("la"), static_cast<int>(c.slope)},
        {QStringLiteral("of"), static_cast<int>(c.offset)},
        {QStringLiteral("residualLowOhm"), corrected(RA) - o.RL},
        {QStringLiteral("residualHighOhm"), corrected(RB) - o.RH},
    };
}

} // namespace

int runCalibrate(Session& s, const CalibrateOptions& o) {
    int code = EXIT_OK;
    const auto RA = readingAt(s, {"low", "RL", "RA", o.RL, o.RA}, o, code);
    if (!RA) return code;
    const auto RB = readingAt(s, {"high", "RH", "RB", o.RH, o.RB}, o, code);
    if (!RB) return code;
    const auto c = worked(o.RL, o.RH, *RA, *RB);
    // Readings given on the command line are a usage error; measured ones the sensor's.
    if (!c) return !o.RA || !o.RB ? EXIT_DEVICE : EXIT_USAGE;
    const Result oldLA = s.readParameter(sensor::PARAM_LA);
    const Result oldOF = s.readParameter(sensor::PARAM_OF);
    if (!oldLA.ok() || !oldOF.ok()) {
        const Result& bad = oldLA.ok() ? oldOF : oldLA;
        error(QStringLiteral("reading the present LA and OF failed: %1").arg(bad.detail));
        return exitCodeFor(bad.outcome);
    }
    const Result before = s.measure(s.address());
    print(QStringLiteral("LA: %1 -> %2").arg(oldLA.reply.registers[0]).arg(c->slope));
    print(QStringLiteral("OF: %1 -> %2").arg(oldOF.reply.registers[0]).arg(c->offset));
    print(QStringLiteral("before: %1").arg(measurementOrWhy(before)));
    if (const auto end = refused(o.yes)) return *end;
    QString backup;
    if (!backUp(s, o, oldLA.reply.registers[0], oldOF.reply.registers[0], backup)) return EXIT_USAGE;
    const std::uint16_t la0 = oldLA.reply.registers[0];
    const std::uint16_t of0 = oldOF.reply.registers[0];
    QJsonObject entry = historyEntry(s, QStringLiteral("calibrate"));
    entry.insert(QStringLiteral("calibration"), calibrationRecord(o, *RA, *RB, *c, la0, of0));
    entry.insert(QStringLiteral("backup"), backup);
    return writeBoth(s, *c, la0, of0, backup, entry);
}

int runCalibrateUndo(Session& s, const std::string& path, const ParamsFile& file) {
    const bool laAndOf = file.parameters.size() == 2 && file.parameters[0].first == sensor::PARAM_LA &&
                         file.parameters[1].first == sensor::PARAM_OF;
    if (!laAndOf) {
        error(QStringLiteral("%1 holds other parameters than la and of: params load writes them")
                  .arg(QString::fromStdString(path)));
        return EXIT_USAGE;
    }
    if (file.address != s.address())
        print(QStringLiteral("%1 was saved from address %2; writing to address %3")
                  .arg(QString::fromStdString(path))
                  .arg(file.address)
                  .arg(s.address()));
    return loadInto(s, file, true, QStringLiteral("calibrate --undo"), QString::fromStdString(path));
}

namespace {

class CalibrateCommand : public Command {
public:
    explicit CalibrateCommand(CLI::App& sub);
    [[nodiscard]] bool check(GlobalOptions& g) override;
    [[nodiscard]] int run(Context& c) override;

private:
    CalibrateOptions o_;
    std::optional<double> rl_;
    std::optional<double> rh_;
    std::optional<std::string> undo_;
};

CalibrateCommand::CalibrateCommand(CLI::App& sub) {
    sub.description(
        "two-point temperature calibration: LA and OF from the true resistances RL, RH and the\n"
        "sensor's readings RA, RB (asked for with Enter unless given), written after confirmation\n"
        "and verified by read-back. LA = (RH-RL)/(RB-RA), register floor(LA*10000);\n"
        "OF = RH - LA*RB, register floor(OF*100)+5000.");
    sub.add_option("--rl", rl_, "true resistance at the low reference")->type_name("OHM");
    sub.add_option("--rh", rh_, "true resistance at the high reference")->type_name("OHM");
    sub.add_option("--ra", o_.RA, "the sensor's reading at the low reference, instead of reading it")
        ->type_name("OHM");
    sub.add_option("--rb", o_.RB, "the sensor's reading at the high reference, instead of reading it")
        ->type_name("OHM");
    sub.add_flag("-y,--yes", o_.yes, "write without asking");
    sub.add_option("--samples", o_.samples,
                   "readings averaged at each reference, one every 0.5 s, once their\n"
                   "spread stays within --spread (default 10)")
        ->type_name("N")
        ->check(CLI::Range(2, 100));
    sub.add_option("--spread", o_.spreadOhm,
                   "largest minus smallest of those readings, at most (default 0.05)")
        ->type_name("OHM")
        ->check(CLI::Range(0.0, 100.0));
    sub.add_option("--backup", o_.backup,
                   "where the previous LA and OF are saved before writing (default\n"
                   "calibrations/aADDRESS-TIME.json in kv7702r's data folder,\n"
                   "~/.local/share/kv7702r on Linux)")
        ->type_name("FILE");
    sub.add_option("--undo", undo_, "write back the LA and OF a calibration saved in FILE")
        ->type_name("FILE");
    sub.footer("Without --ra and --rb the resistance shows live (on a terminal) while the probe settles;\n"
               "after Enter the reading is the mean of --samples readings once they settle. The\n"
               "calibration ends unsettled after 120 s at each reference.");
}

bool CalibrateCommand::check(GlobalOptions& /*g*/) {
    if (!undo_ && (!rl_ || !rh_))
        return refuse(QStringLiteral("calibrate needs --rl and --rh (or --undo FILE)"));
    if (undo_ && (rl_ || rh_ || o_.RA || o_.RB))
        return refuse(QStringLiteral(
            "calibrate --undo writes back what FILE holds; it takes no --rl, --rh, --ra or --rb"));
    o_.RL = rl_.value_or(0);
    o_.RH = rh_.value_or(0);
    return true;
}

int CalibrateCommand::run(Context& c) {
    if (!undo_) return c.onSession([this](Session& s) { return runCalibrate(s, o_); });
    // Read whole before the port is opened: a bad file, or a pipe that never ends, holds no port.
    const std::optional<ParamsFile> file = readParams(*undo_);
    if (!file) return EXIT_USAGE;
    return c.onSession([&](Session& s) { return runCalibrateUndo(s, *undo_, *file); });
}

} // namespace

const CommandRow calibrateRow{nullptr, "calibrate", describeAs<CalibrateCommand>};

} // namespace kv::cli
