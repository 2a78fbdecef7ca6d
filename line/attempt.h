#pragma once
// One try: a frame sent and its answer heard out, a machine of its own fed by events (bytes
// heard at a time, a deadline reached). A try is made anew for each frame a request puts on the
// line, so nothing of one try is left for the next. Its phases are those of docs/development.md,
// "The line discipline"; what a frame heard means is the answer rule's (line/answerrule.h).

#include "line/exchange.h"
#include "line/framereader.h"
#include "line/lineevent.h"
#include "line/pending.h"
#include "serial/byteline.h"

#include <algorithm>
#include <functional>
#include <limits>

namespace kv::line {

class AnswerRule;
struct Judged;

// Long before anything on the line: the time of a byte never heard.
inline constexpr TimePoint LONG_AGO{Nanos(std::numeric_limits<Nanos::rep>::min() / 2)};

// The line as every try on it shares it, and what outlives each try.
struct Wire {
    explicit Wire(ByteLine& byteLine) : line(byteLine) {}

    ByteLine& line;
    PendingReplies pending;
    FrameReader reader;
    std::function<void(const LineEvent&)> observer;
    bool echo = false;              // the adapter hears its own requests: that copy is stripped
    TimePoint lastHeard = LONG_AGO; // the last byte heard
    TimePoint sentOut = LONG_AGO;   // the last request's last byte on the wire
    bool noiseOpen = false;         // the last bytes dropped were noise: more join that burst
    // Told with every event: the device asked and the try's number.
    std::uint8_t asked = 1;
    int attempt = 0;

    [[nodiscard]] TimePoint now() const;
    // The quiet the link needs before a request.
    [[nodiscard]] Nanos silence() const;
    // The line is busy with the last byte heard, and with the last request until it is out.
    [[nodiscard]] TimePoint quietFrom() const { return std::max(lastHeard, sentOut); }
    // The link pairs replies with requests: nothing is held, nothing resynchronised.
    [[nodiscard]] bool matched() const { return line.facts().matchesReplies; }
    // A request whose reply may still come, on a link that cannot tell it from another's.
    void hold(const sensor::Expectation& request, TimePoint now);
    void tell(LineEvent::Direction direction, LineEvent::Verdict verdict, TimePoint at,
              const QByteArray& bytes = {}, std::optional<Nanos> latency = std::nullopt) const;
    // A sound frame not taken: told as `verdict`, it settles what it answers and counts late.
    void late(const QByteArray& frame, TimePoint at, LineEvent::Verdict verdict, Tally& counts);
    void noise(const QByteArray& bytes, Tally& counts,
               LineEvent::Verdict verdict = LineEvent::Verdict::Noise);
};

class Attempt {
public:
    enum class Phase { AwaitSilence, AwaitReply, Quiet, EchoCheck, Grace, Settle, Done };
    // A resynchronising read, or the request itself (or a wider read standing for it).
    enum class Kind { Sync, Request };

    // How the try ended.
    struct End {
        // Answered, Exception, Timeout, Garbled, Echo; Busy: never sent; Lost: could not be written.
        Outcome outcome = Outcome::Timeout;
        Failure failure = Failure::None;
        // A resynchronising read whose work is done, answered or not: the request may go out.
        bool resynced = false;
        bool lateAfter = false;      // a timeout after which the device's late reply came
        TimePoint at;                // when it ended: its answer's last byte, or the deadline
        Answer answer;               // the answer taken; after a gateway's timeout, its exception
        std::vector<Answer> answers; // the address read's, in the order heard
        QByteArray garbled;          // the bytes of a garbled reply, or of the request's echo
    };

    // `request` gives the timeout, grace and quiet, and what a resynchronising read is for;
    // what is heard is counted in `counts`.
    Attempt(Wire& wire, const AnswerRule& rule, const Request& request, Tally& counts, Kind kind,
            QByteArray bytes, sensor::Expectation expect, TimePoint now);

