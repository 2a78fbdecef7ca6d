#pragma once
// The line discipline of a strict Modbus-RTU master: every exchange of the command line goes
// through here, over any byte line. A request's life is a machine fed by events (bytes at a
// time, a deadline, a lost line), so that one thread can drive many lines; `exchange` below is
// the blocking loop of a program with one line. The model (the phases, what is held, what the
// line rests on, what a retry costs, the bound) is in docs/development.md, "The line discipline".

#include "line/framereader.h"
#include "line/lineevent.h"
#include "line/pending.h"
#include "sensor/protocol.h"
#include "serial/byteline.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace kv::line {

enum class Outcome {
    Answered,  // a sound reply that answers this request
    Exception, // the device's Modbus exception to it
    Garbled,   // the bytes of its reply were no sound one: a bad CRC, or cut short
    Timeout,   // sent, and no answer within the timeout
    Echo,      // the request itself came back: an adapter that hears its own transmission
    Lost,      // the line went away
    Stopped,   // the operator asked to stop
    Busy,      // never sent: the line never fell silent, or the device could not be resynchronised
};

// What one request adds to the counts of a run.
struct Tally {
    int requests = 0; // tries that put the request (or a wider read of it) on the line
    int retries = 0;
    int replies = 0;
    int exceptions = 0;
    int timeouts = 0;
    int crcErrors = 0;
    int badReplies = 0; // cut short, or the request echoed
    int lost = 0;       // tries the line went away under
    int syncs = 0;      // resynchronising reads that went out besides, answered or not
    int noise = 0;      // bursts of bytes that were no sound frame
    // Sound frames that answered nothing asked of their sender, by sender.
    std::vector<std::pair<std::uint8_t, int>> late;

    void addLate(std::uint8_t from);
    [[nodiscard]] int lateFrom(std::uint8_t address) const;
    [[nodiscard]] int lateTotal() const;
    Tally& operator+=(const Tally& other);
};

struct Request {
    QByteArray bytes;
    sensor::Expectation expect;
    int timeoutMs = 1000;
    int graceMs = -1; // after a timeout; -1: graceMsFor(timeoutMs)
    int retries = 0;
    bool retryTimeouts = true; // false: only garbled replies are tried again
    // How long a device may take over one request, after its answer, before that answer is
    // trusted as the last it owed an earlier run; -1: the timeout (a short probe gives the run's).
    int quietMs = -1;
    // Listen out timeout and grace and keep every distinct answer (the address read).
    bool collect = false;
};

struct Answer {
    QByteArray frame;
    sensor::Reply reply;
    qint64 atNs = 0; // its last byte read
    // Surely the answer to this try, not to an earlier address read still held.
    bool own = true;
};

struct Exchange {
    Outcome outcome = Outcome::Timeout;
    QString detail;      // one line: why it failed
    QByteArray sent;     // the request the answer answers: the one asked, or a wider read of it
    QByteArray frame;    // the answer, or the bytes of a garbled one
    sensor::Reply reply; // the judge's reading of the answer, registers as the request asked them
    qint64 sentNs = 0;   // the request's last byte written
    qint64 replyNs = 0;  // the answer's last byte read
    // replyNs - sentNs; none without an answer, or for an exception a held request could have drawn.
    std::optional<double> latencyMs;
    std::vector<Answer> answers; // collect: every distinct answer, in the order heard
    Tally tally;
    [[nodiscard]] bool ok() const { return outcome == Outcome::Answered; }
};

// How long the line listens for a late reply after a timeout before it sends again.
[[nodiscard]] int graceMsFor(int timeoutMs);

class Discipline {
public:
    // Nothing is known of what was asked on the line before: see PendingReplies::pastUnknown.
    explicit Discipline(ByteLine& line);

