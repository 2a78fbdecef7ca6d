#pragma once
// The counts of a run and of each sensor in it: the sum of the tallies its requests brought,
// and what became of the link meanwhile.

#include "line/discipline.h"

#include <vector>

namespace kv::poll {

// The counts apart from the latencies, so that they can be looked at cheaply.
struct Counters : line::Tally {
    int outages = 0;   // times the port went away during a run
    double lostMs = 0; // time without the port
    // Network connections made anew without a measurement lost: after the other end ended
    // one between requests, and after requests in a row went unanswered.
    int reconnectsEnded = 0;
    int reconnectsUnanswered = 0;
    int implausible = 0; // measurements whose values the sensor cannot report
};

struct Stats : Counters {
    std::vector<double> latenciesMs; // of good replies

    // A request's tally, and its latency when it was answered.
    void add(const line::Exchange& r);
    using line::Tally::operator+=;
    Stats& operator+=(const Stats& other);
};

// A stretch in which a sensor was not heard: from its last sound reply (or the run's start)
// to its next, with at least one measurement unanswered between. Times on the line's clock.
struct Silence {
    qint64 fromNs = 0;
    qint64 ns = 0;
    int unanswered = 0;
    bool untilTheEnd = false; // the run ended before the sensor answered again
};

// One sensor of a bus: its share of the run's counts.
struct SensorSummary {
    int address = 0;
    Stats stats;
    int measurements = 0;
    int failed = 0;
    qint64 lastHeardNs = 0; // its last sound reply, or the run's start
    int unanswered = 0;     // measurements since
    Silence longestSilence; // ns 0: none

    // A sound reply came at atNs, or a measurement went unanswered.
    void heard(qint64 atNs);
    void notHeard() { ++unanswered; }
    // The run ends at nowNs: a silence still going counts to there.
    void end(qint64 nowNs);
};

// A measurement's counts added to its sensor's, its late replies to their senders', and its
// reply (or none) to the sensor's silences.
void countMeasurement(std::vector<SensorSummary>& sensors, SensorSummary& sensor, const line::Exchange& r);

} // namespace kv::poll
