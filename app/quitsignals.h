#pragma once
// SIGTERM, SIGINT and SIGHUP end the window program as closing its window does: the event
// loop returns, so the port is let go (its lock file with it) and the monitor's log is
// finished. Killed outright, it would leave its lock file for the next start to find stale.
// A second signal ends the program at once. Signals that were ignored at start stay so
// (nohup). Nothing is installed where there are no such signals (Windows).

#include <QObject>

namespace kv {

class QuitOnSignals : public QObject {
public:
    QuitOnSignals(); // QApplication must exist
    ~QuitOnSignals() override;
    QuitOnSignals(const QuitOnSignals&) = delete;
    QuitOnSignals& operator=(const QuitOnSignals&) = delete;

    // Whether a signal asked the program to end: an event loop run before the main one
    // (a message at start-up) may have seen it, and the main one must not start then.
    [[nodiscard]] bool requested() const { return requested_; }

private:
    bool requested_ = false;
};

} // namespace kv
