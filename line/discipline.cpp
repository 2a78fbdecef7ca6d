#include "line/discipline.h"

#include "line/answerrule.h"

#include <algorithm>

namespace kv::line {
namespace {

using Verdict = LineEvent::Verdict;
using Direction = LineEvent::Direction;

constexpr Millis kStopSlice{50};

} // namespace

Discipline::Discipline(ByteLine& line) : wire_(line) {
    // Replies from a link that pairs them with requests can never be an earlier run's.
    if (!wire_.matched()) wire_.pending.pastUnknown(wire_.now());
}

void Discipline::rateChanged() {
    wire_.pending.forgetAll();
    wire_.reader.clear();
}

// ---- starting ---------------------------------------------------------------------------------

void Discipline::begin(const Request& request) {
    const TimePoint now = fresh(request);
    rule_ = &ruleFor(req_);
    ex_.timeout = req_.timeout;
    ex_.address = req_.expect.address;
    wire_.attempt = 0;
    startAttempt(now);
}

void Discipline::listen(Millis duration) {
    const TimePoint now = fresh(Request{});
    state_ = State::Listening;
    listenUntil_ = now + duration;
}

TimePoint Discipline::fresh(const Request& request) {
    // What waits on the line came before this request: late replies, which may settle what
    // the request would otherwise have to be told apart from, or noise.
    const TimePoint now = wire_.now();
    state_ = State::Finished;
    onBytes(wire_.line.take(), now);
    req_ = request;
    ex_ = Exchange{};
    ex_.tally = std::exchange(idle_, Tally{});
    wire_.asked = req_.expect.address;
    return now;
}

void Discipline::startAttempt(TimePoint now) {
    ex_.reply = {};
    if (!rule_->blocked(wire_.pending, req_.expect, now)) {
        startTry(Attempt::Kind::Request, req_.bytes, req_.expect, now);
        return;
    }
    // One exchange per try: a wider read of the same registers, whose answer's length nothing
    // held shares, stands for the request itself.
    if (const int wide = widerReads_ ? wire_.pending.widerCount(req_.expect, now) : 0; wide > 0) {
        const int start = std::min<int>(req_.expect.start, SYNC_LAST_COUNT - wide);
        const Frame wider = sensor::readRequest(req_.expect.address, static_cast<std::uint16_t>(start),
                                                static_cast<std::uint16_t>(wide), req_.expect.request[1]);
        startTry(Attempt::Kind::Request, toBytes(wider), sensor::expectRead(wider), now);
        return;
    }
    const int k = wire_.pending.syncCount(req_.expect, now);
    if (k == 0) {
        wire_.tell(Direction::Ended, Verdict::Busy, now);
        finish(Outcome::Busy, Failure::CannotResync);
        return;
    }
    const Frame probe = sensor::readRequest(req_.expect.address, 0, static_cast<std::uint16_t>(k));
    startTry(Attempt::Kind::Sync, toBytes(probe), sensor::expectRead(probe), now);
}

void Discipline::startTry(Attempt::Kind kind, QByteArray bytes, const sensor::Expectation& expect,
                          TimePoint now) {
    try_.emplace(wire_, *rule_, req_, ex_.tally, kind, std::move(bytes), expect, now);
    state_ = State::Asking;
}

// ---- events -----------------------------------------------------------------------------------

void Discipline::onBytes(const QByteArray& bytes, TimePoint at) {
    if (bytes.isEmpty()) return;
    wire_.reader.feed(bytes);
    wire_.lastHeard = at;
    switch (state_) {
    case State::Finished:
        hearIdle(at, idle_);
        return;
    case State::Listening:
        hearIdle(at, ex_.tally);
        return;
    case State::Asking:
        // A try that ends leaves what follows to the next.
        do {
            try_->heard(at);
            if (!try_->done()) return;
            tryEnded();
        } while (state_ == State::Asking);
        return;
    }
}

void Discipline::hearIdle(TimePoint at, Tally& counts) {
    FrameReader& reader = wire_.reader;
    for (;;) {
        const FrameReader::Cut c = reader.cut();
        if (c.kind == FrameReader::Cut::NeedMore) return;
        if (c.kind == FrameReader::Cut::Noise) {
            wire_.noise(reader.take(c.length), counts);
            continue;
        }
        wire_.noiseOpen = false;
        wire_.late(reader.take(c.length), at, Verdict::Late, counts);
    }
}

void Discipline::onDeadline(TimePoint now) {
    switch (state_) {
    case State::Listening:
        if (now >= listenUntil_) finish(Outcome::Timeout, Failure::None);
        return;
    case State::Asking:
        try_->onDeadline(now);
        if (try_->done()) tryEnded();
        return;
    case State::Finished:
        return;
    }
}

void Discipline::onLost() {
    if (finished()) return;
    const TimePoint now = wire_.now();
    if (state_ == State::Asking) {
        abandon(now);
        if (try_->sent()) countTry(Outcome::Lost, Failure::Lost);
    }
    wire_.reader.clear();
    wire_.tell(Direction::Ended, Verdict::Lost, now);
    ex_.lineError = wire_.line.errorString();
    finish(Outcome::Lost, Failure::Lost);
}

void Discipline::stop() {
    if (finished()) return;
    const TimePoint now = wire_.now();
    if (state_ == State::Asking) abandon(now);
    // Given up by the operator, not by the line: the try is not counted.
    wire_.tell(Direction::Ended, Verdict::Stopped, now);
    finish(Outcome::Stopped, Failure::Stopped);
}

void Discipline::abandon(TimePoint now) {
    try_->abandon(now);
    account(try_->end());
}

TimePoint Discipline::deadline() const {
    switch (state_) {
    case State::Listening:
        return listenUntil_;
    case State::Asking:
        return try_->deadline();
    case State::Finished:
        break;
    }
    return TimePoint::max();
}

// ---- how a try ends ---------------------------------------------------------------------------

void Discipline::tryEnded() {
    // Copied: the next try takes the place of this one.
    const Attempt::End end = try_->end();
    const bool sent = try_->sent();
    account(end);
    if (end.resynced) {
        if (sent) ++ex_.tally.syncs;
        startAttempt(end.at);
        // Found needless as it was to go out: the request goes in its place, the line being quiet.
        if (!sent && state_ == State::Asking) {
            try_->onDeadline(end.at);
            if (try_->done()) tryEnded();
        }
        return;
    }
    switch (end.outcome) {
    case Outcome::Answered:
    case Outcome::Exception:
        answered(end);
        return;
    case Outcome::Busy:
        finish(Outcome::Busy, end.failure);
        return;
    case Outcome::Lost:
        onLost();
        return;
    default:
        failed(end);
        return;
    }
}

void Discipline::account(const Attempt::End& end) {
    if (!end.garbled.isEmpty()) ex_.frame = end.garbled;
    ex_.reply = end.answer.reply;
    ex_.answers = end.answers;
}

void Discipline::answered(const Attempt::End& end) {
    const Answer& a = end.answer;
    ex_.sent = try_->bytes();
    ex_.frame = a.frame;
    if (ex_.sent != req_.bytes && ex_.reply.ok()) {
        // A wider read stood for the request: its registers, cut to those asked.
        auto& regs = ex_.reply.registers;
        regs.erase(regs.begin(), regs.begin() + (req_.expect.start - try_->expect().start));
        regs.resize(req_.expect.count);
    }
    ex_.sentAt = try_->sentAt();
    ex_.replyAt = a.at;
    if (a.own) ex_.latency = a.at - try_->sentAt();
    countTry(end.outcome, end.failure);
    finish(end.outcome, Failure::None);
}

void Discipline::failed(const Attempt::End& end) {
    ex_.lateAfter = end.lateAfter;
    countTry(end.outcome, end.failure);
    const bool again =
        end.outcome == Outcome::Garbled || (end.outcome == Outcome::Timeout && req_.retryTimeouts);
    if (again && wire_.attempt < req_.retries) {
        ++wire_.attempt;
        startAttempt(end.at);
        return;
    }
    finish(end.outcome, end.failure);
}

void Discipline::countTry(Outcome outcome, Failure failure) {
    Tally& t = ex_.tally;
    // A try that ended in its resynchronising read never put the request on the line.
    if (try_->kind() == Attempt::Kind::Sync && try_->sent()) {
        ++t.syncs;
        return;
    }
    ++t.requests;
    if (wire_.attempt > 0) ++t.retries;
    switch (outcome) {
    case Outcome::Answered:
        ++t.replies;
        break;
    case Outcome::Exception:
        ++t.exceptions;
        break;
    case Outcome::Timeout:
        ++t.timeouts;
        break;
    case Outcome::Garbled:
        ++(failure == Failure::Crc ? t.crcErrors : t.badReplies);
        break;
    case Outcome::Echo:
        ++t.badReplies;
        break;
    case Outcome::Lost:
        ++t.lost;
        break;
    case Outcome::Stopped: // never counted: the operator gave up, or nothing went out
    case Outcome::Busy:
        break;
    }
}

void Discipline::finish(Outcome outcome, Failure failure) {
    // Replies the link itself found to answer earlier requests are late ones too.
    for (std::uint8_t from : wire_.line.takeUnmatched())
        ex_.tally.addLate(from);
    ex_.outcome = outcome;
    ex_.failure = failure;
    state_ = State::Finished;
}

// ---- the blocking loop ------------------------------------------------------------------------

namespace {

void drive(Discipline& d, ByteLine& line, const std::function<bool()>& stop) {
    while (!d.finished()) {
        if (stop && stop()) {
            d.stop();
            break;
        }
        const QByteArray got = line.take();
        if (!got.isEmpty()) {
            d.onBytes(got, line.now());
            continue;
        }
        if (line.lost()) {
            d.onLost();
            break;
        }
        const TimePoint deadline = d.deadline();
        const TimePoint t = line.now();
        if (t >= deadline) {
            d.onDeadline(t);
            continue;
        }
        line.waitReadable(stop ? std::min(deadline, t + kStopSlice) : deadline);
    }
}

} // namespace

Exchange exchange(Discipline& discipline, ByteLine& line, const Request& request,
                  const std::function<bool()>& stop) {
    discipline.begin(request);
    drive(discipline, line, stop);
    return discipline.result();
}

Exchange listen(Discipline& discipline, ByteLine& line, Millis duration, const std::function<bool()>& stop) {
    discipline.listen(duration);
    drive(discipline, line, stop);
    return discipline.result();
}

} // namespace kv::line
