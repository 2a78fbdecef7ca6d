#include "cli/verifiedwrite.h"

#include "cli/console.h"
#include "sensor/values.h"

#include <QStringList>

namespace kv::cli {
namespace {

QString joined(const std::vector<std::uint16_t>& values) {
    QStringList words;
    for (const std::uint16_t v : values)
        words << QString::number(v);
    return words.join(QLatin1Char(','));
}

// What the registers hold, one read each; empty with the failed read in `failed`.
std::vector<std::uint16_t> readBack(Session& s, const std::vector<std::uint16_t>& at, Result& failed) {
    std::vector<std::uint16_t> held;
    for (const std::uint16_t reg : at) {
        failed = s.readRegister(reg);
        if (!failed.ok()) return {};
        held.push_back(failed.reply.registers[0]);
    }
    return held;
}

} // namespace

Written writeChecked(Session& s, const RegisterWrite& rw, std::vector<std::uint16_t>* heldOut) {
    const Result w = s.request(rw.request, rw.expect, s.retries());
    const QString unknown =
        QStringLiteral("writing %1: unknown: the sensor could not be read; it held %2, %3 was sent")
            .arg(rw.what, joined(rw.old), joined(rw.values));
    if (w.outcome == Outcome::Busy) {
        error(QStringLiteral("writing %1: not written: %2").arg(rw.what, w.detail));
        return {Written::No, exitCodeFor(w.outcome), false};
    }
    if (w.outcome == Outcome::Stopped) {
        error(unknown + QStringLiteral(" (stopped)"));
        return {Written::Unknown, EXIT_NO_REPLY, false};
    }
    if (w.outcome == Outcome::Lost && !s.reopenWithin(REOPEN_FOR_READ_BACK_MS)) {
        error(unknown + QStringLiteral(" (%1)").arg(w.detail));
        return {Written::Unknown, EXIT_NO_REPLY, false};
    }
    Result r;
    const std::vector<std::uint16_t> held = readBack(s, rw.readAt, r);
    if (held.empty()) {
        error(unknown + QStringLiteral(" (%1; reading back: %2)")
                            .arg(w.ok() ? QStringLiteral("acknowledged") : w.detail, r.detail));
        return {Written::Unknown, exitCodeFor(r.outcome), false, w.ok(), {}};
    }
    if (heldOut) *heldOut = held;
    if (held == rw.values) return {Written::Yes, EXIT_OK, !w.ok(), w.ok(), held};
    // The first register that does not hold what was written.
    std::size_t k = 0;
    while (held[k] == rw.values[k])
        ++k;
    if (w.ok()) {
        error(QStringLiteral("verification failed: %1 was acknowledged as %2 but register %3 holds %4")
                  .arg(rw.what, joined(rw.values))
                  .arg(rw.readAt[k])
                  .arg(held[k]));
        return {Written::No, EXIT_DEVICE, false, true, held};
    }
    error(QStringLiteral("writing %1: not written (%2); register %3 holds %4")
              .arg(rw.what, w.detail, QString::number(rw.readAt[k]), QString::number(held[k])));
    return {Written::No, exitCodeFor(w.outcome), true, false, held};
}

Written writeVerified(Session& s, int i, std::uint16_t raw, std::uint16_t old) {
    const Frame frame = sensor::parameterWriteRequest(s.address(), i, raw);
    return writeChecked(s, {QLatin1String(sensor::parameterInfo(i).key),
                            toBytes(frame),
                            sensor::expectEcho(frame),
                            {raw},
                            {sensor::parameterReadRegister(i)},
                            {old}});
}

} // namespace kv::cli
