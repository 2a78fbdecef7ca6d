// params: the seven parameters read, or one written and read back.

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/verifiedwrite.h"
#include "sensor/values.h"

namespace kv::cli {
namespace {

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

} // namespace

int runParams(Session& s) {
    int code = EXIT_OK;
    for (int i = 0; i < sensor::PARAMETER_COUNT; ++i) {
        const Result r = s.readParameter(i);
        if (r.ok()) {
            print(parameterLine(i, r.reply.registers[0]));
            continue;
        }
        print(QStringLiteral("%1  %2  %3")
                  .arg(i)
                  .arg(QLatin1String(sensor::parameterInfo(i).key), -15)
                  .arg(r.detail));
        code = exitCodeFor(r.outcome);
        if (r.outcome == Outcome::Lost || r.outcome == Outcome::Stopped) break;
    }
    return code;
}

int runParamsSet(Session& s, int i, std::uint16_t raw) {
    // What it held first: a write whose acknowledgement goes astray is told against it.
    const Result old = s.readParameter(i);
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

} // namespace kv::cli
