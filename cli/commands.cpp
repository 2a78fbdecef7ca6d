#include "cli/commands.h"

#include "cli/console.h"
#include "serial/linetime.h"

namespace kv::cli {

bool Command::checkPort(GlobalOptions& options) {
    if (options.common.port.kind() != net::Scheme::Listen) return true;
    return refuse(
        QStringLiteral("--port %1: DTUs that dial in are read from only; give read, or reach the sensor by "
                       "tcp:// or modbus-tcp://")
            .arg(QString::fromStdString(options.common.port.text)));
}

int Context::onSession(const std::function<int(Session&)>& job) {
    Session session(options_.common);
    // The trace file is checked before the port is touched: a usage error sends nothing.
    if (!options_.trace.empty()) {
        if (!trace_.open(options_.trace, session.wallClock())) return EXIT_USAGE;
        session.observe([this](const line::LineEvent& e) { trace_.write(e); });
    }
    if (const int code = session.open(); code != EXIT_OK) return code;
    return job(session);
}

bool Context::traceLines(std::function<void(const line::LineEvent&, const QString&)>& to) {
    if (options_.trace.empty()) return true;
    // Each DTU's line keeps time on the steady clock; the trace's wall clock is tied to it.
    const auto now = std::chrono::duration_cast<Nanos>(LineClock::now().time_since_epoch());
    if (!trace_.open(options_.trace, WallClock::tiedAt(now.count()))) return false;
    to = [this](const line::LineEvent& e, const QString& port) { trace_.write(e, port); };
    return true;
}

} // namespace kv::cli
