#pragma once
// A DTU's heartbeats taken out of the bytes it carries, wherever they come: between frames,
// joined to a reply, or between a request and its reply. Nothing is held back waiting to see
// whether a heartbeat follows, so no reply is ever delayed; a heartbeat that TCP cut across
// two segments (rare: a DTU sends it in one) leaves its first bytes in the stream, where the
// line discipline discards them as noise, and its rest is still taken out.
//
// A heartbeat's bytes are taken out wherever they appear, so a heartbeat must not be a
// byte string the bus's frames can contain: a text such as "HB" or "www.example.com:ping" is
// safe in practice, one or two binary bytes are not.

#include "serial/byteline.h"

#include <QByteArray>

#include <vector>

namespace kv::net {

class HeartbeatFilter {
public:
    explicit HeartbeatFilter(std::vector<QByteArray> heartbeats = {});

    // The bytes that arrived, without the heartbeats in them.
    [[nodiscard]] QByteArray strip(const QByteArray& bytes);
    // Heartbeats taken out so far.
    [[nodiscard]] int removed() const { return removed_; }
    // Forgets the end of the stream so far (a new connection).
    void reset() { tail_.clear(); }

private:
    // The length of the heartbeat that starts at bytes[at], 0 for none.
    [[nodiscard]] int heartbeatAt(const QByteArray& bytes, int at) const;
    // Bytes at the front that finish a heartbeat begun at the end of the last piece.
    [[nodiscard]] int restOfCutHeartbeat(const QByteArray& bytes) const;

    std::vector<QByteArray> heartbeats_;
    int longest_ = 0;
    QByteArray tail_; // the last bytes passed on since the last heartbeat, which may begin one
    int removed_ = 0;
};

// A byte line whose heartbeats are taken out before the line discipline sees them.
class HeartbeatLine final : public ByteLine {
public:
    HeartbeatLine(ByteLine& inner, std::vector<QByteArray> heartbeats)
        : inner_(inner), filter_(std::move(heartbeats)) {}

    [[nodiscard]] QByteArray take() override { return filter_.strip(inner_.take()); }
    [[nodiscard]] bool write(const QByteArray& bytes) override { return inner_.write(bytes); }
    void waitReadable(qint64 deadlineNs) override { inner_.waitReadable(deadlineNs); }
    [[nodiscard]] bool lost() const override { return inner_.lost(); }
    [[nodiscard]] qint64 nowNs() const override { return inner_.nowNs(); }
    [[nodiscard]] LinkFacts facts() const override { return inner_.facts(); }
    [[nodiscard]] QString errorString() const override { return inner_.errorString(); }

    [[nodiscard]] HeartbeatFilter& filter() { return filter_; }
    [[nodiscard]] const HeartbeatFilter& filter() const { return filter_; }

private:
    ByteLine& inner_;
    HeartbeatFilter filter_;
};

} // namespace kv::net
