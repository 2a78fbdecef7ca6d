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

    // Adds a request's tally; its late replies too unless they are counted by sender.
    void add(const line::Tally& t, bool withLate = true);
};

struct Stats : Counters {
    std::vector<double> latenciesMs; // of good replies
};

// One sensor of a bus: its share of the run's counts.
struct SensorSummary {
    int address = 0;
    Stats stats;
    int measurements = 0;
    int failed = 0;
};

// A measurement's counts added to its sensor's, and its late replies to their senders'.
void countMeasurement(std::vector<SensorSummary>& sensors, SensorSummary& sensor, const line::Exchange& r);

} // namespace kv::cli
