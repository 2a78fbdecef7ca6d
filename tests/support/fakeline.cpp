#include "fakeline.h"

#include <algorithm>

namespace kv::fake {

OpenResult FakeLine::open(const QString&, int baud) {
    baud_ = baud;
    return reopen();
}

OpenResult FakeLine::reopen() {
    deliverDue();
    if (awayAt(now_)) return {OpenFailure::Missing, QStringLiteral("the adapter is unplugged"), {}, {}};
    if (unplug_ && now_ >= *unplug_) unplug_.reset(); // plugged in again
    open_ = true;
    waiting_.clear();
    ++reopens_;
    return {};
}

bool FakeLine::isOpen() const {
    return open_ && !(unplug_ && now_ >= *unplug_);
}

bool FakeLine::setBaudRate(int baud) {
    if (!isOpen()) return false;
    baud_ = baud;
    return true;
}

Nanos FakeLine::wire(int bytes) const {
    return nanosOfMs(lineTimeMs(bytes, baud_));
}

LinkFacts FakeLine::facts() const {
    LinkFacts f;
    f.frameSilenceNs = nanosOfMs(frameSilenceMs(baud_)).count();
    f.characterNs = wireNs(1);
    f.wireTimed = true; // every arrival a script or a model gives has crossed the line
    return f;
}

void FakeLine::arrive(TimePoint at, const QByteArray& bytes, int from) {
    if (bytes.isEmpty()) return;
    const TimePoint when = std::max(at, now_);
    scheduled_.emplace(when, Arrival{when.time_since_epoch().count(), bytes, from});
}

void FakeLine::unplug(TimePoint at, std::optional<TimePoint> back) {
    unplug_ = at;
    back_ = back;
}

void FakeLine::deliverDue() {
    while (!scheduled_.empty() && scheduled_.begin()->first <= now_) {
        const TimePoint at = scheduled_.begin()->first;
        Arrival a = scheduled_.begin()->second;
        scheduled_.erase(scheduled_.begin());
        // Bytes sent while the adapter was away never reach the master.
        if (awayAt(at) || !open_) continue;
        lastArrival_ = at;
        waiting_ += a.bytes;
        delivered_.push_back(std::move(a));
    }
}

QByteArray FakeLine::take() {
    deliverDue();
    if (!isOpen()) return {};
    QByteArray got;
    got.swap(waiting_);
    return got;
}

bool FakeLine::write(const QByteArray& bytes) {
    deliverDue();
    if (!isOpen()) return false;
    writes_.push_back({now_.time_since_epoch().count(), bytes, (now_ - lastArrival_).count()});
    if (echo_) arrive(now_ + wire(static_cast<int>(bytes.size())), bytes, ECHO);
    if (onWrite) onWrite(static_cast<int>(writes_.size()) - 1);
    return true;
}

void FakeLine::waitReadable(TimePoint deadline) {
    deliverDue();
    if ((isOpen() && !waiting_.isEmpty()) || deadline <= now_) return;
    TimePoint until = deadline;
    if (isOpen()) {
        if (!scheduled_.empty()) until = std::min(until, scheduled_.begin()->first);
        if (unplug_ && *unplug_ > now_) until = std::min(until, *unplug_);
    }
    now_ = until;
    deliverDue();
}

} // namespace kv::fake
