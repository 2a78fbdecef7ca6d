#pragma once
// The requests whose reply may still come, and what a device may owe from before the run: the
// one state the line discipline keeps from one exchange to the next (docs/development.md, "The
// line discipline"). Held per device as runs of requests that draw alike, oldest first; the
// address read, which any device may answer, is held for every device.

#include "sensor/protocol.h"

#include <QByteArray>

#include <bitset>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>

namespace kv::line {

// A reply later than this after its request is not guarded against.
inline constexpr qint64 FORGET_AFTER_MS = 30000;
// Runs held for one device; a device with this many takes no request until they expire.
inline constexpr int MAX_RUNS = 32;
// The counts of the reads that resynchronise: registers 0..k-1 of a sensor that holds 0..8,
// counts the command line's own reads (1 and 2) never use.
inline constexpr int SYNC_FIRST_COUNT = 3;
inline constexpr int SYNC_LAST_COUNT = 9;

class PendingReplies {
public:
    explicit PendingReplies(qint64 forgetAfterNs = FORGET_AFTER_MS * 1000000);

    // A request whose reply may still come.
    void add(const sensor::Expectation& request, qint64 nowNs);
    // Whether a request held for the frame's sender could have drawn it; with
    // addressReads false, an address read held does not count (its answers all say the same).
    [[nodiscard]] bool couldProduce(const QByteArray& frame, qint64 nowNs, bool addressReads = true);
    // A sound frame heard: the oldest held request of its sender that could have drawn it is
    // answered, with all held before it. False when none could have (a frame no request of
    // ours drew, as far as the line knows).
    bool settle(const QByteArray& frame, qint64 nowNs);
    // The device answered a request sent after all it holds: nothing of it is pending.
    void clear(std::uint8_t address, qint64 nowNs);
    // Whether a held request could draw a sound answer `request` would take: it must not be
    // sent before a resynchronising read settles those.
    [[nodiscard]] bool blocks(const sensor::Expectation& request, qint64 nowNs);
    // The count of the read of registers 0..k-1 whose answer settles everything that blocks
    // `request`: one no held request draws, or one whose oldest held read comes after the
    // last that blocks (reused so that a silent device does not use them all up). 0: none.
    [[nodiscard]] int syncCount(const sensor::Expectation& request, qint64 nowNs);
    // The count of a wider read of the same registers (a read of registers start'..start'+k-1
    // that covers the request's) whose answer nothing held could draw. 0: none.
    [[nodiscard]] int widerCount(const sensor::Expectation& request, qint64 nowNs);
    // After a change of rate: whatever was on its way at the old rate arrives as noise. What
    // an earlier run may have left stays unknown.
    void forgetAll();

    // Nothing is known of what was asked before nowNs (an earlier run, another master): each
    // device may still owe replies of any shape until one of its answers is trusted (clear)
    // or FORGET_AFTER_MS has passed.
    void pastUnknown(qint64 nowNs);
    [[nodiscard]] bool pastLive(std::uint8_t address, qint64 nowNs) const;
    // Whether a request of this run is held for the device.
    [[nodiscard]] bool holdsFor(std::uint8_t address, qint64 nowNs);
    // Requests held for every device.
    [[nodiscard]] int size() const;

private:
    struct Run {
        sensor::Expectation request;
        int count = 1;
        qint64 newestNs = 0;
    };
    struct Device {
        std::deque<Run> runs;
        quint64 anyoneSeen = 0; // the address reads already held here
        // Set when a request found MAX_RUNS held: nothing from the device is trusted, and
        // nothing sent to it, until this is FORGET_AFTER_MS old.
        qint64 fullSinceNs = -1;
    };
    // The device's runs, with address reads held since its last look added and the
    // expired ones gone.
    Device& device(std::uint8_t address, qint64 nowNs);
    void append(Device& d, const sensor::Expectation& request, int count, qint64 atNs);
    [[nodiscard]] int countNoneHolds(const sensor::Expectation& request, qint64 nowNs, int first, int last,
                                     bool unusedOnly);

    std::map<std::uint8_t, Device> devices_;
    struct AnyoneRun {
        Run run;
        quint64 seq = 0;
    };
    std::deque<AnyoneRun> anyone_; // address reads, held for every device
    quint64 seq_ = 0;
    qint64 forgetAfterNs_;
    qint64 pastUntilNs_ = std::numeric_limits<qint64>::min();
    std::bitset<256> pastSettled_;
};

} // namespace kv::line
