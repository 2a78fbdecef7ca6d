#pragma once
// The line discipline of a strict Modbus-RTU master: every exchange of the command line goes
// through here, over any byte line. A request is a machine fed by events (bytes at a time, a
// deadline, a lost line), so that one thread can drive many lines; `exchange` below is the
// blocking loop of a program with one line. A request runs as tries (line/attempt.h), each one
// frame on the line: the request itself, a wider read standing for it, or a resynchronising
// read first; it retries and keeps the counts. The model (the phases, what is held, what the
// line rests on, what a retry costs, the bound) is in docs/development.md, "The line discipline".

#include "line/attempt.h"
#include "line/exchange.h"
#include "line/lineevent.h"
#include "line/pending.h"
#include "serial/byteline.h"

#include <QByteArray>

#include <functional>
#include <optional>
#include <utility>

namespace kv::line {

class AnswerRule;

class Discipline {
public:
    // Nothing is known of what was asked on the line before: see PendingReplies::pastUnknown.
    explicit Discipline(ByteLine& line);
    Discipline(const Discipline&) = delete;
    Discipline& operator=(const Discipline&) = delete;

    // An adapter that hears its own transmission: strip that copy of each request.
    void setEcho(bool echo) { wire_.echo = echo; }
    // Off: a request a held one blocks always waits for a resynchronising read first (two
    // exchanges a try) instead of going out as a wider read; on by default, off only to weigh
    // the two (bench/retry_cost).
    void setWiderReads(bool on) { widerReads_ = on; }
    // Told of every request written, everything heard with its verdict, and every try that
    // ended without an answer, as it happens; none by default.
    void setObserver(std::function<void(const LineEvent&)> observer) { wire_.observer = std::move(observer); }

    // Starts a request; its result is ready when finished().
    void begin(const Request& request);
    // Hears the line for `duration` without asking anything: late replies and noise.
    void listen(Millis duration);

    void onBytes(const QByteArray& bytes, TimePoint at);
    // The line's clock reached deadline().
    void onDeadline(TimePoint now);
    void onLost();
    void stop();

    // When onDeadline is due at the latest, on the line's clock.
    [[nodiscard]] TimePoint deadline() const;
    [[nodiscard]] bool finished() const { return state_ == State::Finished; }
    [[nodiscard]] const Exchange& result() const { return ex_; }

    [[nodiscard]] PendingReplies& pending() { return wire_.pending; }
    // The line's rate changed: what was on its way arrives as noise, and no held reply can
    // come at the new rate.
    void rateChanged();
    // The line was opened again: bytes from before are gone, held replies may still come.
    void reopened() { wire_.reader.clear(); }

private:
    enum class State { Finished, Listening, Asking };

    // Hears out what came before, and starts the exchange's account afresh; the line's time.
    TimePoint fresh(const Request& request);
    // A try of the request: a wider read or a resynchronising read first where what is held
    // could draw its answer.
    void startAttempt(TimePoint now);
    void startTry(Attempt::Kind kind, QByteArray bytes, const sensor::Expectation& expect, TimePoint now);
    // The try is given up: what it heard stays in the account.
    void abandon(TimePoint now);
    void tryEnded();
    // What a try heard that the exchange keeps however it ends: a garbled reply's bytes, the
    // answer or a gateway's exception, the address read's answers.
    void account(const Attempt::End& end);
    void answered(const Attempt::End& end);
    void failed(const Attempt::End& end);
    void countTry(Outcome outcome, Failure failure);
    void finish(Outcome outcome, Failure failure);
    // Whatever came while no request was out: late replies and noise, heard out as they came.
    void hearIdle(TimePoint at, Tally& counts);

    Wire wire_;
    bool widerReads_ = true;
    const AnswerRule* rule_ = nullptr; // the request's, chosen as it begins
    Request req_;
    Exchange ex_;
    Tally idle_; // heard while no request was out, for the next exchange's count
    State state_ = State::Finished;
    TimePoint listenUntil_;
    std::optional<Attempt> try_;
};

// Drives one request to its end on a line nothing else drives: waits on the line until it
// is readable or the machine's deadline passes, and feeds the machine. `stop`, when given,
// is asked at least every 50 ms.
Exchange exchange(Discipline& discipline, ByteLine& line, const Request& request,
                  const std::function<bool()>& stop = {});
// Hears the line out for `duration`.
Exchange listen(Discipline& discipline, ByteLine& line, Millis duration,
                const std::function<bool()>& stop = {});

} // namespace kv::line
