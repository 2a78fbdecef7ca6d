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

int HeartbeatFilter::restOfCutHeartbeat(const QByteArray& bytes) const {
    for (int k = static_cast<int>(tail_.size()); k >= 1; --k) {
        const QByteArray begun = tail_.right(k);
        for (const QByteArray& h : heartbeats_)
            if (h.size() > k && h.startsWith(begun) && bytes.startsWith(h.mid(k)))
                return static_cast<int>(h.size()) - k;
    }
    return 0;
}

QByteArray HeartbeatFilter::strip(const QByteArray& bytes) {
    if (heartbeats_.empty() || bytes.isEmpty()) return bytes;
    QByteArray out;
    out.reserve(bytes.size());
    int i = restOfCutHeartbeat(bytes);
    bool cut = i > 0;
    if (cut) ++removed_;
    int runStart = 0; // where in `out` the bytes since the last heartbeat begin
    while (i < bytes.size()) {
        if (const int n = heartbeatAt(bytes, i)) {
            i += n;
            ++removed_;
            cut = true;
            runStart = static_cast<int>(out.size());
            continue;
        }
        out.append(bytes[i]);
        ++i;
    }
    const QByteArray run = out.mid(runStart);
    tail_ = (cut ? run : tail_ + run).right(longest_ - 1);
    return out;
}

} // namespace kv::net
