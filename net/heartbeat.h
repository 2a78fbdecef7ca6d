#pragma once
// A DTU's heartbeats taken out of the bytes it carries, wherever they come: between frames,
// joined to a reply, or between a request and its reply, and also when TCP cut one across two
// or more segments. For that, bytes at the end of a piece that begin a heartbeat are held back
// until the next piece tells whether the heartbeat goes on, or HEARTBEAT_HOLD passes without
// one: a reply whose last byte happens to be a heartbeat's first comes that much later.
//
// A heartbeat's bytes are taken out wherever they appear, so a heartbeat must not be a
// byte string the bus's frames can contain: a text such as "HB" or "www.example.com:ping" is
// safe in practice, one or two binary bytes are not.

#include "serial/byteline.h"

#include <QByteArray>

#include <optional>
#include <vector>

namespace kv::net {

// How long the start of a heartbeat is held back for its rest.
inline constexpr Millis HEARTBEAT_HOLD{100};

class HeartbeatFilter {
public:
    explicit HeartbeatFilter(std::vector<QByteArray> heartbeats = {});

    // The bytes that arrived, without the heartbeats in them, and without what may begin one.
    [[nodiscard]] QByteArray strip(const QByteArray& bytes);
    // The bytes held back as a heartbeat's possible start: no rest came.
    [[nodiscard]] QByteArray release();
    [[nodiscard]] bool holding() const { return !held_.isEmpty(); }
    // Heartbeats taken out so far.
    [[nodiscard]] int removed() const { return removed_; }
    // Forgets what is held (a new connection).
    void reset() { held_.clear(); }

private:
    // The length of the heartbeat that starts at bytes[at], 0 for none.
    [[nodiscard]] int heartbeatAt(const QByteArray& bytes, int at) const;
    // The longest end of `bytes` that begins a heartbeat without being one.
    [[nodiscard]] int begunAtEnd(const QByteArray& bytes) const;

    std::vector<QByteArray> heartbeats_;
    int longest_ = 0;
    QByteArray held_;
    int removed_ = 0;
};

// A byte line whose heartbeats are taken out before the line discipline sees them.
class HeartbeatLine final : public ByteLine {
public:
    HeartbeatLine(ByteLine& inner, std::vector<QByteArray> heartbeats)
        : inner_(inner), filter_(std::move(heartbeats)) {}

    [[nodiscard]] QByteArray take() override;
    [[nodiscard]] bool write(const QByteArray& bytes) override { return inner_.write(bytes); }
    void waitReadable(TimePoint deadline) override;
    using ByteLine::waitReadable;
    // Bytes held back are given up by time, not told: a driver wakes at releaseAt() itself.
    [[nodiscard]] bool setNotify(std::function<void()> onActivity) override {
        return inner_.setNotify(std::move(onActivity));
    }
    [[nodiscard]] bool lost() const override { return inner_.lost(); }
    [[nodiscard]] TimePoint now() const override { return inner_.now(); }
    [[nodiscard]] LinkFacts facts() const override { return inner_.facts(); }
    [[nodiscard]] QString errorString() const override { return inner_.errorString(); }

    // When bytes held back as a heartbeat's start are given up, if any are held.
    [[nodiscard]] std::optional<TimePoint> releaseAt() const override;

    [[nodiscard]] HeartbeatFilter& filter() { return filter_; }
    [[nodiscard]] const HeartbeatFilter& filter() const { return filter_; }

private:
    ByteLine& inner_;
    HeartbeatFilter filter_;
    TimePoint lastPiece_{};
};

} // namespace kv::net
