#include "line/pending.h"

#include <algorithm>

namespace kv::line {

PendingReplies::PendingReplies(Nanos forgetAfter) : forgetAfter_(forgetAfter) {}

PendingReplies::Device& PendingReplies::device(std::uint8_t address, TimePoint now) {
    Device& d = devices_[address];
    while (!anyone_.empty() && anyone_.front().run.newest + forgetAfter_ < now)
        anyone_.pop_front();
    // Address reads held since the device's last look are newer than all it holds.
    for (const AnyoneRun& a : anyone_)
        if (a.seq > d.anyoneSeen) append(d, a.run.request, a.run.count, a.run.newest);
    d.anyoneSeen = seq_;
    // Runs are in the order their requests went out, so the oldest expire first.
    while (!d.runs.empty() && d.runs.front().newest + forgetAfter_ < now)
        d.runs.pop_front();
    if (d.fullSince && *d.fullSince + forgetAfter_ < now) d.fullSince.reset();
    return d;
}

void PendingReplies::append(Device& d, const sensor::Expectation& request, int count, TimePoint at) {
    if (!d.runs.empty() && sensor::sameAnswers(d.runs.back().request, request) &&
        d.runs.back().request.anyAddress == request.anyAddress) {
        d.runs.back().count += count;
        d.runs.back().newest = std::max(d.runs.back().newest, at);
        return;
    }
    if (static_cast<int>(d.runs.size()) >= MAX_RUNS) {
        d.fullSince = at;
        return;
    }
    d.runs.push_back({request, count, at});
}

void PendingReplies::add(const sensor::Expectation& request, TimePoint now) {
    if (request.anyAddress) {
        if (!anyone_.empty() && anyone_.back().run.request.request == request.request) {
            ++anyone_.back().run.count;
            anyone_.back().run.newest = now;
            anyone_.back().seq = ++seq_; // devices that held the run before hold it once more
        } else {
            anyone_.push_back({{request, 1, now}, ++seq_});
        }
        return;
    }
    append(device(request.address, now), request, 1, now);
}

bool PendingReplies::couldProduce(const QByteArray& frame, TimePoint now, bool addressReads) {
    if (frame.isEmpty()) return false;
    const Device& d = device(sensor::senderOf(frame), now);
    if (d.fullSince) return true;
    return std::any_of(d.runs.begin(), d.runs.end(), [&](const Run& r) {
        return (addressReads || !r.request.anyAddress) && sensor::couldAnswer(frame, r.request);
    });
}

bool PendingReplies::settle(const QByteArray& frame, TimePoint now) {
    if (frame.isEmpty()) return false;
    Device& d = device(sensor::senderOf(frame), now);
    const auto it = std::find_if(d.runs.begin(), d.runs.end(),
                                 [&](const Run& r) { return sensor::couldAnswer(frame, r.request); });
    if (it == d.runs.end()) return false;
    const bool last = --it->count == 0;
    d.runs.erase(d.runs.begin(), last ? it + 1 : it);
    return true;
}

void PendingReplies::clear(std::uint8_t address, TimePoint now) {
    device(address, now).runs.clear();
    pastSettled_.set(address);
}

void PendingReplies::pastUnknown(TimePoint now) {
    pastUntil_ = now + forgetAfter_;
    pastSettled_.reset();
}

bool PendingReplies::pastLive(std::uint8_t address, TimePoint now) const {
    return now < pastUntil_ && !pastSettled_.test(address);
}

bool PendingReplies::holdsFor(std::uint8_t address, TimePoint now) {
    const Device& d = device(address, now);
    return d.fullSince || !d.runs.empty();
}

bool PendingReplies::blocks(const sensor::Expectation& request, TimePoint now) {
    if (request.anyAddress) return false; // judged frame by frame: see couldProduce
    const Device& d = device(request.address, now);
    return d.fullSince || std::any_of(d.runs.begin(), d.runs.end(),
                                      [&](const Run& r) { return sensor::sameAnswers(r.request, request); });
}

int PendingReplies::syncCount(const sensor::Expectation& request, TimePoint now) {
    return countNoneHolds(request, now, SYNC_FIRST_COUNT, SYNC_LAST_COUNT, false);
}

int PendingReplies::widerCount(const sensor::Expectation& request, TimePoint now) {
    // Only the registers the sensor holds (0..8) can be read wider.
    if (request.kind != sensor::ReplyKind::Read || request.anyAddress ||
        request.request[1] != MODBUS_FC_READ_HOLDING_REGISTERS || request.count < 1 ||
        request.start + request.count > SYNC_LAST_COUNT)
        return 0;
    // Its answer is taken for the request's, so no held request may share its count at all.
    return countNoneHolds(request, now, request.count + 1, SYNC_LAST_COUNT, true);
}

int PendingReplies::countNoneHolds(const sensor::Expectation& request, TimePoint now, int firstCount,
                                   int lastCount, bool unusedOnly) {
    const Device& d = device(request.address, now);
    if (d.fullSince) return 0;
    const int n = static_cast<int>(d.runs.size());
    int lastBlocking = -1;
    for (int i = 0; i < n; ++i)
        if (sensor::sameAnswers(d.runs[static_cast<std::size_t>(i)].request, request)) lastBlocking = i;
    int unused = 0;
    int usable = 0;
    for (int k = firstCount; k <= lastCount; ++k) {
        const auto probe =
            sensor::expectRead(sensor::readRequest(request.address, 0, static_cast<std::uint16_t>(k)));
        if (sensor::sameAnswers(probe, request)) continue;
        int first = -1;
        for (int i = 0; i < n && first < 0; ++i)
            if (sensor::sameAnswers(d.runs[static_cast<std::size_t>(i)].request, probe)) first = i;
        if (first >= 0 && first <= lastBlocking) continue;
        // The last run's count again keeps a silent device's runs from growing.
        if (!unusedOnly && n > 0 && sensor::sameAnswers(d.runs.back().request, probe)) return k;
        if (first < 0 && unused == 0) unused = k;
        if (usable == 0) usable = k;
    }
    return unused != 0 || unusedOnly ? unused : usable;
}

void PendingReplies::forgetAll() {
    devices_.clear();
    anyone_.clear();
}

int PendingReplies::size() const {
    int held = 0;
    for (const auto& [address, d] : devices_)
        for (const Run& r : d.runs)
            held += r.count;
    for (const AnyoneRun& a : anyone_)
        held += a.run.count;
    return held;
}

} // namespace kv::line