    // An adapter that hears its own transmission: strip that copy of each request.
    void setEcho(bool echo) { echo_ = echo; }
    // Off: a request a held one blocks always waits for a resynchronising read first (two
    // exchanges a try) instead of going out as a wider read; on by default, off only to weigh
    // the two (bench/retry_cost).
    void setWiderReads(bool on) { widerReads_ = on; }
    // Told of every request written, everything heard with its verdict, and every try that
    // ended without an answer, as it happens; none by default.
    void setObserver(std::function<void(const LineEvent&)> observer) { observer_ = std::move(observer); }

    // Starts a request; its result is ready when finished().
    void begin(const Request& request);
    // Hears the line for `ms` without asking anything: late replies and noise.
    void listen(int ms);

    void onBytes(const QByteArray& bytes, qint64 atNs);
    // The line's clock reached deadlineNs().
    void onDeadline(qint64 nowNs);
    void onLost();
    void stop();

    // When onDeadline is due at the latest, on the line's clock.
    [[nodiscard]] qint64 deadlineNs() const;
    [[nodiscard]] bool finished() const { return phase_ == Phase::Done || phase_ == Phase::Idle; }
    [[nodiscard]] const Exchange& result() const { return ex_; }

    [[nodiscard]] PendingReplies& pending() { return pending_; }
    // The line's rate changed: what was on its way arrives as noise, and no held reply can
    // come at the new rate.
    void rateChanged();
    // The line was opened again: bytes from before are gone, held replies may still come.
    void reopened() { reader_.clear(); }

private:
    // Quiet: an answer came from a device that may still owe an earlier run's replies; it is
    // taken once the device has said nothing more for a timeout.
    enum class Phase { Idle, AwaitSilence, AwaitReply, Quiet, EchoCheck, Grace, Settle, Listen, Done };
    enum class Step { Sync, Request };

    void startAttempt(qint64 nowNs);
    void startStep(Step step, qint64 nowNs, const QByteArray& bytes, const sensor::Expectation& expect);
    // Whatever came while no request was out: late replies and noise, heard out as they came.
    void hearIdle(qint64 atNs);
    // The bytes could not have crossed the line since the request began to go out.
    [[nodiscard]] bool tooSoon(const QByteArray& frame, qint64 atNs) const;
    void candidate(const QByteArray& frame, qint64 atNs);
    // Something more came from the device asked: the answer waiting in Quiet was not the last.
    void demoteCandidate();
    void heardDamaged(const QByteArray& burst);
    // Whether a burst of noise may hold bytes of a frame from `frame`'s device.
    [[nodiscard]] static bool mayHoldBytesOf(const QByteArray& bytes, const QByteArray& frame);
    // Bytes of the answer's length and shape but for its address or function, from a device
    // that owes nothing: the answer, damaged.
    [[nodiscard]] bool damagedAnswer(const QByteArray& bytes);
    void send(qint64 nowNs);
    void replyOverdue(qint64 nowNs);
    void drain(qint64 atNs);
    // False when the echo check is still waiting for bytes or ended the step.
    bool passEcho(qint64 atNs);
    void onFrame(const QByteArray& frame, qint64 atNs);
    void onAnswerLike(const QByteArray& frame, qint64 atNs);
    void holdWriteEcho(const QByteArray& frame, qint64 atNs);
    void collectAnswer(const QByteArray& frame, qint64 atNs);
    void collectOver(qint64 nowNs);
    // Collect: an answer from a device that may still owe an earlier run waits in unsure_ until
    // the device has said nothing more for quietNs(); a later frame from it drops the answer.
    void dropUnsure(std::uint8_t from);
    [[nodiscard]] qint64 quietNs() const { return ms(req_.quietMs >= 0 ? req_.quietMs : req_.timeoutMs); }
    void late(const QByteArray& frame, qint64 atNs);
    void noise(const QByteArray& bytes, LineEvent::Verdict verdict = LineEvent::Verdict::Noise);
    // The bytes begin as this step's answer would: from its device, with its function.
    [[nodiscard]] bool looksLikeAnswer(const QByteArray& bytes) const;
    [[nodiscard]] bool garbledAnswer(const QByteArray& bytes) const;
    void answered(Outcome outcome, const QByteArray& frame, qint64 atNs, bool own);
    void stepFailed(Outcome outcome, const QString& detail, qint64 nowNs, bool crc);
    void graceOver(qint64 nowNs);
    void attemptFailed(Outcome outcome, const QString& detail, qint64 nowNs);
    void countTry(Outcome outcome);
    void finish(Outcome outcome, const QString& detail);
    [[nodiscard]] int graceMs() const;
    [[nodiscard]] qint64 quietFromNs() const;
    // A request whose reply may still come, on a link that cannot tell it from another's.
    void hold(const sensor::Expectation& request, qint64 nowNs);
    [[nodiscard]] bool matched() const;
    [[nodiscard]] static QString echoDetail();
    [[nodiscard]] static qint64 ms(qint64 v) { return v * 1000000; }
    void tell(LineEvent::Direction direction, LineEvent::Verdict verdict, qint64 atNs,
              const QByteArray& bytes = {}, std::optional<double> latencyMs = std::nullopt) const;
    // A sound frame not taken: late from the device asked, or another device's.
    void tellNotTaken(const QByteArray& frame, qint64 atNs) const;
    // The address read's answer, with its latency where it is surely this read's.
    void tellAnswer(const Answer& a) const;
    // Where what is heard is counted: the exchange's, or while none runs, the next one's.
    [[nodiscard]] Tally& counts() { return finished() ? idle_ : ex_.tally; }

