// calibrate: the two-point temperature calibration. LA and OF worked out from the true
// resistances and the sensor's readings, shown against what the sensor holds, written
// after confirmation and each verified by reading back; a calibration cut between its
// writes says what is where and how to undo it.

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/readings.h"
#include "cli/verifiedwrite.h"
#include "sensor/values.h"

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

// The sensor's reading at the point: given, or read once the operator has the probe there.
// Empty, after saying why, with the exit code in `code`.
std::optional<double> readingAt(Session& s, const Point& p, int& code) {
    if (p.given) return p.given;
    if (!ask(QStringLiteral("Put the probe in the %1 reference (%2 = %3 ohm) and press Enter: ")
                 .arg(QLatin1String(p.level), QLatin1String(p.truth))
                 .arg(p.ohm))) {
        error(QStringLiteral("no input; nothing written"));
        code = EXIT_USAGE;
        return std::nullopt;
    }
    const Result r = s.readResistance();
    if (!r.ok()) {
        error(QStringLiteral("reading the resistance failed: %1").arg(r.detail));
        code = exitCodeFor(r.outcome);
        return std::nullopt;
    }
    const double ohm = sensor::resistanceOhm(r.reply.registers[0]);
    print(QStringLiteral("%1 = %2 ohm").arg(QLatin1String(p.read)).arg(ohm, 0, 'f', 2));
    return ohm;
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
    return QStringLiteral("  kv7702r --port %1 --rate %2 --address %3 params set %4 %5%6")
        .arg(shellWord(s.device()))
        .arg(s.rate())
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
int writeBoth(Session& s, const sensor::Calibration& c, std::uint16_t la0, std::uint16_t of0) {
    const Written la = writeVerified(s, sensor::PARAM_LA, static_cast<std::uint16_t>(c.slope), la0);
    if (la.state == Written::No) {
        error(QStringLiteral("nothing written: the sensor keeps LA %1 and OF %2").arg(la0).arg(of0));
        return la.code;
    }
    const Written of = la.state == Written::Yes
                           ? writeVerified(s, sensor::PARAM_OF, static_cast<std::uint16_t>(c.offset), of0)
                           : Written{};
    if (la.state != Written::Yes || of.state != Written::Yes) {
        error(QStringLiteral("calibration incomplete: LA %1, OF %2")
                  .arg(told(la, la0, static_cast<int>(c.slope)),
                       la.state == Written::Yes ? told(of, of0, static_cast<int>(c.offset))
                                                : QStringLiteral("not sent (still %1)").arg(of0)));
        print(QStringLiteral("to restore the previous LA and OF:"));
        print(restoreCommand(s, sensor::PARAM_LA, la0));
        print(restoreCommand(s, sensor::PARAM_OF, of0));
        return la.state != Written::Yes ? la.code : of.code;
    }
    const Result after = s.measure(s.address());
    print(QStringLiteral("written and verified: LA %1, OF %2").arg(c.slope).arg(c.offset));
    if (la.readBack || of.readBack)
        print(QStringLiteral("(an acknowledgement was lost; each value was read back)"));
    print(QStringLiteral("after: %1").arg(measurementOrWhy(after)));
    return EXIT_OK;
}

} // namespace

int runCalibrate(Session& s, const CalibrateOptions& o) {
    int code = EXIT_OK;
    const auto RA = readingAt(s, {"low", "RL", "RA", o.RL, o.RA}, code);
    if (!RA) return code;
    const auto RB = readingAt(s, {"high", "RH", "RB", o.RH, o.RB}, code);
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
    return writeBoth(s, *c, oldLA.reply.registers[0], oldOF.reply.registers[0]);
}

} // namespace kv::cli
