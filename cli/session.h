#pragma once
// A run's line to its sensors: the port opened by name, the sensor's requests sent through
// the line discipline with the run's timeout and retries, and the counts of the run.

#include "cli/port.h"
#include "cli/summary.h"
#include "cli/wallclock.h"
#include "line/discipline.h"
#include "modbus/codec.h"
#include "sensor/protocol.h"
#include "serial/byteline.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kv::cli {

// The reply timeout of Modbus masters by convention.
inline constexpr int DEFAULT_TIMEOUT_MS = 1000;
// How long a write whose port went away waits for it to come back before reading back.
inline constexpr int REOPEN_FOR_READ_BACK_MS = 5000;

struct CommonOptions {
    PortOption port; // --port; none given: the port in comm.set
    int rate = 0;    // 0: comm.set's for a serial port, else 9600
    int address = 1;
    int timeoutMs = DEFAULT_TIMEOUT_MS;
    int retries = 2;
    bool echo = false; // the adapter hears its own requests
    LineFormat format; // parity and stop bits; 8N1 unless given
    // A network link is made anew after this many requests in a row went unanswered; 0: never
    // (read sets it: a scan's silent addresses are no reason to reconnect).
    int reconnectAfter = 0;
};

// What became of a request: the line discipline's account of it, and why it failed in words.
struct Result : line::Exchange {
    Result() = default;
    // Implicit: every exchange reaches the command line worded.
    Result(line::Exchange exchange); // NOLINT(google-explicit-constructor)
    QString detail; // one line: describe(), and what to check where only garbage came back
};

enum class RetryOn { LineErrors, GarbledOnly };

// How long one attempt waits: its timeout (0: the session's) and the grace period after
// it (-1: the line's rule).
struct Wait {
    int timeoutMs = 0;
    int graceMs = -1;
};

class Session {
public:
    explicit Session(CommonOptions options);
    // A session over a line opened elsewhere, by the name given (tests: a scripted line).
    Session(CommonOptions options, std::unique_ptr<Link> link, QString device, int rate);

    // Resolves the port and rate and opens the line; on failure prints the reason (and
    // the fix for a permission problem) and returns the exit code.
    [[nodiscard]] int open();
    // Opens the port again by the name given, after it went away; true when it is back.
    [[nodiscard]] bool reopen();
    // Tries to open the port again for up to `ms`, about twice a second; true when it is back.
    [[nodiscard]] bool reopenWithin(int ms);
    [[nodiscard]] bool setRate(int rate);
    [[nodiscard]] int rate() const { return rate_; }
    // Parity and stop bits: what was on its way at the old format arrives as noise.
    [[nodiscard]] bool setFormat(const LineFormat& format);
    [[nodiscard]] const LineFormat& format() const { return link_->format(); }
    // The sensor the requests go to unless one is given: a batch asks a row of them in turn.
    void setAddress(int address) { opt_.address = address; }
    [[nodiscard]] const QString& device() const { return device_; }
    [[nodiscard]] std::uint8_t address() const { return static_cast<std::uint8_t>(opt_.address); }
    [[nodiscard]] int retries() const { return opt_.retries; }
    [[nodiscard]] int timeoutMs() const { return opt_.timeoutMs; }
    [[nodiscard]] bool echo() const { return opt_.echo; }
    // What kind of line it is: whether it has a rate to set, whether it pairs replies itself.
    [[nodiscard]] LinkFacts linkFacts() const { return link_->facts(); }

    // The sensor's requests with the session's timeout and retries, to the session's
    // address unless one is given.
    [[nodiscard]] Result measure(std::uint8_t address);
    [[nodiscard]] Result readParameter(int i);
    [[nodiscard]] Result readResistance();
    // One holding register, as a read-back reads it.
    [[nodiscard]] Result readRegister(std::uint16_t reg);
    // Sent once: a change that took effect would not be answered at the old address again.
    [[nodiscard]] Result changeAddress(std::uint8_t to);

    // Sends the request until a good reply, an exception or a reply that is wrong in
    // itself, retrying timeouts and garbled replies up to `retries` times. The result's
    // tally is added to the run's counts.
    [[nodiscard]] Result request(const Frame& frame, const sensor::Expectation& expect, int retries,
                                 RetryOn retryOn = RetryOn::LineErrors, Wait wait = {});
    // The same for a request of any length (function 16).
    [[nodiscard]] Result request(const QByteArray& bytes, const sensor::Expectation& expect, int retries);
    // The address read, listened out for its whole window (timeout and grace): every
    // distinct answer is in the result's answers.
    [[nodiscard]] Result addressRead(int retries, RetryOn retryOn = RetryOn::LineErrors, Wait wait = {});
    // Hears the line for `ms`: late replies and noise, in the result's tally.
    Result listen(int ms);

    // Whether a failed request that heard bytes but never a sound frame says, in its detail,
    // to check the line's rate and format (on by default; scan tries those itself, and read
    // keeps its rows' words and says it once in its summary).
    void setFormatHint(bool on) { formatHint_ = on; }

    // Everything the line does and hears, as it happens (the trace).
    void observe(std::function<void(const line::LineEvent&)> observer) {
        discipline_.setObserver(std::move(observer));
    }
    // The run's wall clock, tied to the line's when the session began.
    [[nodiscard]] const WallClock& wallClock() const { return wallClock_; }
    [[nodiscard]] qint64 nowNs() const { return link_->nowNs(); }

    Stats& stats() { return stats_; }
    // Its line discipline, for a run that drives the line itself.
    line::Discipline& discipline() { return discipline_; }
    // The line itself, for tests that keep time on its clock.
    Link& link() { return *link_; }

private:
    [[nodiscard]] line::Request prepared(const QByteArray& bytes, const sensor::Expectation& expect,
                                         int retries, RetryOn retryOn, Wait wait) const;
    Result run(const line::Request& request);

    CommonOptions opt_;
    std::unique_ptr<Link> link_;
    line::Discipline discipline_;
    QString device_;
    int rate_ = 9600;
    WallClock wallClock_;
    Stats stats_;
    bool formatHint_ = true;
};

// Bytes came back but never a sound frame, as when the sensor's rate, parity or stop bits
// differ from the line's: true for a failed request's tally, or a run's counts.
[[nodiscard]] bool onlyGarbageHeard(const line::Tally& tally);
// What to check then: the options of the line's rate and format, or, behind a device server,
// the server's settings.
[[nodiscard]] QString formatHint(const Session& s);

// The options that reach the session's line as it is now: "--port P --rate R", with
// "--parity" and "--stop-bits" when not 8N1; shell words, ready to paste.
[[nodiscard]] QString lineOptions(const Session& s);
// The same for a rate and format found on the session's port.
[[nodiscard]] QString lineOptions(const Session& s, int rate, const LineFormat& format);

} // namespace kv::cli
