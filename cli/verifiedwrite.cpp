#include "cli/verifiedwrite.h"

#include "cli/console.h"
#include "sensor/values.h"

namespace kv::cli {

Written writeVerified(Session& s, int i, std::uint16_t raw, std::uint16_t old) {
    const QLatin1String key(sensor::parameterInfo(i).key);
    const Result w = s.writeParameter(i, raw);
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
    if (w.outcome == Outcome::Lost && !s.reopenWithin(REOPEN_FOR_READ_BACK_MS)) {
        error(unknown + QStringLiteral(" (%1)").arg(w.detail));
        return {Written::Unknown, EXIT_NO_REPLY, false};
    }
    const Result r = s.readParameter(i);
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

} // namespace kv::cli
