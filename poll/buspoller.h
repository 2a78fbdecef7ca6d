#pragma once
// One bus as a run polls it: its sensors asked in turn each round, its rounds on a period, its
// counts, and the time its link was away. It does no waiting and no I/O of its own: whoever
// drives it calls tick() when the line has something or wake() has come, on any event loop,
// and it feeds the bus's line discipline. Many of them share one thread.

#include "line/discipline.h"
#include "poll/counts.h"
#include "serial/byteline.h"
#include "serial/linetime.h"

#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace kv::poll {

// How a bus is polled.
struct Schedule {
    std::vector<int> addresses;
    Millis every{0}; // a round's period; 0: as fast as replies come
    int rounds = 1;  // 0: until stopped
    // While the link is away, a round at least this often when there is no period.
    Millis awayEvery{1000};
    Millis timeout{1000};
    int retries = 2;
    // Per address, asked every so many rounds (a sensor on a longer period than its bus's); none
    // or 1: every round.
    std::vector<int> everyRounds;
};

// One measurement of a sensor, as the run writes it.
struct Measured {
    SensorSummary& sensor;
    // The discipline's account; none while the link is away.
    const line::Exchange* result = nullptr;
    TimePoint at; // its answer's last byte, or when it gave up
};

class BusPoller {
public:
    struct Hooks {
        // A measurement to write; false when the output refused it (the run is over).
        std::function<bool(const Measured&)> measured;
        // The link went away: under a request (`result` says how), or between requests
        // (none). True when the run rides it out, asking nothing until back() and writing
        // the rounds meanwhile as the link's; false ends this bus's rounds.
        std::function<bool(const line::Exchange*)> lost;
        // Opens the link again while it is away, about once a second; none: it comes back by
        // itself (back()).
        // It is told how long the link has been away.
        std::function<bool(Nanos away)> reopen;
        // Whether a round should start now, before its time (a DTU dialled in under this bus's
        // name: asking tells whether its connection lives); none: never.
        std::function<bool()> askNow;
        // Whether a link lost between requests is away at once (a DTU's connection), or only
        // when the next request finds it gone (a port, which may come back before).
        bool awayWhenIdleLost = false;
    };

    BusPoller(line::Discipline& discipline, ByteLine& line, Schedule schedule, Hooks hooks);

    // The line has something, or wake() came.
    void tick(TimePoint now);
    // When tick is due at the latest.
    [[nodiscard]] TimePoint wake(TimePoint now) const;
    // Its rounds are over (or it was ended), and no request is out.
    [[nodiscard]] bool done() const;
    // Ends its rounds: a request under way is given up at once.
    void stop(TimePoint now);

    // The link is back; its bytes of before are gone.
    void back(TimePoint now);
    [[nodiscard]] bool away() const { return away_; }
    // How long the present outage has lasted.
    [[nodiscard]] Nanos awayFor(TimePoint now) const { return away_ ? now - awaySince_ : Nanos{0}; }

    [[nodiscard]] std::vector<SensorSummary>& sensors() { return sensors_; }
    [[nodiscard]] const std::vector<SensorSummary>& sensors() const { return sensors_; }
    // Everything the bus's requests and the line between them brought, and its outages.
    [[nodiscard]] Stats& counts() { return counts_; }
    [[nodiscard]] const Stats& counts() const { return counts_; }
    // The run ends at `now`: what was heard since the last request and an outage still going count.
    void end(TimePoint now);

private:
    // False when nothing is to be asked now.
    bool startNext(TimePoint now);
    void finished(TimePoint now);
    void goAway(TimePoint now);
    // What was heard while no request was out, into the bus's counts.
    void countIdle(TimePoint now);
    [[nodiscard]] bool roundsOver() const;
    [[nodiscard]] bool early() const { return hooks_.askNow && hooks_.askNow(); }

    line::Discipline& d_;
    ByteLine& line_;
    Schedule schedule_;
    Hooks hooks_;
    std::vector<SensorSummary> sensors_;
    Stats counts_;
    int round_ = 0;        // rounds begun
    std::size_t next_ = 0; // the sensor asked next; sensors_.size() between rounds
    TimePoint due_{};      // when the next round starts
    bool asking_ = false;
    bool over_ = false;
    bool away_ = false;
    TimePoint awaySince_{};
    TimePoint nextReopen_{};
};

// Between tries to open a link that went away.
inline constexpr Millis REOPEN_EVERY{1000};


} // namespace kv::poll
