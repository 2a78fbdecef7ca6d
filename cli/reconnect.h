#pragma once
// A run on a clock rides out an unplugged port: from the moment it goes away the port is
// opened again by its name about once a second until it is back, and the time without it
// goes into the run's counts.

#include <QtGlobal>

namespace kv::cli {

class Session;

class Reconnect {
public:
    // Between attempts to reopen a port that went away.
    static constexpr qint64 EVERY_MS = 1000;

    // Times kept on the line's clock.
    explicit Reconnect(Session& session) : s_(session) {}

    [[nodiscard]] bool away() const { return away_; }
    // The port went away just now: says so and counts the outage.
    void lost();
    // Opens the port again when a try is due; says so when it is back.
    void tick();
    // The run ends: the time the port is still away counts too.
    void end();

private:
    [[nodiscard]] qint64 nowMs() const;

    Session& s_;
    bool away_ = false;
    qint64 lostAtMs_ = 0;
    qint64 nextTryMs_ = 0;
};

} // namespace kv::cli
