#include "line/discipline.h"

#include <algorithm>

namespace kv::line {
namespace {

constexpr int kMinGraceMs = 20;
constexpr int kMaxGraceMs = 500;
// The rest of a garbled reply has gone by once the line has been quiet this long: a USB
// adapter hands bytes over in chunks, so a gap of a few characters is no end here.
constexpr qint64 kSettleQuietNs = 20 * 1000000LL;
constexpr qint64 kStopSliceNs = 50 * 1000000LL;
constexpr qint64 kNever = std::numeric_limits<qint64>::max();

} // namespace

int graceMsFor(int timeoutMs) {
    return std::clamp(timeoutMs / 2, kMinGraceMs, kMaxGraceMs);
}

void Tally::addLate(std::uint8_t from) {
    for (auto& [address, n] : late)
        if (address == from) {
            ++n;
            return;
        }
    late.emplace_back(from, 1);
}

int Tally::lateFrom(std::uint8_t address) const {
    for (const auto& [from, n] : late)
        if (from == address) return n;
    return 0;
}

int Tally::lateTotal() const {
    int total = 0;
    for (const auto& entry : late)
        total += entry.second;
    return total;
}

Tally& Tally::operator+=(const Tally& o) {
    requests += o.requests;
    retries += o.retries;
    replies += o.replies;
    exceptions += o.exceptions;
    timeouts += o.timeouts;
    crcErrors += o.crcErrors;
    badReplies += o.badReplies;
    lost += o.lost;
    syncs += o.syncs;
    noise += o.noise;
    for (const auto& [from, n] : o.late)
        for (int i = 0; i < n; ++i)
            addLate(from);
    return *this;
}

Discipline::Discipline(ByteLine& line) : line_(line) {
    // Replies from a link that pairs them with requests can never be an earlier run's.
    if (!matched()) pending_.pastUnknown(line_.nowNs());
}

void Discipline::rateChanged() {
    pending_.forgetAll();
    reader_.clear();
}

// ---- starting -----------------------------------------------------------------------

void Discipline::begin(const Request& request) {
    // What waits on the line came before this request: late replies, which may settle what
    // the request would otherwise have to be told apart from, or noise.
    const qint64 now = line_.nowNs();
    if (!finished()) phase_ = Phase::Done;
    onBytes(line_.take(), now);
    req_ = request;
    ex_ = Exchange{};
    ex_.tally = std::exchange(idle_, Tally{});
    attempt_ = 0;
    sentThisStep_ = false;
    startAttempt(now);
}

void Discipline::listen(int durationMs) {
    const qint64 now = line_.nowNs();
    if (!finished()) phase_ = Phase::Done;
    onBytes(line_.take(), now);
    req_ = Request{};
    ex_ = Exchange{};
    ex_.tally = std::exchange(idle_, Tally{});
    sentThisStep_ = false;
    phase_ = Phase::Listen;
    phaseEndNs_ = now + ms(durationMs);
}

void Discipline::startAttempt(qint64 nowNs) {
    ex_.reply = {};
    widenedBy_ = -1;
    if (!req_.collect && pending_.blocks(req_.expect, nowNs)) {
        // One exchange per try: a wider read of the same registers, whose answer's length nothing
        // held shares, stands for the request itself.
        if (const int wide = widerReads_ ? pending_.widerCount(req_.expect, nowNs) : 0; wide > 0) {
            const int start = std::min<int>(req_.expect.start, SYNC_LAST_COUNT - wide);
            widenedBy_ = req_.expect.start - start;
            const Frame wider = sensor::readRequest(req_.expect.address, static_cast<std::uint16_t>(start),
                                                    static_cast<std::uint16_t>(wide), req_.expect.request[1]);
            startStep(Step::Request, nowNs, toBytes(wider), sensor::expectRead(wider));
            return;
        }
        const int k = pending_.syncCount(req_.expect, nowNs);
        if (k == 0) {
            tell(LineEvent::Direction::Ended, LineEvent::Verdict::Busy, nowNs);
            finish(Outcome::Busy, QStringLiteral("address %1 cannot be resynchronised: its late replies "
                                                 "could pass for the answer; nothing sent")
                                      .arg(req_.expect.address));
            return;
        }
        const Frame probe = sensor::readRequest(req_.expect.address, 0, static_cast<std::uint16_t>(k));
        startStep(Step::Sync, nowNs, toBytes(probe), sensor::expectRead(probe));
        return;
    }
    startStep(Step::Request, nowNs, req_.bytes, req_.expect);
}

void Discipline::startStep(Step step, qint64 nowNs, const QByteArray& bytes,
                           const sensor::Expectation& expect) {
    stepBytes_ = bytes;
    stepExpect_ = expect;
    step_ = step;
    sentThisStep_ = false;
    lateFromAsked_ = false;
    candidate_.clear();
    phase_ = Phase::AwaitSilence;
    // A line that never falls silent by then is Busy; the master's own request still on the
    // wire, and the silence after it, are no one else's noise.
    phaseEndNs_ = std::max(nowNs, sentOutNs_ + line_.facts().frameSilenceNs) + ms(req_.timeoutMs);
}

void Discipline::send(qint64 nowNs) {
    // A late reply heard while waiting may have settled what the probe was for.
    if (step_ == Step::Sync && !pending_.blocks(req_.expect, nowNs)) {
        startAttempt(nowNs);
        if (finished()) return;
    }
    // The line has been quiet for a frame's silence: a frame begun before is dead.
    if (!reader_.empty()) noise(reader_.take(static_cast<int>(reader_.bytes().size())));
    noiseOpen_ = false;
    stepWriteNs_ = line_.nowNs();
    if (!line_.write(stepBytes_)) {
        onLost();
        return;
    }
    sentThisStep_ = true;
    stepSentNs_ = line_.nowNs();
    tell(LineEvent::Direction::Sent,
         step_ == Step::Sync ? LineEvent::Verdict::Sync : LineEvent::Verdict::Request, stepSentNs_,
         stepBytes_);
    sentOutNs_ = stepSentNs_ + line_.facts().characterNs * stepBytes_.size();
    phase_ = Phase::AwaitReply;
    phaseEndNs_ = stepSentNs_ + ms(req_.timeoutMs) + (req_.collect ? ms(graceMs()) : 0);
    windowEndNs_ = phaseEndNs_;
    unsure_.clear();
    // A write's echo is its answer; a read's request coming back is the adapter's.
    echoCheck_ = echo_ || !sensor::isWriteRequest(stepBytes_);
    garbledSeen_ = false;
}

// ---- events ---------------------------------------------------------------------------

void Discipline::onBytes(const QByteArray& bytes, qint64 atNs) {
    if (bytes.isEmpty()) return;
    reader_.feed(bytes);
    lastRxNs_ = atNs;
    if (finished())
        hearIdle(atNs);
    else
        drain(atNs);
}

void Discipline::hearIdle(qint64 atNs) {
    for (;;) {
        const FrameReader::Cut c = reader_.cut();
        if (c.kind == FrameReader::Cut::NeedMore) return;
        if (c.kind == FrameReader::Cut::Noise) {
            noise(reader_.take(c.length));
            continue;
        }
        noiseOpen_ = false;
        late(reader_.take(c.length), atNs);
    }
}

void Discipline::onDeadline(qint64 nowNs) {
    switch (phase_) {
    case Phase::AwaitSilence:
        if (nowNs - quietFromNs() >= line_.facts().frameSilenceNs)
            send(nowNs);
        else if (nowNs >= phaseEndNs_) {
            tell(LineEvent::Direction::Ended, LineEvent::Verdict::Busy, nowNs);
            finish(Outcome::Busy,
                   QStringLiteral("the line never fell silent for %1 ms; nothing sent").arg(req_.timeoutMs));
        }
        return;
    case Phase::AwaitReply:
        if (nowNs >= phaseEndNs_) replyOverdue(nowNs);
        return;
    case Phase::Quiet:
        if (nowNs < phaseEndNs_) return;
        // Nothing more from the device: the answer was the last it owed, so it is this request's,
        // and nothing is left of what it may have owed before.
        pending_.clear(stepExpect_.address, nowNs);
        answered(sensor::checkReply(candidate_, stepExpect_).status == sensor::ReplyStatus::Ok
                     ? Outcome::Answered
                     : Outcome::Exception,
                 candidate_, candidateNs_, true);
        return;
    case Phase::Grace:
    case Phase::Settle:
        if (nowNs >= deadlineNs()) graceOver(nowNs);
        return;
    case Phase::EchoCheck:
        if (nowNs < phaseEndNs_) return;
        // Taken as the answer, but it may be the adapter's copy with the sensor silent: that
        // proves nothing about what is held for the device, so it settles none of it.
        answered(Outcome::Answered, heldFrame_, heldAtNs_, true);
        return;
    case Phase::Listen:
        if (nowNs >= phaseEndNs_) finish(Outcome::Timeout, {});
        return;
    case Phase::Idle:
    case Phase::Done:
        return;
    }
}

void Discipline::replyOverdue(qint64 nowNs) {
    if (req_.collect) {
        collectOver(nowNs);
        return;
    }
    // The start of the answer came and the rest did not: cut short, not silent.
    if (looksLikeAnswer(reader_.bytes())) {
        ex_.frame = reader_.bytes();
        tell(LineEvent::Direction::Ended, LineEvent::Verdict::Short, nowNs);
        stepFailed(Outcome::Garbled, QStringLiteral("reply too short"), nowNs, false);
        return;
    }
    tell(LineEvent::Direction::Ended, LineEvent::Verdict::Timeout, nowNs);
    stepFailed(Outcome::Timeout, QStringLiteral("no reply within %1 ms").arg(req_.timeoutMs), nowNs, false);
}

void Discipline::onLost() {
    if (finished()) return;
    if (sentThisStep_) {
        // Its reply may reach a port opened again.
        if (phase_ == Phase::AwaitReply || phase_ == Phase::Quiet || phase_ == Phase::EchoCheck)
            hold(stepExpect_, line_.nowNs());
        countTry(Outcome::Lost);
    }
    reader_.clear();
    tell(LineEvent::Direction::Ended, LineEvent::Verdict::Lost, line_.nowNs());
    finish(Outcome::Lost, QStringLiteral("the port went away: %1").arg(line_.errorString()));
}

void Discipline::stop() {
    if (finished()) return;
    if (sentThisStep_ &&
        (phase_ == Phase::AwaitReply || phase_ == Phase::Quiet || phase_ == Phase::EchoCheck))
        hold(stepExpect_, line_.nowNs());
    // Given up by the operator, not by the line: the try is not counted.
    tell(LineEvent::Direction::Ended, LineEvent::Verdict::Stopped, line_.nowNs());
    finish(Outcome::Stopped, QStringLiteral("stopped"));
}

qint64 Discipline::deadlineNs() const {
    switch (phase_) {
    case Phase::AwaitSilence:
        return std::min(quietFromNs() + line_.facts().frameSilenceNs, phaseEndNs_);
    case Phase::AwaitReply:
    case Phase::Quiet:
    case Phase::EchoCheck:
    case Phase::Grace:
    case Phase::Listen:
        return phaseEndNs_;
    case Phase::Settle:
        return std::min(lastRxNs_ + kSettleQuietNs, phaseEndNs_);
    case Phase::Idle:
    case Phase::Done:
        return kNever;
    }
    return kNever;
}

// ---- what is heard --------------------------------------------------------------------

void Discipline::drain(qint64 atNs) {
    while (!finished()) {
        if (phase_ == Phase::AwaitReply && echoCheck_ && !passEcho(atNs)) return;
        const FrameReader::Cut c = reader_.cut();
        if (c.kind == FrameReader::Cut::NeedMore) return;
        if (c.kind == FrameReader::Cut::Frame) {
            noiseOpen_ = false;
            onFrame(reader_.take(c.length), atNs);
            continue;
        }
        const bool listening = phase_ == Phase::AwaitReply || phase_ == Phase::Quiet;
        if (listening && (garbledAnswer(reader_.bytes()) || damagedAnswer(reader_.bytes()))) {
            const bool damaged = !garbledAnswer(reader_.bytes());
            const int length = damaged ? sensor::replyLength(reader_.bytes(), stepExpect_)
                                       : std::max(sensor::frameLength(reader_.bytes()), 1);
            heardDamaged(reader_.bytes().left(length));
            if (req_.collect) {
                garbledSeen_ = true;
                noise(reader_.take(length), LineEvent::Verdict::Crc);
                continue;
            }
            demoteCandidate();
            ex_.frame = reader_.take(length);
            tell(LineEvent::Direction::Heard, LineEvent::Verdict::Crc, atNs, ex_.frame);
            stepFailed(Outcome::Garbled, QStringLiteral("bad CRC"), atNs, true);
            continue;
        }
        heardDamaged(reader_.bytes().left(c.length));
        noise(reader_.take(c.length));
    }
}

bool Discipline::passEcho(qint64 atNs) {
    const QByteArray& heard = reader_.bytes();
    if (echo_) {
        // The first copy of the request is the adapter's, wherever it comes: a copy of a
        // write is never taken for its answer. Bytes that may begin it wait for the rest.
        const auto at = heard.indexOf(stepBytes_);
        if (at >= 0) {
            reader_.remove(static_cast<int>(at), static_cast<int>(stepBytes_.size()));
            echoCheck_ = false;
            tell(LineEvent::Direction::Heard, LineEvent::Verdict::Stripped, atNs, stepBytes_);
            return true;
        }
        for (qsizetype from = 0; from < heard.size(); ++from)
            if (stepBytes_.startsWith(heard.mid(from))) return false;
        return true;
    }
    if (heard.startsWith(stepBytes_)) {
        echoCheck_ = false;
        ex_.frame = reader_.take(static_cast<int>(stepBytes_.size()));
        tell(LineEvent::Direction::Heard, LineEvent::Verdict::Echo, atNs, ex_.frame);
        stepFailed(Outcome::Echo, echoDetail(), atNs, false);
        return false;
    }
    if (heard.isEmpty() || stepBytes_.startsWith(heard)) return heard.isEmpty();
    echoCheck_ = false; // something else came first: no copy of the request (or a garbled one)
    return true;
}

bool Discipline::looksLikeAnswer(const QByteArray& b) const {
    if (b.size() < 2) return false;
    const std::uint8_t address = sensor::senderOf(b);
    const bool from = req_.collect ? sensor::isDeviceAddress(address) : address == stepExpect_.address;
    return from && sensor::functionAnswered(b) == sensor::functionAnswered(stepBytes_);
}

bool Discipline::damagedAnswer(const QByteArray& b) {
    const auto kind = stepExpect_.kind;
    if (req_.collect || b.size() < 3 ||
        (kind != sensor::ReplyKind::Read && kind != sensor::ReplyKind::WriteEcho &&
         kind != sensor::ReplyKind::WriteMultiple))
        return false;
    const int length = sensor::longestReply(stepExpect_);
    if (b.size() < length) return false;
    if (const int sound = reader_.soundFrom(0); sound >= 0 && sound < length) return false;
    const auto byte = [&](int i) { return static_cast<std::uint8_t>(b[i]); };
    const std::uint8_t asked = stepExpect_.address;
    const std::uint8_t function = sensor::functionAnswered(stepBytes_);
    const bool addressHit = byte(0) != asked && byte(1) == function;
    const bool functionHit = byte(0) == asked && byte(1) != function && byte(1) != (function | 0x80);
    if (!addressHit && !functionHit) return false;
    // No request held for the device asked, or for the one the damaged address names, may
    // explain it. What they may owe an earlier run is not weighed: taken for this answer damaged,
    // such a frame costs a retry, never a value.
    if (pending_.holdsFor(asked, line_.nowNs())) return false;
    if (addressHit && sensor::isDeviceAddress(byte(0)) && pending_.holdsFor(byte(0), line_.nowNs()))
        return false;
    if (kind == sensor::ReplyKind::Read) return byte(2) == 2 * stepExpect_.count;
    // An echo repeats the request's register and value.
    return b.mid(2, 4) == stepBytes_.mid(2, 4);
}

bool Discipline::garbledAnswer(const QByteArray& b) const {
    // Shaped like the answer, whole by the answer's length, and no sound frame there.
    if (!looksLikeAnswer(b)) return false;
    const int length = sensor::frameLength(b);
    return length > 0 && b.size() >= length && length == sensor::replyLength(b, stepExpect_);
}

void Discipline::onFrame(const QByteArray& frame, qint64 atNs) {
    if (phase_ == Phase::Quiet) {
        if (sensor::senderOf(frame) != stepExpect_.address) {
            late(frame, atNs);
            return;
        }
        demoteCandidate();
        // Past the request's own window, the try has timed out.
        if (atNs > phaseEndNs_) {
            tell(LineEvent::Direction::Ended, LineEvent::Verdict::Timeout, atNs);
            stepFailed(Outcome::Timeout, QStringLiteral("no reply within %1 ms").arg(req_.timeoutMs), atNs,
                       false);
            late(frame, atNs);
            if (sensor::couldAnswer(frame, stepExpect_)) phaseEndNs_ = atNs;
            return;
        }
    }
    if (phase_ == Phase::EchoCheck) {
        if (frame == stepBytes_) {
            // The first copy was the adapter's; which of the two is the sensor's, nothing tells.
            tell(LineEvent::Direction::Heard, LineEvent::Verdict::Echo, heldAtNs_, heldFrame_);
            tell(LineEvent::Direction::Heard, LineEvent::Verdict::Echo, atNs, frame);
            stepFailed(Outcome::Echo, echoDetail(), atNs, false);
            return;
        }
        late(frame, atNs);
        return;
    }
    if (phase_ == Phase::AwaitReply) {
        if (req_.collect)
            collectAnswer(frame, atNs);
        else if (sensor::couldAnswer(frame, stepExpect_))
            onAnswerLike(frame, atNs);
        else
            late(frame, atNs);
        return;
    }
    late(frame, atNs);
    // The failed step's own late reply has come: no need to listen out the rest of the grace.
    if (phase_ == Phase::Grace && sensor::couldAnswer(frame, stepExpect_)) phaseEndNs_ = atNs;
}

void Discipline::onAnswerLike(const QByteArray& frame, qint64 atNs) {
    // A reply cannot end before the request and itself have crossed the line: this one was on
    // its way before the request went out.
    if (frame != stepBytes_ && tooSoon(frame, atNs)) {
        late(frame, atNs);
        return;
    }
    const bool own = !pending_.couldProduce(frame, atNs);
    const sensor::Reply reply = sensor::checkReply(frame, stepExpect_);
    const auto status = reply.status;
    // A write's answer repeats its own register and value: no earlier request but the same
    // write draws it, and callers read writes back.
    if (own && !matched() && !sensor::isWriteRequest(stepBytes_) &&
        pending_.pastLive(stepExpect_.address, atNs)) {
        candidate(frame, atNs);
        return;
    }
    if (own) {
        // Sent after everything held for the device, so everything held is settled too.
        if (status == sensor::ReplyStatus::Exception &&
            (reply.exceptionCode == MODBUS_EXCEPTION_GATEWAY_TARGET_FAILED ||
             reply.exceptionCode == MODBUS_EXCEPTION_GATEWAY_PATH_UNAVAILABLE)) {
            // A gateway's own answer: the device did not answer it, or cannot be reached. No
            // device replied, so it is a timeout, told by the gateway (its words kept in
            // reply); the gateway has given up, so no late reply is waited for.
            ex_.reply = reply;
            tell(LineEvent::Direction::Heard, LineEvent::Verdict::Exception, atNs, frame);
            tell(LineEvent::Direction::Ended, LineEvent::Verdict::Timeout, atNs);
            pending_.clear(sensor::senderOf(frame), atNs);
            stepFailed(Outcome::Timeout, QStringLiteral("no reply: %1").arg(sensor::describe(reply)), atNs,
                       false);
            phaseEndNs_ = atNs;
            return;
        }
        if (step_ == Step::Request && !echo_ && !matched() && frame == stepBytes_) {
            holdWriteEcho(frame, atNs);
            return;
        }
        pending_.clear(sensor::senderOf(frame), atNs);
        answered(status == sensor::ReplyStatus::Ok ? Outcome::Answered : Outcome::Exception, frame, atNs,
                 true);
        return;
    }
    if (status == sensor::ReplyStatus::Exception && step_ == Step::Request) {
        pending_.settle(frame, atNs);
        answered(Outcome::Exception, frame, atNs, false);
        return;
    }
    // A shape a held request shares (a resynchronising read of a count used before): it
    // settles that one. When nothing that blocks the request is left, the probe did its work.
    late(frame, atNs);
    if (step_ == Step::Sync && !pending_.blocks(req_.expect, atNs)) {
        hold(stepExpect_, atNs); // the probe's own answer may still come
        ++ex_.tally.syncs;
        startAttempt(atNs);
    }
}

void Discipline::candidate(const QByteArray& frame, qint64 atNs) {
    candidate_ = frame;
    candidateNs_ = atNs;
    phase_ = Phase::Quiet;
    phaseEndNs_ = atNs + quietNs();
}

void Discipline::demoteCandidate() {
    if (candidate_.isEmpty()) return;
    const QByteArray frame = std::exchange(candidate_, {});
    phase_ = Phase::AwaitReply;
    phaseEndNs_ = stepSentNs_ + ms(req_.timeoutMs);
    late(frame, candidateNs_);
}

void Discipline::heardDamaged(const QByteArray& burst) {
    // Bytes that hold the head of a frame from a device whose answer waits to be known as its
    // last: the device is still talking, its frame destroyed by another's.
    if (phase_ == Phase::Quiet && mayHoldBytesOf(burst, candidate_)) demoteCandidate();
    for (std::size_t i = 0; i < unsure_.size();)
        if (mayHoldBytesOf(burst, unsure_[i].frame))
            dropUnsure(sensor::senderOf(unsure_[i].frame));
        else
            ++i;
}

bool Discipline::mayHoldBytesOf(const QByteArray& bytes, const QByteArray& frame) {
    // Frames that cross each other leave their bytes mixed: the device's address anywhere is
    // enough; on a noisy line this costs the first answer of a device now and then a retry.
    return !frame.isEmpty() && bytes.contains(frame[0]);
}

bool Discipline::tooSoon(const QByteArray& frame, qint64 atNs) const {
    if (!line_.facts().wireTimed) return false;
    const qint64 character = line_.facts().characterNs;
    return atNs < stepWriteNs_ + character * (stepBytes_.size() + frame.size());
}

void Discipline::holdWriteEcho(const QByteArray& frame, qint64 atNs) {
    // The sensor's acknowledgement, or the adapter's copy of the request with the sensor's
    // to follow? Nothing is settled until that is known.
    heldFrame_ = frame;
    heldAtNs_ = atNs;
    phase_ = Phase::EchoCheck;
    phaseEndNs_ = atNs + ms(graceMs());
}

void Discipline::collectAnswer(const QByteArray& frame, qint64 atNs) {
    dropUnsure(sensor::senderOf(frame));
    if (!sensor::couldAnswer(frame, req_.expect) || pending_.couldProduce(frame, atNs, false) ||
        tooSoon(frame, atNs) || atNs > windowEndNs_) {
        late(frame, atNs);
        return;
    }
    // It may answer an earlier address read: it says the same, but its latency is unknown.
    const bool own = !pending_.settle(frame, atNs);
    if (pending_.pastLive(sensor::senderOf(frame), atNs)) {
        unsure_.push_back({frame, sensor::checkReply(frame, req_.expect), atNs, own});
        return;
    }
    const std::uint8_t from = sensor::senderOf(frame);
    const bool again = std::any_of(ex_.answers.begin(), ex_.answers.end(),
                                   [&](const Answer& a) { return sensor::senderOf(a.frame) == from; });
    if (again) {
        tell(LineEvent::Direction::Heard, LineEvent::Verdict::Late, atNs, frame);
        ex_.tally.addLate(from);
        return;
    }
    ex_.answers.push_back({frame, sensor::checkReply(frame, req_.expect), atNs, own});
    tellAnswer(ex_.answers.back());
}

void Discipline::tellAnswer(const Answer& a) const {
    tell(LineEvent::Direction::Heard,
         a.reply.ok() ? LineEvent::Verdict::Answer : LineEvent::Verdict::Exception, a.atNs, a.frame,
         a.own ? std::optional<double>(static_cast<double>(a.atNs - stepSentNs_) / 1e6) : std::nullopt);
}

void Discipline::dropUnsure(std::uint8_t from) {
    for (auto it = unsure_.begin(); it != unsure_.end(); ++it)
        if (sensor::senderOf(it->frame) == from) {
            // Already settled what it could when it was heard: only told and counted now.
            tellNotTaken(it->frame, it->atNs);
            ex_.tally.addLate(from);
            unsure_.erase(it);
            return;
        }
}

void Discipline::collectOver(qint64 nowNs) {
    qint64 waitUntil = 0;
    for (const Answer& a : unsure_)
        waitUntil = std::max(waitUntil, a.atNs + quietNs());
    if (waitUntil > nowNs) {
        phaseEndNs_ = waitUntil;
        return;
    }
    for (const Answer& a : std::exchange(unsure_, {})) {
        // Nothing more came from the device: this was the last it owed, the answer to this read.
        pending_.clear(sensor::senderOf(a.frame), nowNs);
        const auto at = std::find_if(ex_.answers.begin(), ex_.answers.end(),
                                     [&](const Answer& b) { return b.atNs > a.atNs; });
        tellAnswer(*ex_.answers.insert(at, a));
    }
    // A device slower than the window may still answer.
    hold(req_.expect, nowNs);
    if (ex_.answers.empty()) {
        if (!garbledSeen_)
            tell(LineEvent::Direction::Ended,
                 looksLikeAnswer(reader_.bytes()) ? LineEvent::Verdict::Short : LineEvent::Verdict::Timeout,
                 nowNs);
        if (garbledSeen_ || looksLikeAnswer(reader_.bytes())) {
            failedCrc_ = garbledSeen_;
            attemptFailed(Outcome::Garbled,
                          garbledSeen_ ? QStringLiteral("bad CRC") : QStringLiteral("reply too short"),
                          nowNs);
        } else
            attemptFailed(Outcome::Timeout, QStringLiteral("no reply within %1 ms").arg(req_.timeoutMs),
                          nowNs);
        return;
    }
    const auto good =
        std::find_if(ex_.answers.begin(), ex_.answers.end(), [](const Answer& a) { return a.reply.ok(); });
    const Answer& first = good != ex_.answers.end() ? *good : ex_.answers.front();
    ex_.frame = first.frame;
    ex_.reply = first.reply;
    ex_.sentNs = stepSentNs_;
    ex_.replyNs = first.atNs;
    if (first.own) ex_.latencyMs = static_cast<double>(first.atNs - stepSentNs_) / 1e6;
    const Outcome outcome = first.reply.ok() ? Outcome::Answered : Outcome::Exception;
    countTry(outcome);
    finish(outcome, first.reply.ok() ? QString() : sensor::describe(first.reply));
}

void Discipline::late(const QByteArray& frame, qint64 atNs) {
    tellNotTaken(frame, atNs);
    pending_.settle(frame, atNs);
    counts().addLate(sensor::senderOf(frame));
    if (sensor::senderOf(frame) == req_.expect.address) lateFromAsked_ = true;
}

void Discipline::noise(const QByteArray& bytes, LineEvent::Verdict verdict) {
    if (bytes.isEmpty()) return;
    tell(LineEvent::Direction::Heard, verdict, lastRxNs_, bytes);
    if (!noiseOpen_) ++counts().noise;
    noiseOpen_ = true;
}

// ---- how a step ends ------------------------------------------------------------------

void Discipline::answered(Outcome outcome, const QByteArray& frame, qint64 atNs, bool own) {
    if (step_ == Step::Sync) {
        tell(LineEvent::Direction::Heard, LineEvent::Verdict::Sync, atNs, frame);
        ++ex_.tally.syncs;
        candidate_.clear();
        startAttempt(atNs);
        return;
    }
    ex_.sent = stepBytes_;
    ex_.frame = frame;
    ex_.reply = sensor::checkReply(frame, stepExpect_);
    if (widenedBy_ >= 0 && ex_.reply.ok()) {
        // The wider read's registers, cut to those asked.
        auto& regs = ex_.reply.registers;
        regs.erase(regs.begin(), regs.begin() + widenedBy_);
        regs.resize(req_.expect.count);
    }
    ex_.sentNs = stepSentNs_;
    ex_.replyNs = atNs;
    if (own)
        ex_.latencyMs = static_cast<double>(atNs - stepSentNs_) / 1e6;
    else
        hold(stepExpect_, atNs); // the exception may have been an older request's
    tell(LineEvent::Direction::Heard,
         outcome == Outcome::Exception ? LineEvent::Verdict::Exception : LineEvent::Verdict::Answer, atNs,
         frame, ex_.latencyMs);
    countTry(outcome);
    finish(outcome, outcome == Outcome::Exception ? sensor::describe(ex_.reply) : QString());
}

void Discipline::stepFailed(Outcome outcome, const QString& detail, qint64 nowNs, bool crc) {
    failedCrc_ = crc;
    // Its answer may still come: after an echo, the sensor's own follows.
    hold(stepExpect_, nowNs);
    failed_ = outcome;
    failedDetail_ = detail;
    phase_ = outcome == Outcome::Timeout ? Phase::Grace : Phase::Settle;
    phaseEndNs_ = nowNs + ms(graceMs());
}

void Discipline::graceOver(qint64 nowNs) {
    // A probe's late answer (or another late reply) may have settled what it was sent for.
    if (step_ == Step::Sync && failed_ != Outcome::Echo && !pending_.blocks(req_.expect, nowNs)) {
        ++ex_.tally.syncs;
        startAttempt(nowNs);
        return;
    }
    QString detail = failedDetail_;
    if (failed_ == Outcome::Timeout && lateFromAsked_)
        detail += QStringLiteral(" (a late one came after it)");
    attemptFailed(failed_, detail, nowNs);
}

void Discipline::attemptFailed(Outcome outcome, const QString& detail, qint64 nowNs) {
    countTry(outcome);
    const bool again = outcome == Outcome::Garbled || (outcome == Outcome::Timeout && req_.retryTimeouts);
    if (again && attempt_ < req_.retries) {
        ++attempt_;
        startAttempt(nowNs);
        return;
    }
    finish(outcome, detail);
}

void Discipline::countTry(Outcome outcome) {
    Tally& t = ex_.tally;
    // A try that ended in its resynchronising read never put the request on the line.
    if (step_ == Step::Sync && sentThisStep_) {
        ++t.syncs;
        return;
    }
    ++t.requests;
    if (attempt_ > 0) ++t.retries;
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
        ++(failedCrc_ ? t.crcErrors : t.badReplies);
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

void Discipline::finish(Outcome outcome, const QString& detail) {
    // Replies the link itself found to answer earlier requests are late ones too.
    for (std::uint8_t from : line_.takeUnmatched())
        ex_.tally.addLate(from);
    ex_.outcome = outcome;
    ex_.detail = detail;
    phase_ = Phase::Done;
}

void Discipline::tell(LineEvent::Direction direction, LineEvent::Verdict verdict, qint64 atNs,
                      const QByteArray& bytes, std::optional<double> latencyMs) const {
    if (!observer_) return;
    LineEvent e;
    e.direction = direction;
    e.verdict = verdict;
    e.atNs = atNs;
    e.bytes = bytes;
    e.address = req_.expect.address;
    e.attempt = attempt_;
    e.latencyMs = latencyMs;
    observer_(e);
}

void Discipline::tellNotTaken(const QByteArray& frame, qint64 atNs) const {
    // While no request is out, only listening, or asking whoever is there, whatever is not taken
    // answers an earlier request; during another device's exchange it is that device's.
    const bool asked = !finished() && phase_ != Phase::Listen && !req_.collect &&
                       sensor::senderOf(frame) != req_.expect.address;
    tell(LineEvent::Direction::Heard, asked ? LineEvent::Verdict::Other : LineEvent::Verdict::Late, atNs,
         frame);
}

QString Discipline::echoDetail() {
    return QStringLiteral("the request itself came back: the adapter echoes what it sends; use --echo");
}

qint64 Discipline::quietFromNs() const {
    // The line is busy with the last byte heard, and with the last request until it is out.
    return std::max(lastRxNs_, sentOutNs_);
}

void Discipline::hold(const sensor::Expectation& request, qint64 nowNs) {
    // Where the link pairs replies with requests, nothing that may still come can be taken
    // for another's answer: there is nothing to hold, and never a reason to resynchronise.
    if (!matched()) pending_.add(request, nowNs);
}

bool Discipline::matched() const {
    return line_.facts().matchesReplies;
}

int Discipline::graceMs() const {
    return req_.graceMs >= 0 ? req_.graceMs : graceMsFor(req_.timeoutMs);
}

// ---- the blocking loop ------------------------------------------------------------------

namespace {

void drive(Discipline& d, ByteLine& line, const std::function<bool()>& stop) {
    while (!d.finished()) {
        if (stop && stop()) {
            d.stop();
            break;
        }
        const QByteArray got = line.take();
        if (!got.isEmpty()) {
            d.onBytes(got, line.nowNs());
            continue;
        }
        if (line.lost()) {
            d.onLost();
            break;
        }
        const qint64 deadline = d.deadlineNs();
        const qint64 now = line.nowNs();
        if (now >= deadline) {
            d.onDeadline(now);
            continue;
        }
        line.waitReadable(stop ? std::min(deadline, now + kStopSliceNs) : deadline);
    }
}

} // namespace

Exchange exchange(Discipline& discipline, ByteLine& line, const Request& request,
                  const std::function<bool()>& stop) {
    discipline.begin(request);
    drive(discipline, line, stop);
    return discipline.result();
}

Exchange listen(Discipline& discipline, ByteLine& line, int ms, const std::function<bool()>& stop) {
    discipline.listen(ms);
    drive(discipline, line, stop);
    return discipline.result();
}

} // namespace kv::line