    // Bytes fed to the wire's reader at `at`: cut and judged while the try runs.
    void heard(TimePoint at);
    // The line's clock reached deadline().
    void onDeadline(TimePoint now);
    // Given up (the line lost, the operator stopped): a request whose answer may still come is held.
    void abandon(TimePoint now);

    [[nodiscard]] TimePoint deadline() const;
    [[nodiscard]] Phase phase() const { return phase_; }
    [[nodiscard]] bool done() const { return phase_ == Phase::Done; }
    [[nodiscard]] const End& end() const { return end_; }
    [[nodiscard]] Kind kind() const { return kind_; }
    [[nodiscard]] bool sent() const { return sent_; }
    [[nodiscard]] TimePoint sentAt() const { return sentAt_; }
    [[nodiscard]] const QByteArray& bytes() const { return bytes_; }
    [[nodiscard]] const sensor::Expectation& expect() const { return expect_; }

private:
    friend class RequestRule;
    friend class AddressReadRule;

    // The only place the phase changes; `until` is when it ends.
    void enter(Phase phase, TimePoint until);
    void send(TimePoint now);
    // False while bytes may still be the request's own copy, or when the echo ended the try.
    bool passEcho(TimePoint at);
    void take(const QByteArray& frame, TimePoint at);
    void act(const Judged& judged, const QByteArray& frame, TimePoint at);
    // The address read's answer: kept, kept once its device is quiet, or late when it answered before.
    void keep(const Judged& judged, const QByteArray& frame, TimePoint at);
    void answered(const Answer& answer, Outcome outcome);
    // The answer waiting in Quiet was not the last its device sent.
    void demote();
    // Noise that may hold bytes of a frame from a device whose answer waits: it is still talking.
    void heardDamaged(const QByteArray& burst);
    void dropUnsure(std::uint8_t from);
    void late(const QByteArray& frame, TimePoint at);
    void noise(const QByteArray& bytes, LineEvent::Verdict verdict = LineEvent::Verdict::Noise);
    void tellAnswer(const Answer& answer) const;
    // No answer: its grace period (after a timeout) or its settling (after a garbled reply) follows.
    void fail(Outcome outcome, Failure failure, TimePoint now);
    void graceOver(TimePoint now);
    void resynced(TimePoint at);
    void finish(Outcome outcome, Failure failure, TimePoint at);

    // The bytes begin as this try's answer would: from whom it asks, with its function.
    [[nodiscard]] bool shaped(const QByteArray& bytes) const;
    // Shaped like the answer, whole by the answer's length, and no sound frame there.
    [[nodiscard]] bool garbledAnswer(const QByteArray& bytes) const;
    // The bytes could not have crossed the line since the request began to go out.
    [[nodiscard]] bool tooSoon(const QByteArray& frame, TimePoint at) const;
    [[nodiscard]] std::optional<Nanos> latencyOf(const Answer& answer) const;
    [[nodiscard]] TimePoint windowEnd() const;
    [[nodiscard]] Millis grace() const;
    [[nodiscard]] Millis quiet() const;

    Wire& wire_;
    const AnswerRule& rule_;
    const Request& request_;
    Tally& counts_;
    const Kind kind_;
    const QByteArray bytes_;
    const sensor::Expectation expect_;
    Phase phase_ = Phase::AwaitSilence;
    TimePoint until_;
    bool sent_ = false;
    TimePoint writeAt_;      // the request began to go out
    TimePoint sentAt_;       // its last byte written
    bool echoCheck_ = false; // the start of what is heard may be the request's own copy
    bool lateFromAsked_ = false;
    // Quiet: the answer, until its device has said nothing more; EchoCheck: a write's answer,
    // until no second copy came.
    Answer waiting_;
    // The address read: answers from devices that may still owe an earlier run, kept once
    // each has said nothing more for the quiet; whether a reply of its shape came garbled.
    std::vector<Answer> unsure_;
    bool garbledSeen_ = false;
    End end_;
};

} // namespace kv::line
