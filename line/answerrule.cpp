#include "line/answerrule.h"

#include <algorithm>

namespace kv::line {

using Verdict = LineEvent::Verdict;
using Direction = LineEvent::Direction;
using sensor::Expectation;

// A request: one answer, from the device asked.
class RequestRule final : public AnswerRule {
public:
    bool blocked(PendingReplies& pending, const Expectation& request, TimePoint now) const override {
        return pending.blocks(request, now);
    }
    Nanos window(Millis timeout, Millis) const override { return timeout; }
    bool from(std::uint8_t sender, const Expectation& expect) const override {
        return sender == expect.address;
    }
    Verdict notTaken(std::uint8_t sender, const Expectation& expect) const override {
        return sender == expect.address ? Verdict::Late : Verdict::Other;
    }
    bool damaged(const Attempt& a, const QByteArray& bytes) const override;
    Judged judge(const Attempt& a, const QByteArray& frame, TimePoint at) const override;
    void garbled(Attempt& a, const QByteArray& bytes, TimePoint at) const override;
    void over(Attempt& a, TimePoint now) const override;
};

// The address read: every device's answer, to the end of the window.
class AddressReadRule final : public AnswerRule {
public:
    // Its answers are judged one by one, as they come.
    bool blocked(PendingReplies&, const Expectation&, TimePoint) const override { return false; }
    Nanos window(Millis timeout, Millis grace) const override { return timeout + grace; }
    bool from(std::uint8_t sender, const Expectation&) const override {
        return sensor::isDeviceAddress(sender);
    }
    // Anyone may answer, so what is not taken answers an earlier request.
    Verdict notTaken(std::uint8_t, const Expectation&) const override { return Verdict::Late; }
    // Any device may answer: a damaged address names no one.
    bool damaged(const Attempt&, const QByteArray&) const override { return false; }
    Judged judge(const Attempt& a, const QByteArray& frame, TimePoint at) const override;
    void garbled(Attempt& a, const QByteArray& bytes, TimePoint at) const override;
    void over(Attempt& a, TimePoint now) const override;
};

const AnswerRule& ruleFor(const Request& request) {
    static const RequestRule one;
    static const AddressReadRule every;
    if (request.collect) return every;
    return one;
}

// ---- a request --------------------------------------------------------------------------------

bool RequestRule::damaged(const Attempt& a, const QByteArray& b) const {
    const Expectation& e = a.expect_;
    if (b.size() < 3 || (e.kind != sensor::ReplyKind::Read && e.kind != sensor::ReplyKind::WriteEcho &&
                         e.kind != sensor::ReplyKind::WriteMultiple))
        return false;
    const int length = sensor::longestReply(e);
    if (b.size() < length) return false;
    if (const int sound = a.wire_.reader.soundFrom(0); sound >= 0 && sound < length) return false;
    const auto byte = [&](int i) { return static_cast<std::uint8_t>(b[i]); };
    const std::uint8_t function = sensor::functionAnswered(a.bytes_);
    const bool addressHit = byte(0) != e.address && byte(1) == function;
    const bool functionHit = byte(0) == e.address && byte(1) != function && byte(1) != (function | 0x80);
    if (!addressHit && !functionHit) return false;
    // No request held for the device asked, or for the one the damaged address names, may
    // explain it. What they may owe an earlier run is not weighed: taken for this answer damaged,
    // such a frame costs a retry, never a value.
    PendingReplies& pending = a.wire_.pending;
    const TimePoint now = a.wire_.now();
    if (pending.holdsFor(e.address, now)) return false;
    if (addressHit && sensor::isDeviceAddress(byte(0)) && pending.holdsFor(byte(0), now)) return false;
    if (e.kind == sensor::ReplyKind::Read) return byte(2) == 2 * e.count;
    // An echo repeats the request's register and value.
    return b.mid(2, 4) == a.bytes_.mid(2, 4);
}

Judged RequestRule::judge(const Attempt& a, const QByteArray& frame, TimePoint at) const {
    const Expectation& e = a.expect_;
    // A reply cannot end before the request and itself have crossed the line: this one was on
    // its way before the request went out.
    if (!sensor::couldAnswer(frame, e) || (frame != a.bytes_ && a.tooSoon(frame, at))) return {};
    PendingReplies& pending = a.wire_.pending;
    const bool own = !pending.couldProduce(frame, at);
    const sensor::Reply reply = sensor::checkReply(frame, e);
    const bool matched = a.wire_.matched();
    // A write's answer repeats its own register and value: no earlier request but the same
    // write draws it, and callers read writes back.
    if (own && !matched && !sensor::isWriteRequest(a.bytes_) && pending.pastLive(e.address, at))
        return {Meaning::Unsure, reply};
    if (own) {
        // Sent after everything held for the device, so everything held is settled too.
        if (reply.status == sensor::ReplyStatus::Exception &&
            (reply.exceptionCode == MODBUS_EXCEPTION_GATEWAY_TARGET_FAILED ||
             reply.exceptionCode == MODBUS_EXCEPTION_GATEWAY_PATH_UNAVAILABLE))
            return {Meaning::GatewayGaveUp, reply};
        if (a.kind_ == Attempt::Kind::Request && !a.wire_.echo && !matched && frame == a.bytes_)
            return {Meaning::MaybeEcho, reply};
        return {Meaning::Answer, reply};
    }
    if (reply.status == sensor::ReplyStatus::Exception && a.kind_ == Attempt::Kind::Request)
        return {Meaning::HeldException, reply};
    return {Meaning::Held, reply};
}

void RequestRule::garbled(Attempt& a, const QByteArray& bytes, TimePoint at) const {
    a.demote();
    a.end_.garbled = bytes;
    a.wire_.tell(Direction::Heard, Verdict::Crc, at, bytes);
    a.fail(Outcome::Garbled, Failure::Crc, at);
}

void RequestRule::over(Attempt& a, TimePoint now) const {
    // The start of the answer came and the rest did not: cut short, not silent.
    if (a.shaped(a.wire_.reader.bytes())) {
        a.end_.garbled = a.wire_.reader.bytes();
        a.wire_.tell(Direction::Ended, Verdict::Short, now);
        a.fail(Outcome::Garbled, Failure::Cut, now);
        return;
    }
    a.wire_.tell(Direction::Ended, Verdict::Timeout, now);
    a.fail(Outcome::Timeout, Failure::NoReply, now);
}

// ---- the address read -------------------------------------------------------------------------

Judged AddressReadRule::judge(const Attempt& a, const QByteArray& frame, TimePoint at) const {
    if (!sensor::couldAnswer(frame, a.expect_) || a.wire_.pending.couldProduce(frame, at, false) ||
        a.tooSoon(frame, at) || at > a.windowEnd())
        return {};
    const sensor::Reply reply = sensor::checkReply(frame, a.expect_);
    const std::uint8_t from = sensor::senderOf(frame);
    if (a.wire_.pending.pastLive(from, at)) return {Meaning::KeptUnsure, reply};
    const auto& kept = a.end_.answers;
    if (std::any_of(kept.begin(), kept.end(),
                    [&](const Answer& k) { return sensor::senderOf(k.frame) == from; }))
        return {Meaning::Again, reply};
    return {Meaning::Kept, reply};
}

void AddressReadRule::garbled(Attempt& a, const QByteArray& bytes, TimePoint) const {
    a.garbledSeen_ = true;
    a.noise(bytes, Verdict::Crc);
}

void AddressReadRule::over(Attempt& a, TimePoint now) const {
    TimePoint waitUntil = TimePoint::min();
    for (const Answer& u : a.unsure_)
        waitUntil = std::max(waitUntil, u.at + a.quiet());
    if (waitUntil > now) {
        a.enter(Attempt::Phase::AwaitReply, waitUntil);
        return;
    }
    auto& kept = a.end_.answers;
    for (const Answer& u : std::exchange(a.unsure_, {})) {
        // Nothing more came from the device: this was the last it owed, the answer to this read.
        a.wire_.pending.clear(sensor::senderOf(u.frame), now);
        const auto at = std::find_if(kept.begin(), kept.end(), [&](const Answer& k) { return k.at > u.at; });
        a.tellAnswer(*kept.insert(at, u));
    }
    // A device slower than the window may still answer.
    a.wire_.hold(a.expect_, now);
    if (kept.empty()) {
        // Its whole window is heard out: no grace period follows.
        const bool cut = a.shaped(a.wire_.reader.bytes());
        if (!a.garbledSeen_) a.wire_.tell(Direction::Ended, cut ? Verdict::Short : Verdict::Timeout, now);
        if (a.garbledSeen_ || cut)
            a.finish(Outcome::Garbled, a.garbledSeen_ ? Failure::Crc : Failure::Cut, now);
        else
            a.finish(Outcome::Timeout, Failure::NoReply, now);
        return;
    }
    const auto good = std::find_if(kept.begin(), kept.end(), [](const Answer& k) { return k.reply.ok(); });
    a.end_.answer = good != kept.end() ? *good : kept.front();
    a.finish(a.end_.answer.reply.ok() ? Outcome::Answered : Outcome::Exception, Failure::None, now);
}

} // namespace kv::line
