#pragma once
// A byte line on a virtual clock, for tests, fuzz targets and benchmarks: bytes reach the
// master at the times a script or a modelled sensor gives them, time passes only when the
// master waits, and every request is recorded with the quiet that came before it.

#include "serial/byteline.h"

#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace kv::fake {

// For tests that still count the clock in nanoseconds.
inline constexpr qint64 NS_PER_MS = Nanos(Millis(1)).count();

// Who sent bytes that reached the master.
inline constexpr int NOISE = -1;       // nobody: noise on the line
inline constexpr int ECHO = -2;        // the adapter's copy of the master's own request
inline constexpr int EARLIER_RUN = -3; // a reply to a request sent before the line was the master's

class FakeLine final : public Link {
public:
    explicit FakeLine(int baud = 19200) : baud_(baud) {}

    [[nodiscard]] OpenResult open(const QString& name, int baud) override;
    [[nodiscard]] OpenResult reopen() override;
    [[nodiscard]] bool isOpen() const override;
    [[nodiscard]] bool setBaudRate(int baud) override;
    void close() override { open_ = false; }

    [[nodiscard]] QByteArray take() override;
    [[nodiscard]] bool write(const QByteArray& bytes) override;
    void waitReadable(TimePoint deadline) override;
    using ByteLine::waitReadable;
    [[nodiscard]] bool lost() const override { return !isOpen(); }
    [[nodiscard]] TimePoint now() const override { return now_; }
    [[nodiscard]] LinkFacts facts() const override;
    [[nodiscard]] QString errorString() const override { return QStringLiteral("the adapter was unplugged"); }

    // Bytes that reach the master at `at` (never before now); `from` is the index of the
    // request they answer, or NOISE or ECHO.
    void arrive(TimePoint at, const QByteArray& bytes, int from);
    // The adapter goes away at `at` and can be opened again from `back` (none: never).
    void unplug(TimePoint at, std::optional<TimePoint> back);
    // The same, on the clock's nanoseconds (backNs -1: never).
    void arrive(qint64 atNs, const QByteArray& bytes, int from) {
        arrive(TimePoint(Nanos(atNs)), bytes, from);
    }
    void unplug(qint64 atNs, qint64 backNs) {
        unplug(TimePoint(Nanos(atNs)), backNs < 0 ? std::nullopt : std::optional(TimePoint(Nanos(backNs))));
    }
    // An adapter that hears its own transmission.
    void setEcho(bool echo) { echo_ = echo; }
    [[nodiscard]] bool echoes() const { return echo_; }
    // Told of each request as it is written, by its index in writes().
    std::function<void(int index)> onWrite;

    struct Written {
        qint64 ns = 0; // write() returned
        QByteArray bytes;
        qint64 quietNs = 0; // since the last byte that had reached the master
    };
    struct Arrival {
        qint64 ns = 0;
        QByteArray bytes;
        int from = NOISE;
    };
    [[nodiscard]] const std::vector<Written>& writes() const { return writes_; }
    // What reached the master, in order; bytes that came while it was unplugged are not here.
    [[nodiscard]] const std::vector<Arrival>& delivered() const { return delivered_; }
    [[nodiscard]] int baud() const { return baud_; }
    // Times it was opened again: a network link's connections after its first.
    [[nodiscard]] int reopens() const { return reopens_; }
    // The time the line takes for `bytes` characters.
    [[nodiscard]] Nanos wire(int bytes) const;
    [[nodiscard]] qint64 wireNs(int bytes) const { return wire(bytes).count(); }

private:
    void deliverDue();
    // Unplugged at `t`: from the unplug until it is back.
    [[nodiscard]] bool awayAt(TimePoint t) const {
        return unplug_ && t >= *unplug_ && (!back_ || t < *back_);
    }

    int baud_;
    bool open_ = true;
    bool echo_ = false;
    int reopens_ = 0;
    TimePoint now_{};
    std::optional<TimePoint> unplug_;
    std::optional<TimePoint> back_;
    TimePoint lastArrival_ = TimePoint(-std::chrono::seconds(1));
    std::multimap<TimePoint, Arrival> scheduled_;
    std::vector<Arrival> delivered_;
    QByteArray waiting_; // delivered, not yet taken
    std::vector<Written> writes_;
};

} // namespace kv::fake