    ByteLine& line_;
    bool echo_ = false;
    bool widerReads_ = true;
    std::function<void(const LineEvent&)> observer_;
    PendingReplies pending_;
    FrameReader reader_;

    Request req_;
    Exchange ex_;
    Phase phase_ = Phase::Idle;
    Step step_ = Step::Request;
    QByteArray stepBytes_;
    sensor::Expectation stepExpect_;
    int attempt_ = 0;
    bool sentThisStep_ = false;
    qint64 stepSentNs_ = 0;
    qint64 stepWriteNs_ = 0; // when the step's request began to go out
    int widenedBy_ = -1;     // the request went out as a wider read: its registers start this far in
    QByteArray candidate_;   // Quiet: the answer, until the device has said nothing more
    qint64 candidateNs_ = 0;
    Tally idle_; // heard while no request was out, for the next exchange's count
    std::vector<Answer> unsure_;
    qint64 windowEndNs_ = 0; // collect: the end of the window itself, before any wait for unsure_
    qint64 sentOutNs_ = std::numeric_limits<qint64>::min() / 2; // the last request's last byte on the wire
    bool echoCheck_ = false;   // the start of what is heard may be the request's own copy
    bool garbledSeen_ = false; // collect: a reply of its shape was garbled
    bool noiseOpen_ = false;   // the last bytes dropped were noise: more join that burst
    bool lateFromAsked_ = false;
    Outcome failed_ = Outcome::Timeout; // a step's outcome while its grace or settling runs
    QString failedDetail_;
    bool failedCrc_ = false;
    qint64 phaseEndNs_ = 0;
    QByteArray heldFrame_; // EchoCheck: the write's answer, until no second copy came
    qint64 heldAtNs_ = 0;
    qint64 lastRxNs_ = std::numeric_limits<qint64>::min() / 2;
};

// Drives one request to its end on a line nothing else drives: waits on the line until it
// is readable or the machine's deadline passes, and feeds the machine. `stop`, when given,
// is asked at least every 50 ms.
Exchange exchange(Discipline& discipline, ByteLine& line, const Request& request,
                  const std::function<bool()>& stop = {});
// Hears the line out for `ms`.
Exchange listen(Discipline& discipline, ByteLine& line, int ms, const std::function<bool()>& stop = {});

} // namespace kv::line
