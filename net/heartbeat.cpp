#include "net/heartbeat.h"

#include <algorithm>

namespace kv::net {

HeartbeatFilter::HeartbeatFilter(std::vector<QByteArray> heartbeats) {
    for (QByteArray& h : heartbeats) {
        if (h.isEmpty()) continue;
        longest_ = std::max(longest_, static_cast<int>(h.size()));
        heartbeats_.push_back(std::move(h));
    }
}

int HeartbeatFilter::heartbeatAt(const QByteArray& bytes, int at) const {
    for (const QByteArray& h : heartbeats_)
        if (bytes.size() - at >= h.size() && bytes.mid(at, h.size()) == h) return static_cast<int>(h.size());
    return 0;
}

int HeartbeatFilter::begunAtEnd(const QByteArray& bytes) const {
    for (int k = std::min(static_cast<int>(bytes.size()), longest_ - 1); k >= 1; --k) {
        const QByteArray end = bytes.right(k);
        for (const QByteArray& h : heartbeats_)
            if (h.size() > k && h.startsWith(end)) return k;
    }
    return 0;
}

QByteArray HeartbeatFilter::strip(const QByteArray& bytes) {
    if (heartbeats_.empty()) return bytes;
    const QByteArray in = held_ + bytes;
    held_.clear();
    QByteArray out;
    out.reserve(in.size());
    int i = 0;
    while (i < in.size()) {
        if (const int n = heartbeatAt(in, i)) {
            i += n;
            ++removed_;
            continue;
        }
        out.append(in[i]);
        ++i;
    }
    const int k = begunAtEnd(out);
    held_ = out.right(k);
    out.chop(k);
    return out;
}

QByteArray HeartbeatFilter::release() {
    QByteArray got;
    got.swap(held_);
    return got;
}

QByteArray HeartbeatLine::take() {
    const QByteArray got = inner_.take();
    const TimePoint now = inner_.now();
    if (!got.isEmpty()) {
        lastPiece_ = now;
        return filter_.strip(got);
    }
    if (filter_.holding() && (inner_.lost() || now >= *releaseAt())) return filter_.release();
    return {};
}

void HeartbeatLine::waitReadable(TimePoint deadline) {
    const std::optional<TimePoint> until = releaseAt();
    inner_.waitReadable(until ? std::min(deadline, *until) : deadline);
}

std::optional<TimePoint> HeartbeatLine::releaseAt() const {
    if (!filter_.holding()) return std::nullopt;
    return lastPiece_ + HEARTBEAT_HOLD;
}

} // namespace kv::net
