#include "collect/drain.h"

#include "collect/spool.h"

#include <QDateTime>

#include <algorithm>
#include <chrono>

namespace kv::collect {

Pace::Pace(int perSecond, int batchMax)
    : perSecond_(std::max(1, perSecond)), batchMax_(std::max(1, batchMax)) {}

void Pace::failed(qint64 now) {
    retryAt_ = now + backoff_;
    backoff_ = std::min(backoff_ * 2, MAX_BACKOFF_MS);
    failing_ = true;
}

void Pace::succeeded() {
    backoff_ = FIRST_BACKOFF_MS;
    failing_ = false;
}

int Pace::backlogRoom(qint64 now) const {
    if (now < backlogAt_) return 0;
    // A second's worth at most, so that the pace holds within every second, not on average.
    return std::min(batchMax_, perSecond_);
}

void Pace::sentBacklog(int n, qint64 now) {
    // Rounded up: the pace is a bound, never exceeded.
    backlogAt_ = now + (qint64{n} * 1000 + perSecond_ - 1) / perSecond_;
}

qint64 Drain::steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Drain::Drain(Spool& spool, const std::vector<Forwarder*>& forwarders, int drainPerSecond, int batchMax,
             Clock clock, QObject* parent)
    : QObject(parent), spool_(spool), clock_(std::move(clock)) {
    lastSeq_ = spool_.status().lastSeq;
    lanes_.reserve(forwarders.size());
    for (Forwarder* f : forwarders)
        lanes_.push_back({f, Pace(drainPerSecond, batchMax), {}, lastSeq_, true});
    for (size_t i = 0; i < lanes_.size(); ++i) {
        Forwarder* f = lanes_[i].forwarder;
        connect(f, &Forwarder::acknowledged, this, [this, i] { answered(lanes_[i], nullptr); });
        connect(f, &Forwarder::failed, this, [this, i](const QString& why) { answered(lanes_[i], &why); });
        connect(f, &Forwarder::ready, this, &Drain::wake);
    }
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] {
        const qint64 now = clock_();
        const qint64 next = pump(now);
        if (next >= 0 && !stopped_)
            timer_.start(static_cast<int>(std::clamp<qint64>(next - now, 0, 3600000)));
    });
    wake();
}

void Drain::wake() {
    if (!stopped_) timer_.start(0);
}

void Drain::appended(const std::vector<Record>& records) {
    if (records.empty()) return;
    lastSeq_ = std::max(lastSeq_, records.back().seq);
    for (Lane& lane : lanes_) {
        // Away (failing, or not connected with nothing outstanding): these wait as backlog.
        if (lane.pace.failing() || (lane.outstanding.empty() && !lane.forwarder->canSend())) {
            lane.liveFrom = lastSeq_;
            lane.backlogLeft = true;
        }
    }
    wake();
}

void Drain::stop() {
    stopped_ = true;
    timer_.stop();
}

bool Drain::idle() const {
    return std::all_of(lanes_.begin(), lanes_.end(), [](const Lane& l) { return l.outstanding.empty(); });
}

qint64 Drain::pump(qint64 now) {
    qint64 next = -1;
    const auto at = [&next](qint64 t) { next = next < 0 ? t : std::min(next, t); };
    for (Lane& lane : lanes_) {
        if (stopped_ || !lane.outstanding.empty()) continue;
        if (lane.pace.backingOff(now)) {
            at(lane.pace.retryAt());
            continue;
        }
        if (!lane.forwarder->canSend()) continue; // ready() wakes the drain
        const QString name = lane.forwarder->name();
        std::vector<Record> live = spool_.pending(name, lane.pace.batchMax(), lane.liveFrom);
        if (!live.empty()) {
            send(lane, std::move(live));
            continue;
        }
        if (!lane.backlogLeft) continue;
        const int room = lane.pace.backlogRoom(now);
        if (room == 0) {
            at(lane.pace.backlogAt());
            continue;
        }
        std::vector<Record> backlog = spool_.pending(name, room, 0);
        lane.backlogLeft = static_cast<int>(backlog.size()) == room;
        if (backlog.empty()) continue;
        lane.pace.sentBacklog(static_cast<int>(backlog.size()), now);
        send(lane, std::move(backlog));
    }
    return next;
}

void Drain::send(Lane& lane, std::vector<Record> batch) {
    lane.outstanding.clear();
    for (const Record& r : batch)
        lane.outstanding.push_back(r.seq);
    lane.forwarder->send(std::move(batch));
}

void Drain::answered(Lane& lane, const QString* failure) {
    if (lane.outstanding.empty()) return; // an answer to nothing sent
    const std::vector<qint64> batch = std::move(lane.outstanding);
    lane.outstanding.clear();
    const QString name = lane.forwarder->name();
    if (failure) {
        spool_.noteError(name, *failure, QDateTime::currentMSecsSinceEpoch());
        lane.pace.failed(clock_());
        // What it owes now, the failed batch included, goes back at the backlog's pace.
        lane.liveFrom = lastSeq_;
        lane.backlogLeft = true;
        emit error(name, *failure);
    } else {
        lane.pace.succeeded();
        QString why;
        // Not marked, the batch goes again: the destinations take a reading twice without harm.
        if (!spool_.acknowledge(name, batch, &why)) {
            // Paced as backlog, so that a broken disk does not loop batches through the forwarder.
            lane.liveFrom = lastSeq_;
            lane.backlogLeft = true;
            emit error(name, QStringLiteral("the spool did not take the acknowledgement: %1").arg(why));
        } else
            emit sent(name, static_cast<int>(batch.size()));
    }
    wake();
}

} // namespace kv::collect
