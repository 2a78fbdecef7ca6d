#pragma once
// The counts of a run and of each sensor in it: the sum of the tallies its requests brought.

#include "line/discipline.h"

#include <vector>

namespace kv::cli {

// The counts apart from the latencies, so that they can be looked at cheaply.
struct Counters {
    int requests = 0;
    int replies = 0;
    int timeouts = 0;
    int crcErrors = 0;
    int exceptions = 0;
    int badReplies = 0;
    int lost = 0; // requests the port went away under
    int retries = 0;
    int late = 0;      // late replies: sound frames that answered nothing asked
    int noise = 0;     // bursts of bytes that were no sound frame
    int syncs = 0;     // resynchronising reads sent besides the requests
    int outages = 0;   // times the port went away during a run
    double lostMs = 0; // time without the port
    // Network connections made anew without a measurement lost: after the other end ended
    // one between requests, and after requests in a row went unanswered.
    int reconnectsEnded = 0;
    int reconnectsUnanswered = 0;
    int implausible = 0; // measurements whose values the sensor cannot report

    // Adds a request's tally; its late replies too unless they are counted by sender.
    void add(const line::Tally& t, bool withLate = true);
};

struct Stats : Counters {
    std::vector<double> latenciesMs; // of good replies
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

} // namespace kv::cli
