#include "cli/failure.h"

namespace kv::cli {

QString describe(const line::Exchange& ex) {
    using line::Failure;
    const QString lateAfter = ex.lateAfter ? QStringLiteral(" (a late one came after it)") : QString();
    switch (ex.failure) {
    case Failure::None:
        break;
    case Failure::NoReply:
        return QStringLiteral("no reply within %1 ms").arg(ex.timeout.count()) + lateAfter;
    case Failure::GatewayNoReply:
        return QStringLiteral("no reply: %1").arg(sensor::describe(ex.reply)) + lateAfter;
    case Failure::Crc:
        return QStringLiteral("bad CRC");
    case Failure::Cut:
        return QStringLiteral("reply too short");
    case Failure::Echo:
        return QStringLiteral("the request itself came back: the adapter echoes what it sends; use --echo");
    case Failure::NeverSilent:
        return QStringLiteral("the line never fell silent for %1 ms; nothing sent").arg(ex.timeout.count());
    case Failure::CannotResync:
        return QStringLiteral(
                   "address %1 cannot be resynchronised: its late replies could pass for the answer; "
                   "nothing sent")
            .arg(ex.address);
    case Failure::Lost:
        return QStringLiteral("the port went away: %1").arg(ex.lineError);
    case Failure::Stopped:
        return QStringLiteral("stopped");
    }
    return ex.outcome == line::Outcome::Exception ? sensor::describe(ex.reply) : QString();
}

} // namespace kv::cli
