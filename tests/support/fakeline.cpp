#include "fakeline.h"

#include <algorithm>

namespace kv::fake {

OpenResult FakeLine::open(const QString&, int baud) {
    baud_ = baud;
    return reopen();
}

OpenResult FakeLine::reopen() {
    deliverDue();
    if (unplugNs_ >= 0 && now_ >= unplugNs_ && (backNs_ < 0 || now_ < backNs_))
        return {OpenFailure::Missing, QStringLiteral("the adapter is unplugged"), {}, {}};
    if (unplugNs_ >= 0 && now_ >= unplugNs_) unplugNs_ = -1; // plugged in again
    open_ = true;
    waiting_.clear();
    ++reopens_;
    return {};
}

bool FakeLine::isOpen() const {
    return open_ && !(unplugNs_ >= 0 && now_ >= unplugNs_);
}

bool FakeLine::setBaudRate(int baud) {
    if (!isOpen()) return false;
    baud_ = baud;
    return true;
}

qint64 FakeLine::wireNs(int bytes) const {
    return static_cast<qint64>(lineTimeMs(bytes, baud_) * NS_PER_MS);
}

LinkFacts FakeLine::facts() const {
    LinkFacts f;
    f.frameSilenceNs = static_cast<qint64>(frameSilenceMs(baud_) * NS_PER_MS);
    f.characterNs = wireNs(1);
    f.wireTimed = true; // every arrival a script or a model gives has crossed the line
    return f;
}

void FakeLine::arrive(qint64 atNs, const QByteArray& bytes, int from) {
    if (bytes.isEmpty()) return;
    scheduled_.emplace(std::max(atNs, now_), Arrival{std::max(atNs, now_), bytes, from});
}

void FakeLine::unplug(qint64 atNs, qint64 backNs) {
    unplugNs_ = atNs;
    backNs_ = backNs;
}

void FakeLine::deliverDue() {
    while (!scheduled_.empty() && scheduled_.begin()->first <= now_) {
        Arrival a = scheduled_.begin()->second;
        scheduled_.erase(scheduled_.begin());
        // Bytes sent while the adapter was away never reach the master.
        const bool away = unplugNs_ >= 0 && a.ns >= unplugNs_ && (backNs_ < 0 || a.ns < backNs_);
        if (away || !open_) continue;
        lastArrivalNs_ = a.ns;
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
    writes_.push_back({now_, bytes, now_ - lastArrivalNs_});
    if (echo_) arrive(now_ + wireNs(static_cast<int>(bytes.size())), bytes, ECHO);
    if (onWrite) onWrite(static_cast<int>(writes_.size()) - 1);
    return true;
}

void FakeLine::waitReadable(qint64 deadlineNs) {
    deliverDue();
    if ((isOpen() && !waiting_.isEmpty()) || deadlineNs <= now_) return;
    qint64 until = deadlineNs;
    if (isOpen()) {
        if (!scheduled_.empty()) until = std::min(until, scheduled_.begin()->first);
        if (unplugNs_ > now_) until = std::min(until, unplugNs_);
    }
    now_ = until;
    deliverDue();
}

} // namespace kv::fake
