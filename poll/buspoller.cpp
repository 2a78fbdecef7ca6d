#include "poll/buspoller.h"

#include "line/clock.h"

#include "sensor/plausibility.h"

#include <algorithm>

namespace kv::poll {

BusPoller::BusPoller(line::Discipline& discipline, ByteLine& line, Schedule schedule, Hooks hooks)
    : d_(discipline), line_(line), schedule_(std::move(schedule)), hooks_(std::move(hooks)) {
    for (int a : schedule_.addresses) {
        sensors_.emplace_back().address = a;
        sensors_.back().lastHeardNs = line_.nowNs();
    }
    next_ = sensors_.size();
}

void BusPoller::tick(TimePoint now) {
    for (;;) {
        if (asking_) {
            if (const QByteArray got = line_.take(); !got.isEmpty())
                d_.onBytes(got, now);
            else if (line_.lost())
                d_.onLost();
            else if (now >= d_.deadline())
                d_.onDeadline(now);
            else
                return;
            if (d_.finished()) {
                asking_ = false;
                finished(now);
            }
            continue;
        }
        if (away_ && hooks_.reopen && now >= nextReopen_) {
            nextReopen_ = now + REOPEN_EVERY;
            if (hooks_.reopen(now - awaySince_)) back(now);
        }
        if (!away_ && !over_) {
            if (line_.lost()) {
                if (hooks_.awayWhenIdleLost) {
                    if (hooks_.lost(nullptr))
                        goAway(now);
                    else
                        over_ = true;
                }
            } else if (const QByteArray got = line_.take(); !got.isEmpty()) {
                // Between requests what comes is heard out as it comes, never kept for the next answer.
                d_.onBytes(got, now);
            }
        }
        if (over_ || !startNext(now)) return;
    }
}

TimePoint BusPoller::wake(TimePoint now) const {
    if (asking_) return d_.deadline();
    if (over_ || (next_ >= sensors_.size() && roundsOver())) return TimePoint::max();
    if (next_ < sensors_.size() || early()) return now;
    return away_ && hooks_.reopen ? std::min(due_, nextReopen_) : due_;
}

bool BusPoller::done() const {
    return !asking_ && (over_ || (roundsOver() && next_ >= sensors_.size()));
}

void BusPoller::stop(TimePoint now) {
    over_ = true;
    if (!asking_) return;
    d_.stop();
    asking_ = false;
    finished(now);
}

void BusPoller::back(TimePoint now) {
    d_.reopened();
    if (!away_) return;
    counts_.lostMs += static_cast<double>(wholeMs(now - awaySince_));
    away_ = false;
}

void BusPoller::end(TimePoint now) {
    if (away_) counts_.lostMs += static_cast<double>(wholeMs(now - awaySince_));
    if (!away_ && !asking_) countIdle(now);
    for (SensorSummary& sensor : sensors_)
        sensor.end(line::nsAt(now));
}

bool BusPoller::startNext(TimePoint now) {
    if (next_ >= sensors_.size()) {
        if (roundsOver() || (now < due_ && !early())) return false;
        if (!away_) countIdle(now);
        next_ = 0;
        ++round_;
        // While the link is away, a round at most every second (and at least every period).
        due_ = now + (away_ && schedule_.every.count() <= 0 ? schedule_.awayEvery : schedule_.every);
    }
    while (next_ < sensors_.size() && next_ < schedule_.everyRounds.size() &&
           schedule_.everyRounds[next_] > 1 && (round_ - 1) % schedule_.everyRounds[next_] != 0)
        ++next_;
    if (next_ >= sensors_.size()) return true;
    SensorSummary& sensor = sensors_[next_];
    if (away_) {
        ++next_;
        ++sensor.measurements;
        ++sensor.failed;
        sensor.notHeard();
        if (!hooks_.measured({sensor, nullptr, now})) over_ = true;
        return !over_;
    }
    const Frame frame = sensor::measurementRequest(static_cast<std::uint8_t>(sensor.address));
    line::Request request;
    request.bytes = toBytes(frame);
    request.expect = sensor::expectRead(frame);
    request.timeout = schedule_.timeout;
    request.quiet = schedule_.timeout;
    request.retries = schedule_.retries;
    d_.begin(request);
    asking_ = true;
    return true;
}

void BusPoller::finished(TimePoint now) {
    const line::Exchange& r = d_.result();
    SensorSummary& sensor = sensors_[next_++];
    countMeasurement(sensors_, sensor, r);
    counts_.add(r);
    if (r.outcome == line::Outcome::Stopped) {
        over_ = true;
        return;
    }
    ++sensor.measurements;
    // Values beyond what the sensor can report are kept, but never taken for a measurement.
    const bool implausible =
        r.ok() && !sensor::implausibility(r.reply.registers[0], r.reply.registers[1]).isEmpty();
    if (implausible) {
        ++counts_.implausible;
        ++sensor.stats.implausible;
    }
    if (!r.ok() || implausible) ++sensor.failed;
    const bool answered = r.ok() || r.outcome == line::Outcome::Exception;
    if (!hooks_.measured({sensor, &r, answered ? r.replyAt : now})) {
        over_ = true;
        return;
    }
    if (r.outcome != line::Outcome::Lost) return;
    if (hooks_.lost(&r))
        goAway(now);
    else
        over_ = true;
}

void BusPoller::goAway(TimePoint now) {
    away_ = true;
    awaySince_ = now;
    nextReopen_ = now + REOPEN_EVERY;
    ++counts_.outages;
}

void BusPoller::countIdle(TimePoint now) {
    d_.listen(Millis(0));
    d_.onDeadline(now);
    counts_ += d_.result().tally;
}

bool BusPoller::roundsOver() const {
    return schedule_.rounds > 0 && round_ >= schedule_.rounds;
}

} // namespace kv::poll
