// params, address and calibrate: the sensor's settings, each write verified by reading
// it back (or, for the address, by a measurement at the new address).

#include "cli/commands.h"
#include "cli/report.h"
#include "sensor/values.h"

#include <QStringList>

#include <cstdio>
#include <iostream>
#include <string>

namespace kv::cli {
namespace {

// The calibration's two parameters.
constexpr int kLA = 4;
constexpr int kOF = 5;

// The parameter's register as the sensor holds it.
Result readParameter(Session& s, int i) {
    const auto frame = sensor::parameterReadRequest(s.address(), i);
    return s.request(frame, sensor::expectRead(frame), s.retries());
}

QString parameterLine(int i, std::uint16_t raw) {
    const auto& info = sensor::parameterInfo(i);
    const QString meaning = sensor::parameterMeaning(i, raw);
    return QStringLiteral("%1  %2  %3  register %4  raw %5  value %6%7")
        .arg(i)
        .arg(QLatin1String(info.key), -15)
        .arg(QLatin1String(info.label), -34)
        .arg(sensor::parameterReadRegister(i))
        .arg(raw, 5)
        .arg(sensor::parameterText(i, raw), -7)
        .arg(meaning.isEmpty() ? QString() : QStringLiteral("  (") + meaning + QLatin1Char(')'))
        .trimmed();
}

// What a write left in the sensor, as far as the line can tell.
struct Written {
    enum State { Yes, No, Unknown } state = Unknown;
    int code = EXIT_OK;    // the exit code that follows the truth
    bool readBack = false; // told by reading back after the acknowledgement went astray
};

// How long a write whose port went away waits for it to come back before reading back.
constexpr int kReopenForReadBackMs = 5000;

// Writes `raw`, which replaces `old`, and tells truly what the register holds after: read
// back after an acknowledgement, and also after one that was lost, garbled, echoed, refused
// or cut by an unplug (the port opened again when it comes back).
Written writeVerified(Session& s, int i, std::uint16_t raw, std::uint16_t old) {
    const QLatin1String key(sensor::parameterInfo(i).key);
    const auto frame = sensor::parameterWriteRequest(s.address(), i, raw);
    const Result w = s.request(frame, sensor::expectEcho(frame), s.retries());
    const QString unknown =
        QStringLiteral("writing %1: unknown: the sensor could not be read; it held %2, %3 was sent")
            .arg(key)
            .arg(old)
            .arg(raw);
    if (w.outcome == Outcome::Busy) {
        error(QStringLiteral("writing %1: not written: %2").arg(key, w.detail));
        return {Written::No, exitCodeFor(w.outcome), false};
    }
    if (w.outcome == Outcome::Stopped) {
        error(unknown + QStringLiteral(" (stopped)"));
        return {Written::Unknown, EXIT_NO_REPLY, false};
    }
    if (w.outcome == Outcome::Lost && !s.reopenWithin(kReopenForReadBackMs)) {
        error(unknown + QStringLiteral(" (%1)").arg(w.detail));
        return {Written::Unknown, EXIT_NO_REPLY, false};
    }
    const Result r = readParameter(s, i);
    if (!r.ok()) {
        error(unknown + QStringLiteral(" (%1; reading back: %2)")
                            .arg(w.ok() ? QStringLiteral("acknowledged") : w.detail, r.detail));
        return {Written::Unknown, exitCodeFor(r.outcome), false};
    }
    const std::uint16_t holds = r.reply.registers[0];
    if (holds == raw) return {Written::Yes, EXIT_OK, !w.ok()};
    if (w.ok()) {
        error(QStringLiteral("verification failed: %1 was acknowledged as %2 but register %3 holds %4")
                  .arg(key)
                  .arg(raw)
                  .arg(sensor::parameterReadRegister(i))
                  .arg(holds));
        return {Written::No, EXIT_DEVICE, false};
    }
    error(QStringLiteral("writing %1: not written (%2); register %3 holds %4")
              .arg(key, w.detail)
              .arg(sensor::parameterReadRegister(i))
              .arg(holds));
    return {Written::No, exitCodeFor(w.outcome), true};
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

struct Measurement {
    Result result;
    QString text() const {
        if (!result.ok()) return result.detail;
        return measurementText(result.reply);
    }
};

Measurement measure(Session& s, std::uint8_t address) {
    const auto frame = sensor::measurementRequest(address);
    return {s.request(frame, sensor::expectRead(frame), s.retries())};
}

// A line from the operator; empty at the end of input.
std::optional<std::string> ask(const QString& prompt) {
    std::fprintf(stderr, "%s", prompt.toLocal8Bit().constData());
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    return line;
}

// The resistance the sensor reports now, in ohm.
std::optional<double> readResistance(Session& s, int& code) {
    const auto frame = sensor::resistanceReadRequest(s.address());
    const Result r = s.request(frame, sensor::expectRead(frame), s.retries());
    if (!r.ok()) {
        error(QStringLiteral("reading the resistance failed: %1").arg(r.detail));
        code = exitCodeFor(r.outcome);
        return std::nullopt;
    }
    return sensor::resistanceOhm(r.reply.registers[0]);
}

} // namespace

int runParams(Session& s) {
    int code = EXIT_OK;
    for (int i = 0; i < sensor::PARAMETER_COUNT; ++i) {
        const Result r = readParameter(s, i);
        if (r.ok()) {
            print(parameterLine(i, r.reply.registers[0]));
        } else {
            print(QStringLiteral("%1  %2  %3")
                      .arg(i)
                      .arg(QLatin1String(sensor::parameterInfo(i).key), -15)
                      .arg(r.detail));
            code = exitCodeFor(r.outcome);
            if (r.outcome == Outcome::Lost || r.outcome == Outcome::Stopped) break;
        }
    }
    return code;
}

int runParamsSet(Session& s, int i, std::uint16_t raw) {
    // What it held first: a write whose acknowledgement goes astray is told against it.
    const Result old = readParameter(s, i);
    if (!old.ok()) {
        error(QStringLiteral("reading %1 failed: %2; nothing written")
                  .arg(QLatin1String(sensor::parameterInfo(i).key), old.detail));
        return exitCodeFor(old.outcome);
    }
    const Written w = writeVerified(s, i, raw, old.reply.registers[0]);
    if (w.state == Written::Yes)
        print(parameterLine(i, raw) + (w.readBack
                                           ? QStringLiteral("  written (acknowledgement lost, read back)")
                                           : QStringLiteral("  written and verified")));
    return w.code;
}

int runAddressRead(Session& s) {
    const Result r = s.addressRead(s.retries());
    if (r.answers.size() > 1) {
        QStringList names;
        for (const line::Answer& a : r.answers)
            names << QString::number(a.reply.address);
        error(QStringLiteral("%1 sensors answer the address read: %2; give --address, or let scan find them")
                  .arg(r.answers.size())
                  .arg(names.join(QStringLiteral(", "))));
        return EXIT_DEVICE;
    }
    if (!r.ok()) {
        error(QStringLiteral("address read failed: %1%2")
                  .arg(r.detail, r.outcome == Outcome::Garbled
                                     ? QStringLiteral(" (several sensors on the line? try scan)")
                                     : QString()));
        return exitCodeFor(r.outcome);
    }
    print(QStringLiteral("address %1").arg(r.reply.address));
    return EXIT_OK;
}

int runAddressSet(Session& s, int newAddress, bool force) {
    const auto at = static_cast<std::uint8_t>(newAddress);
    if (!force) {
        // Two sensors on one address would answer together from then on; a late answer counts.
        const Measurement there = measure(s, at);
        const Outcome o = there.result.outcome;
        if (o == Outcome::Lost || o == Outcome::Stopped || o == Outcome::Echo || o == Outcome::Busy) {
            error(QStringLiteral("checking address %1 failed: %2").arg(newAddress).arg(there.result.detail));
            return exitCodeFor(o);
        }
        if (o != Outcome::Timeout || there.result.tally.lateFrom(at) > 0) {
            error(QStringLiteral("address %1 answers already (%2); nothing written. Another sensor on this "
                                 "line uses it; --force changes the address anyway")
                      .arg(newAddress)
                      .arg(there.result.ok()       ? there.text()
                           : o == Outcome::Timeout ? QStringLiteral("late")
                                                   : there.result.detail));
            return EXIT_DEVICE;
        }
    }
    const auto frame = sensor::addressChangeRequest(s.address(), at);
    // No retry: a change that took effect would not be answered at the old address again.
    const Result w = s.request(frame, sensor::expectAddressChange(frame), 0);
    if (w.outcome == Outcome::Busy) {
        error(QStringLiteral("address not changed: %1").arg(w.detail));
        return exitCodeFor(w.outcome);
    }
    if (w.ok()) {
        const Measurement m = measure(s, at);
        if (!m.result.ok()) {
            error(QStringLiteral("verification failed: no measurement at address %1: %2")
                      .arg(newAddress)
                      .arg(m.text()));
            return EXIT_DEVICE;
        }
        print(QStringLiteral("address %1 -> %2, verified by a measurement at %2: %3")
                  .arg(s.address())
                  .arg(newAddress)
                  .arg(m.text()));
        return EXIT_OK;
    }
    // The acknowledgement went astray: where the sensor answers now tells.
    const QString unknown = QStringLiteral("address change unknown: the sensor answers at neither %1 nor %2; "
                                           "the change to %2 was sent (%3)")
                                .arg(s.address())
                                .arg(newAddress);
    if (w.outcome == Outcome::Stopped ||
        (w.outcome == Outcome::Lost && !s.reopenWithin(kReopenForReadBackMs))) {
        error(unknown.arg(w.detail));
        return EXIT_NO_REPLY;
    }
    const Measurement moved = measure(s, at);
    if (moved.result.ok() || moved.result.outcome == Outcome::Exception) {
        print(QStringLiteral("address %1 -> %2 (acknowledgement lost), verified by a measurement at %2: %3")
                  .arg(s.address())
                  .arg(newAddress)
                  .arg(moved.text()));
        return EXIT_OK;
    }
    const Measurement stayed = measure(s, s.address());
    if (stayed.result.ok() || stayed.result.outcome == Outcome::Exception) {
        error(QStringLiteral("address not changed (%1): the sensor still answers at %2")
                  .arg(w.detail)
                  .arg(s.address()));
        return exitCodeFor(w.outcome);
    }
    error(unknown.arg(w.detail));
    return EXIT_NO_REPLY;
}

int runCalibrate(Session& s, const CalibrateOptions& o) {
    int code = EXIT_OK;
    double RA = 0;
    double RB = 0;
    const bool measured = !o.RA || !o.RB;
    if (o.RA) {
        RA = *o.RA;
    } else {
        if (!ask(QStringLiteral("Put the probe in the low reference (RL = %1 ohm) and press Enter: ")
                     .arg(o.RL))) {
            error(QStringLiteral("no input; nothing written"));
            return EXIT_USAGE;
        }
        const auto r = readResistance(s, code);
        if (!r) return code;
        RA = *r;
        print(QStringLiteral("RA = %1 ohm").arg(RA, 0, 'f', 2));
    }
    if (o.RB) {
        RB = *o.RB;
    } else {
        if (!ask(QStringLiteral("Put the probe in the high reference (RH = %1 ohm) and press Enter: ")
                     .arg(o.RH))) {
            error(QStringLiteral("no input; nothing written"));
            return EXIT_USAGE;
        }
        const auto r = readResistance(s, code);
        if (!r) return code;
        RB = *r;
        print(QStringLiteral("RB = %1 ohm").arg(RB, 0, 'f', 2));
    }
    const auto c = sensor::calibrate(o.RL, o.RH, RA, RB);
    if (!c) {
        error(QStringLiteral("RB (%1) must be above RA (%2): the divisor must not be zero").arg(RB).arg(RA));
        return measured ? EXIT_DEVICE : EXIT_USAGE;
    }
    if (c->slope < 0 || c->slope > 65535 || c->offset < 0 || c->offset > 65535) {
        error(QStringLiteral(
                  "LA %1 and OF %2 do not fit the sensor's registers (0..65535); check RL, RH, RA and RB")
                  .arg(c->slope)
                  .arg(c->offset));
        return measured ? EXIT_DEVICE : EXIT_USAGE;
    }
    const Result oldLA = readParameter(s, kLA);
    const Result oldOF = readParameter(s, kOF);
    if (!oldLA.ok() || !oldOF.ok()) {
        const Result& bad = oldLA.ok() ? oldOF : oldLA;
        error(QStringLiteral("reading the present LA and OF failed: %1").arg(bad.detail));
        return exitCodeFor(bad.outcome);
    }
    const Measurement before = measure(s, s.address());
    print(QStringLiteral("LA: %1 -> %2").arg(oldLA.reply.registers[0]).arg(c->slope));
    print(QStringLiteral("OF: %1 -> %2").arg(oldOF.reply.registers[0]).arg(c->offset));
    print(QStringLiteral("before: %1").arg(before.text()));
    if (!o.yes) {
        const auto answer = ask(QStringLiteral("Write LA and OF to the sensor? [y/N] "));
        if (!answer) {
            error(QStringLiteral("no confirmation (use --yes); nothing written"));
            return EXIT_USAGE;
        }
        if (*answer != "y" && *answer != "Y" && *answer != "yes") {
            print(QStringLiteral("cancelled; nothing written"));
            return EXIT_OK;
        }
    }
    const std::uint16_t la0 = oldLA.reply.registers[0];
    const std::uint16_t of0 = oldOF.reply.registers[0];
    const Written la = writeVerified(s, kLA, static_cast<std::uint16_t>(c->slope), la0);
    if (la.state == Written::No) {
        error(QStringLiteral("nothing written: the sensor keeps LA %1 and OF %2").arg(la0).arg(of0));
        return la.code;
    }
    const Written of = la.state == Written::Yes
                           ? writeVerified(s, kOF, static_cast<std::uint16_t>(c->offset), of0)
                           : Written{};
    if (la.state != Written::Yes || of.state != Written::Yes) {
        // A half-done calibration is worse than none: say what is where, and how to undo it.
        auto told = [](const Written& w, int was, int sent) {
            return w.state == Written::Yes ? QStringLiteral("written (%1 -> %2)").arg(was).arg(sent)
                   : w.state == Written::No
                       ? QStringLiteral("not written (still %1)").arg(was)
                       : QStringLiteral("unknown (it held %1, %2 was sent)").arg(was).arg(sent);
        };
        error(QStringLiteral("calibration incomplete: LA %1, OF %2")
                  .arg(told(la, la0, static_cast<int>(c->slope)),
                       la.state == Written::Yes ? told(of, of0, static_cast<int>(c->offset))
                                                : QStringLiteral("not sent (still %1)").arg(of0)));
        print(QStringLiteral("to restore the previous LA and OF:"));
        print(restoreCommand(s, kLA, la0));
        print(restoreCommand(s, kOF, of0));
        return la.state != Written::Yes ? la.code : of.code;
    }
    const Measurement after = measure(s, s.address());
    print(QStringLiteral("written and verified: LA %1, OF %2").arg(c->slope).arg(c->offset));
    if (la.readBack || of.readBack)
        print(QStringLiteral("(an acknowledgement was lost; each value was read back)"));
    print(QStringLiteral("after: %1").arg(after.text()));
    return EXIT_OK;
}

} // namespace kv::cli
