#pragma once
// The requests whose reply may still come, and what a device may owe from before the run: the
// one state the line discipline keeps from one exchange to the next (docs/development.md, "The
// line discipline"). Held per device as runs of requests that draw alike, oldest first; the
// address read, which any device may answer, is held for every device.

#include "sensor/protocol.h"
#include "serial/linetime.h"

#include <QByteArray>

#include <bitset>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>

namespace kv::line {

// A reply later than this after its request is not guarded against.
inline constexpr Millis FORGET_AFTER{30000};
// Runs held for one device; a device with this many takes no request until they expire.
inline constexpr int MAX_RUNS = 32;
// The counts of the reads that resynchronise: registers 0..k-1 of a sensor that holds 0..8,
// counts the command line's own reads (1 and 2) never use.
inline constexpr int SYNC_FIRST_COUNT = 3;
inline constexpr int SYNC_LAST_COUNT = 9;

class PendingReplies {
public:
    explicit PendingReplies(Nanos forgetAfter = FORGET_AFTER);

    // A request whose reply may still come.
    void add(const sensor::Expectation& request, TimePoint now);
    // Whether a request held for the frame's sender could have drawn it; with
    // addressReads false, an address read held does not count (its answers all say the same).
    [[nodiscard]] bool couldProduce(const QByteArray& frame, TimePoint now, bool addressReads = true);
    // A sound frame heard: the oldest held request of its sender that could have drawn it is
    // answered, with all held before it. False when none could have (a frame no request of
    // ours drew, as far as the line knows).
    bool settle(const QByteArray& frame, TimePoint now);
    // The device answered a request sent after all it holds: nothing of it is pending.
    void clear(std::uint8_t address, TimePoint now);
    // Whether a held request could draw a sound answer `request` would take: it must not be
    // sent before a resynchronising read settles those.
    [[nodiscard]] bool blocks(const sensor::Expectation& request, TimePoint now);
    // The count of the read of registers 0..k-1 whose answer settles everything that blocks
    // `request`: one no held request draws, or one whose oldest held read comes after the
    // last that blocks (reused so that a silent device does not use them all up). 0: none.
    [[nodiscard]] int syncCount(const sensor::Expectation& request, TimePoint now);
    // The count of a wider read of the same registers (a read of registers start'..start'+k-1
    // that covers the request's) whose answer nothing held could draw. 0: none.
    [[nodiscard]] int widerCount(const sensor::Expectation& request, TimePoint now);
    // After a change of rate: whatever was on its way at the old rate arrives as noise. What
    // an earlier run may have left stays unknown.
    void forgetAll();

    // Nothing is known of what was asked before now (an earlier run, another master): each
    // device may still owe replies of any shape until one of its answers is trusted (clear)
    // or FORGET_AFTER has passed.
    void pastUnknown(TimePoint now);
    [[nodiscard]] bool pastLive(std::uint8_t address, TimePoint now) const;
    // Whether a request of this run is held for the device.
    [[nodiscard]] bool holdsFor(std::uint8_t address, TimePoint now);
    // Requests held for every device.
    [[nodiscard]] int size() const;

private:
    struct Run {
        sensor::Expectation request;
        int count = 1;
        TimePoint newest;
    };
    struct Device {
        std::deque<Run> runs;
        quint64 anyoneSeen = 0; // the address reads already held here
        // Set when a request found MAX_RUNS held: nothing from the device is trusted, and
        // nothing sent to it, until this is FORGET_AFTER old.
        std::optional<TimePoint> fullSince;
    };
    // The device's runs, with address reads held since its last look added and the
    // expired ones gone.
    Device& device(std::uint8_t address, TimePoint now);
    void append(Device& d, const sensor::Expectation& request, int count, TimePoint at);
    [[nodiscard]] int countNoneHolds(const sensor::Expectation& request, TimePoint now, int first, int last,
                                     bool unusedOnly);

    std::map<std::uint8_t, Device> devices_;
    struct AnyoneRun {
        Run run;
        quint64 seq = 0;
    };
    std::deque<AnyoneRun> anyone_; // address reads, held for every device
    quint64 seq_ = 0;
    Nanos forgetAfter_;
    TimePoint pastUntil_ = TimePoint::min();
    std::bitset<256> pastSettled_;
};

} // namespace kv::line
