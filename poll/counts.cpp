#include "poll/counts.h"

#include "line/clock.h"

namespace kv::poll {

void Stats::add(const line::Exchange& r) {
    *this += r.tally;
    if (r.ok() && r.latency) latenciesMs.push_back(msOf(*r.latency));
}

Stats& Stats::operator+=(const Stats& o) {
    line::Tally::operator+=(o);
    outages += o.outages;
    lostMs += o.lostMs;
    reconnectsEnded += o.reconnectsEnded;
    reconnectsUnanswered += o.reconnectsUnanswered;
    implausible += o.implausible;
    latenciesMs.insert(latenciesMs.end(), o.latenciesMs.begin(), o.latenciesMs.end());
    return *this;
}

void countMeasurement(std::vector<SensorSummary>& sensors, SensorSummary& sensor, const line::Exchange& r) {
    // The request's own counts are its sensor's; a late reply is its sender's.
    line::Tally own = r.tally;
    own.late.clear();
    sensor.stats += own;
    for (const auto& [from, n] : r.tally.late)
        for (SensorSummary& other : sensors)
            if (other.address == from)
                for (int i = 0; i < n; ++i)
                    other.stats.addLate(from);
    if (r.ok() && r.latency) sensor.stats.latenciesMs.push_back(msOf(*r.latency));
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

} // namespace kv::poll
