#include "cli/reconnect.h"

#include "cli/console.h"
#include "cli/session.h"

namespace kv::cli {

qint64 Reconnect::nowMs() const {
    return s_.nowNs() / 1000000;
}

void Reconnect::lost() {
    error(QStringLiteral("reopening %1 about once a second (Ctrl-C ends the run)").arg(s_.device()));
    away_ = true;
    ++s_.stats().outages;
    lostAtMs_ = nowMs();
    nextTryMs_ = lostAtMs_ + EVERY_MS;
}

void Reconnect::tick() {
    if (!away_ || nowMs() < nextTryMs_) return;
    nextTryMs_ = nowMs() + EVERY_MS;
    if (!s_.reopen()) return;
    away_ = false;
    const qint64 outage = nowMs() - lostAtMs_;
    s_.stats().lostMs += static_cast<double>(outage);
    error(QStringLiteral("the port is back after %1 s; measuring again").arg(outage / 1000.0, 0, 'f', 1));
}

void Reconnect::end() {
    if (away_) s_.stats().lostMs += static_cast<double>(nowMs() - lostAtMs_);
}

} // namespace kv::cli
