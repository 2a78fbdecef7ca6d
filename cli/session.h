#pragma once
// What every subcommand shares: the port and rate from the options or comm.set, the
// request with its retries, the counters of the run, the exit codes and Ctrl-C.

#include "line/discipline.h"
#include "modbus/codec.h"
#include "sensor/protocol.h"
#include "serial/byteline.h"
#include "serial/settingsfile.h"

#include <QString>

#include <memory>
#include <vector>

namespace kv::cli {

enum ExitCode {
    EXIT_OK = 0,
    EXIT_USAGE = 1,
    EXIT_PORT = 2,
    EXIT_NO_REPLY = 3,
    EXIT_DEVICE = 4,
};

// The reply timeout of Modbus masters by convention.
inline constexpr int DEFAULT_TIMEOUT_MS = 1000;

struct CommonOptions {
    std::string port; // COMn or a device path; empty: comm.set beside the program
    int rate = 0;     // 0: comm.set, else 9600
    int address = 1;
    int timeoutMs = DEFAULT_TIMEOUT_MS;
    int retries = 2;
    bool echo = false; // the adapter hears its own requests
};

// The rates a sensor may be set to; no other is sent.
[[nodiscard]] const std::vector<int>& standardRates();

// One line on stderr, "kv7702r: ...".
void error(const QString& line);
// One line on stdout, flushed at once.
void print(const QString& line);

// Ctrl-C and SIGTERM ask the run to stop; a second Ctrl-C ends the program at once.
void installStopHandler();
[[nodiscard]] bool stopRequested();

using line::Outcome;

// The counts of a run (or of one sensor of it), apart from its latencies so that they can
// be looked at cheaply: the sum of the tallies its requests brought.
struct Counters {
    int requests = 0;
    int replies = 0;
    int timeouts = 0;
    int crcErrors = 0;
    int exceptions = 0;
    int badReplies = 0;
    int lost = 0; // requests the port went away under
    int retries = 0;
    int late = 0;      // late replies: sound frames that answered nothing asked
    int noise = 0;     // bursts of bytes that were no sound frame
    int syncs = 0;     // resynchronising reads sent besides the requests
    int outages = 0;   // times the port went away during a run
    double lostMs = 0; // time without the port

    // Adds a request's tally; its late replies too unless they are counted by sender.
    void add(const line::Tally& t, bool withLate = true);
};

struct Stats : Counters {
    std::vector<double> latenciesMs; // of good replies
};

// What became of a request: the line discipline's account of it.
using Result = line::Exchange;

// The exit code a failed request leads to.
[[nodiscard]] int exitCodeFor(Outcome outcome);

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
    [[nodiscard]] const QString& device() const { return device_; }
    [[nodiscard]] std::uint8_t address() const { return static_cast<std::uint8_t>(opt_.address); }
    [[nodiscard]] int retries() const { return opt_.retries; }
    [[nodiscard]] int timeoutMs() const { return opt_.timeoutMs; }
    [[nodiscard]] bool echo() const { return opt_.echo; }

    // Sends the request until a good reply, an exception or a reply that is wrong in
    // itself, retrying timeouts and garbled replies up to `retries` times. The result's
    // tally is added to the run's counts.
    [[nodiscard]] Result request(const Frame& frame, const sensor::Expectation& expect, int retries,
                                 RetryOn retryOn = RetryOn::LineErrors, Wait wait = {});
    // The address read, listened out for its whole window (timeout and grace): every
    // distinct answer is in the result's answers.
    [[nodiscard]] Result addressRead(int retries, RetryOn retryOn = RetryOn::LineErrors, Wait wait = {});
    // Hears the line for `ms`: late replies and noise, in the result's tally.
    Result listen(int ms);

    Stats& stats() { return stats_; }
    Link& link() { return *link_; }
    line::Discipline& discipline() { return discipline_; }

private:
    Result run(const line::Request& request);

    CommonOptions opt_;
    std::unique_ptr<Link> link_;
    line::Discipline discipline_;
    QString device_;
    int rate_ = 9600;
    Stats stats_;
};

// "COM3" (any case) as the window maps it from the program's folder; anything else is a path.
[[nodiscard]] QString resolvePort(const QString& given, const QString& programDir);

// The comm.set the window would read: beside the program, or in the user's configuration
// folder when the program's folder takes no files (an installed copy).
[[nodiscard]] CommSetValues storedCommSet(const QString& programDir);

} // namespace kv::cli
