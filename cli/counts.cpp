#include "cli/counts.h"

#include "line/clock.h"

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
    if (r.ok() && r.latency) sensor.stats.latenciesMs.push_back(msOf(*r.latency));
    // Noise heard while a sensor was asked is its line's; it may have caused the failure.
    sensor.stats.noise += r.tally.noise;
    if (r.ok() || r.outcome == line::Outcome::Exception)
        sensor.heard(line::nsAt(r.replyAt));
    else if (r.outcome != line::Outcome::Stopped)
        sensor.notHeard();
}

void SensorSummary::heard(qint64 atNs) {
    if (unanswered > 0 && atNs - lastHeardNs > longestSilence.ns)
        longestSilence = {lastHeardNs, atNs - lastHeardNs, unanswered, false};
    lastHeardNs = atNs;
    unanswered = 0;
}

void SensorSummary::end(qint64 nowNs) {
    if (unanswered > 0 && nowNs - lastHeardNs > longestSilence.ns)
        longestSilence = {lastHeardNs, nowNs - lastHeardNs, unanswered, true};
}

} // namespace kv::cli
