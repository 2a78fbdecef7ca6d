// params, address and calibrate: the sensor's settings, each write verified by reading
// it back (or, for the address, by a measurement at the new address).

#include "cli/commands.h"
#include "cli/report.h"
#include "sensor/values.h"

#include <cstdio>
#include <iostream>
#include <string>

namespace kv::cli {
namespace {

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

// Writes, checks the echo, reads back; EXIT_OK only when the register holds `raw`.
int writeVerified(Session& s, int i, std::uint16_t raw) {
    const auto& info = sensor::parameterInfo(i);
    const auto frame = sensor::parameterWriteRequest(s.address(), i, raw);
    const Result w = s.request(frame, sensor::expectEcho(frame), s.retries());
    if (!w.ok()) {
        error(QStringLiteral("writing %1 failed: %2").arg(QLatin1String(info.key), w.detail));
        return exitCodeFor(w.kind);
    }
    const Result r = readParameter(s, i);
    if (!r.ok()) {
        error(QStringLiteral("reading %1 back failed: %2").arg(QLatin1String(info.key), r.detail));
        return exitCodeFor(r.kind);
    }
    if (r.reply.registers[0] != raw) {
        error(QStringLiteral("verification failed: %1 was acknowledged as %2 but register %3 holds %4")
                  .arg(QLatin1String(info.key))
                  .arg(raw)
                  .arg(sensor::parameterReadRegister(i))
                  .arg(r.reply.registers[0]));
        return EXIT_DEVICE;
    }
    return EXIT_OK;
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
        code = exitCodeFor(r.kind);
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
            code = exitCodeFor(r.kind);
            if (r.kind == Result::Lost || r.kind == Result::Stopped) break;
        }
    }
    return code;
}

int runParamsSet(Session& s, int i, std::uint16_t raw) {
    const int code = writeVerified(s, i, raw);
    if (code == EXIT_OK) print(parameterLine(i, raw) + QStringLiteral("  written and verified"));
    return code;
}

int runAddressRead(Session& s) {
    const Result r = s.request(sensor::addressReadRequest(), sensor::expectAddressRead(), s.retries());
    if (!r.ok()) {
        error(QStringLiteral("address read failed: %1%2")
                  .arg(r.detail, r.kind == Result::Bad
                                     ? QStringLiteral(" (several sensors on the line? try scan)")
                                     : QString()));
        return exitCodeFor(r.kind);
    }
    print(QStringLiteral("address %1").arg(r.reply.address));
    return EXIT_OK;
}

int runAddressSet(Session& s, int newAddress, bool force) {
    if (!force) {
        // Two sensors on one address would answer together from then on.
        const int lateBefore = s.line().unexpected().bursts;
        const Measurement there = measure(s, static_cast<std::uint8_t>(newAddress));
        if (there.result.kind == Result::Lost || there.result.kind == Result::Stopped) {
            error(QStringLiteral("checking address %1 failed: %2").arg(newAddress).arg(there.result.detail));
            return exitCodeFor(there.result.kind);
        }
        if (there.result.kind != Result::Timeout || s.line().unexpected().bursts != lateBefore) {
            error(QStringLiteral("address %1 answers already (%2); nothing written. Another sensor on this "
                                 "line uses it; --force changes the address anyway")
                      .arg(newAddress)
                      .arg(there.result.ok() ? there.text() : there.result.detail));
            return EXIT_DEVICE;
        }
    }
    const auto frame = sensor::addressChangeRequest(s.address(), static_cast<std::uint8_t>(newAddress));
    // No retry: a change that took effect would not be answered at the old address again.
    const Result w = s.request(frame, sensor::expectAddressChange(frame), 0);
    if (w.kind == Result::Exception || w.kind == Result::Lost || w.kind == Result::Stopped) {
        error(QStringLiteral("address change failed: %1").arg(w.detail));
        return exitCodeFor(w.kind);
    }
    if (!w.ok())
        error(QStringLiteral("address change not acknowledged (%1); checking the new address").arg(w.detail));
    const Measurement m = measure(s, static_cast<std::uint8_t>(newAddress));
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
    const Result oldLA = readParameter(s, 4);
    const Result oldOF = readParameter(s, 5);
    if (!oldLA.ok() || !oldOF.ok()) {
        const Result& bad = oldLA.ok() ? oldOF : oldLA;
        error(QStringLiteral("reading the present LA and OF failed: %1").arg(bad.detail));
        return exitCodeFor(bad.kind);
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
    code = writeVerified(s, 4, static_cast<std::uint16_t>(c->slope));
    if (code != EXIT_OK) return code;
    code = writeVerified(s, 5, static_cast<std::uint16_t>(c->offset));
    if (code != EXIT_OK) return code;
    const Measurement after = measure(s, s.address());
    print(QStringLiteral("written and verified: LA %1, OF %2").arg(c->slope).arg(c->offset));
    print(QStringLiteral("after: %1").arg(after.text()));
    return EXIT_OK;
}

} // namespace kv::cli
