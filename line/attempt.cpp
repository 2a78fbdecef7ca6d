#include "line/attempt.h"

#include "line/answerrule.h"

#include <algorithm>

namespace kv::line {
namespace {

using Verdict = LineEvent::Verdict;
using Direction = LineEvent::Direction;

// The rest of a garbled reply has gone by once the line has been quiet this long: a USB
// adapter hands bytes over in chunks, so a gap of a few characters is no end here.
constexpr Millis kSettleQuiet{20};

// Frames that cross each other leave their bytes mixed: the device's address anywhere is
// enough; on a noisy line this costs the first answer of a device now and then a retry.
bool mayHoldBytesOf(const QByteArray& bytes, const QByteArray& frame) {
    return !frame.isEmpty() && bytes.contains(frame[0]);
}

Outcome outcomeOf(const sensor::Reply& reply) {
    return reply.status == sensor::ReplyStatus::Ok ? Outcome::Answered : Outcome::Exception;
}

} // namespace

// ---- the wire -------------------------------------------------------------------------------

TimePoint Wire::now() const {
    return line.now();
}

Nanos Wire::silence() const {
    return Nanos(line.facts().frameSilenceNs);
}

void Wire::hold(const sensor::Expectation& request, TimePoint now) {
    if (!matched()) pending.add(request, now);
}

void Wire::tell(Direction direction, Verdict verdict, TimePoint at, const QByteArray& bytes,
                std::optional<Nanos> latency) const {
    if (observer) observer({direction, verdict, at, bytes, asked, attempt, latency});
}

void Wire::late(const QByteArray& frame, TimePoint at, Verdict verdict, Tally& counts) {
    tell(Direction::Heard, verdict, at, frame);
    pending.settle(frame, at);
    counts.addLate(sensor::senderOf(frame));
}

void Wire::noise(const QByteArray& bytes, Tally& counts, Verdict verdict) {
    if (bytes.isEmpty()) return;
    tell(Direction::Heard, verdict, lastHeard, bytes);
    if (!noiseOpen) ++counts.noise;
    noiseOpen = true;
}

// ---- the try ----------------------------------------------------------------------------------

Attempt::Attempt(Wire& wire, const AnswerRule& rule, const Request& request, Tally& counts, Kind kind,
                 QByteArray bytes, sensor::Expectation expect, TimePoint now)
    : wire_(wire), rule_(rule), request_(request), counts_(counts), kind_(kind), bytes_(std::move(bytes)),
      expect_(expect) {
    // A line that never falls silent by then is Busy; the master's own request still on the
    // wire, and the silence after it, are no one else's noise.
    enter(Phase::AwaitSilence, std::max(now, wire_.sentOut + wire_.silence()) + request_.timeout);
}

void Attempt::enter(Phase phase, TimePoint until) {
    phase_ = phase;
    until_ = until;
}

TimePoint Attempt::deadline() const {
    switch (phase_) {
    case Phase::AwaitSilence:
        return std::min(wire_.quietFrom() + wire_.silence(), until_);
    case Phase::Settle:
        return std::min(wire_.lastHeard + kSettleQuiet, until_);
    case Phase::Done:
        return TimePoint::max();
    default:
        return until_;
    }
}

void Attempt::onDeadline(TimePoint now) {
    switch (phase_) {
    case Phase::AwaitSilence:
        if (now - wire_.quietFrom() >= wire_.silence()) {
            send(now);
        } else if (now >= until_) {
            wire_.tell(Direction::Ended, Verdict::Busy, now);
            finish(Outcome::Busy, Failure::NeverSilent, now);
        }
        return;
    case Phase::AwaitReply:
        if (now >= until_) rule_.over(*this, now);
        return;
    case Phase::Quiet:
        if (now < until_) return;
        // Nothing more from the device: the answer was the last it owed, so it is this request's,
        // and nothing is left of what it may have owed before.
        wire_.pending.clear(expect_.address, now);
        answered(waiting_, outcomeOf(waiting_.reply));
        return;
    case Phase::EchoCheck:
        if (now < until_) return;
        // Taken as the answer, but it may be the adapter's copy with the sensor silent: that
        // proves nothing about what is held for the device, so it settles none of it.
        answered(waiting_, Outcome::Answered);
        return;
    case Phase::Grace:
    case Phase::Settle:
        if (now >= deadline()) graceOver(now);
        return;
    case Phase::Done:
        return;
    }
}

void Attempt::abandon(TimePoint now) {
    // Its reply may yet come, to a port opened again too.
    if (sent_ && (phase_ == Phase::AwaitReply || phase_ == Phase::Quiet || phase_ == Phase::EchoCheck))
        wire_.hold(expect_, now);
}

void Attempt::send(TimePoint now) {
    // A late reply heard while waiting may have settled what the probe was for.
    if (kind_ == Kind::Sync && !wire_.pending.blocks(request_.expect, now)) {
        resynced(now);
        return;
    }
    // The line has been quiet for a frame's silence: a frame begun before is dead.
    FrameReader& reader = wire_.reader;
    if (!reader.empty()) noise(reader.take(static_cast<int>(reader.bytes().size())));
    wire_.noiseOpen = false;
    writeAt_ = wire_.now();
    if (!wire_.line.write(bytes_)) {
        finish(Outcome::Lost, Failure::Lost, now);
        return;
    }
    sent_ = true;
    sentAt_ = wire_.now();
    wire_.tell(Direction::Sent, kind_ == Kind::Sync ? Verdict::Sync : Verdict::Request, sentAt_, bytes_);
    wire_.sentOut = sentAt_ + Nanos(wire_.line.facts().characterNs * bytes_.size());
    enter(Phase::AwaitReply, windowEnd());
    // A write's echo is its answer; a read's request coming back is the adapter's.
    echoCheck_ = wire_.echo || !sensor::isWriteRequest(bytes_);
}

// ---- what is heard ----------------------------------------------------------------------------

void Attempt::heard(TimePoint at) {
    FrameReader& reader = wire_.reader;
    while (phase_ != Phase::Done) {
        if (phase_ == Phase::AwaitReply && echoCheck_ && !passEcho(at)) return;
        const FrameReader::Cut c = reader.cut();
        if (c.kind == FrameReader::Cut::NeedMore) return;
        if (c.kind == FrameReader::Cut::Frame) {
            wire_.noiseOpen = false;
            take(reader.take(c.length), at);
            continue;
        }
        const QByteArray& b = reader.bytes();
        const bool listening = phase_ == Phase::AwaitReply || phase_ == Phase::Quiet;
        const bool garbled = listening && garbledAnswer(b);
        if (garbled || (listening && rule_.damaged(*this, b))) {
            const int length =
                garbled ? std::max(sensor::frameLength(b), 1) : sensor::replyLength(b, expect_);
            heardDamaged(b.left(length));
            rule_.garbled(*this, reader.take(length), at);
            continue;
        }
        heardDamaged(b.left(c.length));
        noise(reader.take(c.length));
    }
}

bool Attempt::passEcho(TimePoint at) {
    FrameReader& reader = wire_.reader;
    const QByteArray& heard = reader.bytes();
    if (wire_.echo) {
        // The first copy of the request is the adapter's, wherever it comes: a copy of a
        // write is never taken for its answer. Bytes that may begin it wait for the rest.
        if (const auto i = heard.indexOf(bytes_); i >= 0) {
            reader.remove(static_cast<int>(i), static_cast<int>(bytes_.size()));
            echoCheck_ = false;
            wire_.tell(Direction::Heard, Verdict::Stripped, at, bytes_);
            return true;
        }
        for (qsizetype from = 0; from < heard.size(); ++from)
            if (bytes_.startsWith(heard.mid(from))) return false;
        return true;
    }
    if (heard.startsWith(bytes_)) {
        echoCheck_ = false;
        end_.garbled = reader.take(static_cast<int>(bytes_.size()));
        wire_.tell(Direction::Heard, Verdict::Echo, at, end_.garbled);
        fail(Outcome::Echo, Failure::Echo, at);
        return false;
    }
    if (heard.isEmpty() || bytes_.startsWith(heard)) return heard.isEmpty();
    echoCheck_ = false; // something else came first: no copy of the request (or a garbled one)
    return true;
}

void Attempt::take(const QByteArray& frame, TimePoint at) {
    switch (phase_) {
    case Phase::Quiet:
        if (sensor::senderOf(frame) != expect_.address) {
            late(frame, at);
            return;
        }
        demote();
        // Past the request's own window, the try has timed out.
        if (at > until_) {
            wire_.tell(Direction::Ended, Verdict::Timeout, at);
            fail(Outcome::Timeout, Failure::NoReply, at);
            late(frame, at);
            if (sensor::couldAnswer(frame, expect_)) enter(Phase::Grace, at);
            return;
        }
        break;
    case Phase::EchoCheck:
        if (frame != bytes_) {
            late(frame, at);
            return;
        }
        // The first copy was the adapter's; which of the two is the sensor's, nothing tells.
        wire_.tell(Direction::Heard, Verdict::Echo, waiting_.at, waiting_.frame);
        wire_.tell(Direction::Heard, Verdict::Echo, at, frame);
        fail(Outcome::Echo, Failure::Echo, at);
        return;
    case Phase::AwaitReply:
        break;
    default:
        late(frame, at);
        // The failed try's own late reply has come: no need to listen out the rest of the grace.
        if (phase_ == Phase::Grace && sensor::couldAnswer(frame, expect_)) enter(Phase::Grace, at);
        return;
    }
    dropUnsure(sensor::senderOf(frame));
    act(rule_.judge(*this, frame, at), frame, at);
}

void Attempt::act(const Judged& judged, const QByteArray& frame, TimePoint at) {
    const std::uint8_t from = sensor::senderOf(frame);
    switch (judged.meaning) {
    case Meaning::NotIt:
        late(frame, at);
        return;
    case Meaning::Held:
        // A shape a held request shares (a resynchronising read of a count used before): it
        // settles that one. When nothing that blocks the request is left, the probe did its work.
        late(frame, at);
        if (kind_ == Kind::Sync && !wire_.pending.blocks(request_.expect, at)) {
            wire_.hold(expect_, at); // the probe's own answer may still come
            resynced(at);
        }
        return;
    case Meaning::Answer:
        wire_.pending.clear(from, at);
        answered({frame, judged.reply, at, true}, outcomeOf(judged.reply));
        return;
    case Meaning::HeldException:
        wire_.pending.settle(frame, at);
        answered({frame, judged.reply, at, false}, Outcome::Exception);
        return;
    case Meaning::Unsure:
        waiting_ = {frame, judged.reply, at, true};
        enter(Phase::Quiet, at + quiet());
        return;
    case Meaning::MaybeEcho:
        // The sensor's acknowledgement, or the adapter's copy of the request with the sensor's
        // to follow? Nothing is settled until that is known.
        waiting_ = {frame, judged.reply, at, true};
        enter(Phase::EchoCheck, at + grace());
        return;
    case Meaning::GatewayGaveUp:
        // No device replied, so it is a timeout, told by the gateway (its words kept in the
        // reply); the gateway has given up, so no late reply is waited for.
        end_.answer.reply = judged.reply;
        wire_.tell(Direction::Heard, Verdict::Exception, at, frame);
        wire_.tell(Direction::Ended, Verdict::Timeout, at);
        wire_.pending.clear(from, at);
        fail(Outcome::Timeout, Failure::GatewayNoReply, at);
        enter(Phase::Grace, at);
        return;
    case Meaning::Kept:
    case Meaning::KeptUnsure:
    case Meaning::Again:
        keep(judged, frame, at);
        return;
    }
}

void Attempt::keep(const Judged& judged, const QByteArray& frame, TimePoint at) {
    // It may answer an earlier address read: it says the same, but its latency is unknown.
    const Answer answer{frame, judged.reply, at, !wire_.pending.settle(frame, at)};
    if (judged.meaning == Meaning::KeptUnsure) {
        unsure_.push_back(answer);
    } else if (judged.meaning == Meaning::Again) {
        wire_.tell(Direction::Heard, Verdict::Late, at, frame);
        counts_.addLate(sensor::senderOf(frame));
    } else {
        end_.answers.push_back(answer);
        tellAnswer(answer);
    }
}

void Attempt::answered(const Answer& answer, Outcome outcome) {
    if (kind_ == Kind::Sync) {
        wire_.tell(Direction::Heard, Verdict::Sync, answer.at, answer.frame);
        resynced(answer.at);
        return;
    }
    if (!answer.own) wire_.hold(expect_, answer.at); // the exception may have been an older request's
    wire_.tell(Direction::Heard, outcome == Outcome::Exception ? Verdict::Exception : Verdict::Answer,
               answer.at, answer.frame, latencyOf(answer));
    end_.answer = answer;
    finish(outcome, Failure::None, answer.at);
}

void Attempt::demote() {
    if (phase_ != Phase::Quiet) return;
    enter(Phase::AwaitReply, sentAt_ + request_.timeout);
    late(waiting_.frame, waiting_.at);
}

void Attempt::heardDamaged(const QByteArray& burst) {
    if (phase_ == Phase::Quiet && mayHoldBytesOf(burst, waiting_.frame)) demote();
    for (std::size_t i = 0; i < unsure_.size();)
        if (mayHoldBytesOf(burst, unsure_[i].frame))
            dropUnsure(sensor::senderOf(unsure_[i].frame));
        else
            ++i;
}

void Attempt::dropUnsure(std::uint8_t from) {
    const auto it = std::find_if(unsure_.begin(), unsure_.end(),
                                 [&](const Answer& u) { return sensor::senderOf(u.frame) == from; });
    if (it == unsure_.end()) return;
    // Already settled what it could when it was heard: only told and counted now.
    wire_.tell(Direction::Heard, rule_.notTaken(from, request_.expect), it->at, it->frame);
    counts_.addLate(from);
    unsure_.erase(it);
}

void Attempt::late(const QByteArray& frame, TimePoint at) {
    const std::uint8_t from = sensor::senderOf(frame);
    wire_.late(frame, at, rule_.notTaken(from, request_.expect), counts_);
    if (from == request_.expect.address) lateFromAsked_ = true;
}

void Attempt::noise(const QByteArray& bytes, Verdict verdict) {
    wire_.noise(bytes, counts_, verdict);
}

void Attempt::tellAnswer(const Answer& answer) const {
    wire_.tell(Direction::Heard, answer.reply.ok() ? Verdict::Answer : Verdict::Exception, answer.at,
               answer.frame, latencyOf(answer));
}

// ---- how a try ends ---------------------------------------------------------------------------

void Attempt::fail(Outcome outcome, Failure failure, TimePoint now) {
    // Its answer may still come: after an echo, the sensor's own follows.
    wire_.hold(expect_, now);
    end_.outcome = outcome;
    end_.failure = failure;
    enter(outcome == Outcome::Timeout ? Phase::Grace : Phase::Settle, now + grace());
}

void Attempt::graceOver(TimePoint now) {
    // A probe's late answer (or another late reply) may have settled what it was sent for.
    if (kind_ == Kind::Sync && end_.outcome != Outcome::Echo && !wire_.pending.blocks(request_.expect, now)) {
        resynced(now);
        return;
    }
    end_.lateAfter = end_.outcome == Outcome::Timeout && lateFromAsked_;
    finish(end_.outcome, end_.failure, now);
}

void Attempt::resynced(TimePoint at) {
    end_.resynced = true;
    end_.at = at;
    enter(Phase::Done, TimePoint::max());
}

void Attempt::finish(Outcome outcome, Failure failure, TimePoint at) {
    end_.outcome = outcome;
    end_.failure = failure;
    end_.at = at;
    enter(Phase::Done, TimePoint::max());
}

// ---- what the try knows -------------------------------------------------------------------------

bool Attempt::shaped(const QByteArray& b) const {
    return b.size() >= 2 && rule_.from(sensor::senderOf(b), expect_) &&
           sensor::functionAnswered(b) == sensor::functionAnswered(bytes_);
}

bool Attempt::garbledAnswer(const QByteArray& b) const {
    if (!shaped(b)) return false;
    const int length = sensor::frameLength(b);
    return length > 0 && b.size() >= length && length == sensor::replyLength(b, expect_);
}

bool Attempt::tooSoon(const QByteArray& frame, TimePoint at) const {
    const LinkFacts facts = wire_.line.facts();
    return facts.wireTimed && at < writeAt_ + Nanos(facts.characterNs * (bytes_.size() + frame.size()));
}

std::optional<Nanos> Attempt::latencyOf(const Answer& answer) const {
    if (!answer.own) return std::nullopt;
    return answer.at - sentAt_;
}

TimePoint Attempt::windowEnd() const {
    return sentAt_ + rule_.window(request_.timeout, grace());
}

Millis Attempt::grace() const {
    return request_.grace.value_or(graceFor(request_.timeout));
}

Millis Attempt::quiet() const {
    return request_.quiet.value_or(request_.timeout);
}

} // namespace kv::line
