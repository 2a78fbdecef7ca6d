#include "cli/counts.h"

namespace kv::cli {

void Counters::add(const line::Tally& t, bool withLate) {
    requests += t.requests;
    replies += t.replies;
    timeouts += t.timeouts;
    crcErrors += t.crcErrors;
    exceptions += t.exceptions;
    badReplies += t.badReplies;
    lost += t.lost;
    retries += t.retries;
    syncs += t.syncs;
    if (!withLate) return;
    late += t.lateTotal();
    noise += t.noise;
}

void countMeasurement(std::vector<SensorSummary>& sensors, SensorSummary& sensor, const line::Exchange& r) {
    // The request's own counts are its sensor's; a late reply is its sender's.
    sensor.stats.add(r.tally, false);
    for (const auto& [from, n] : r.tally.late)
        for (SensorSummary& other : sensors)
            if (other.address == from) other.stats.late += n;
    if (r.ok() && r.latencyMs) sensor.stats.latenciesMs.push_back(*r.latencyMs);
}

} // namespace kv::cli
