#include "cli/reconnect.h"

#include "cli/console.h"
#include "cli/session.h"

namespace kv::cli {

void Reconnect::lost() {
    error(QStringLiteral("reopening %1 about once a second (Ctrl-C ends the run)").arg(s_.device()));
    away_ = true;
    ++s_.stats().outages;
    lostAtMs_ = clock_.elapsed();
    nextTryMs_ = lostAtMs_ + EVERY_MS;
}

void Reconnect::tick() {
    if (!away_ || clock_.elapsed() < nextTryMs_) return;
    nextTryMs_ = clock_.elapsed() + EVERY_MS;
    if (!s_.reopen()) return;
    away_ = false;
    const qint64 outage = clock_.elapsed() - lostAtMs_;
    s_.stats().lostMs += static_cast<double>(outage);
    error(QStringLiteral("the port is back after %1 s; measuring again").arg(outage / 1000.0, 0, 'f', 1));
}

void Reconnect::end() {
    if (away_) s_.stats().lostMs += static_cast<double>(clock_.elapsed() - lostAtMs_);
}

} // namespace kv::cli
