#pragma once
// What every subcommand shares: the port and rate from the options or comm.set, the
// request with its retries, the counters of the run, the exit codes and Ctrl-C.

#include "modbus/codec.h"
#include "sensor/protocol.h"
#include "serial/rtuline.h"
#include "serial/settingsfile.h"

#include <QString>

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

// Counters of one run.
// The counts of a run, apart from its latencies so that they can be looked at cheaply.
struct Counters {
    int requests = 0;
    int replies = 0;
    int timeouts = 0;
    int crcErrors = 0;
    int exceptions = 0;
    int badReplies = 0;
    int lost = 0; // requests the port went away under
    int retries = 0;
    int late = 0;                    // late replies and other bytes nobody waited for, one burst each
    int outages = 0;                 // times the port went away during a run
    double lostMs = 0;               // time without the port
};

struct Stats : Counters {
    std::vector<double> latenciesMs; // of good replies
};

struct Result {
    enum Kind { Ok, Timeout, Bad, Exception, Lost, Stopped } kind = Timeout;
    sensor::Reply reply;
    double latencyMs = 0; // 0 without a reply
    QString detail;       // one line: why it failed
    QByteArray heard;     // every byte the request drew, late ones included
    [[nodiscard]] bool ok() const { return kind == Ok; }
};

// The exit code a failed request leads to.
[[nodiscard]] int exitCodeFor(Result::Kind kind);

enum class RetryOn { LineErrors, GarbledOnly };

// How long one attempt waits: its timeout (0: the session's) and the grace period after
// it (-1: the line's rule).
struct Wait {
    int timeoutMs = 0;
    int graceMs = -1;
};

class Session {
public:
    explicit Session(CommonOptions options) : opt_(std::move(options)) {}

    // Resolves the port and rate and opens the line; on failure prints the reason (and
    // the fix for a permission problem) and returns the exit code.
    [[nodiscard]] int open();
    // Opens the port again by the name given, after it went away; true when it is back.
    [[nodiscard]] bool reopen();
    [[nodiscard]] bool setRate(int rate);
    [[nodiscard]] int rate() const { return rate_; }
    [[nodiscard]] const QString& device() const { return device_; }
    [[nodiscard]] std::uint8_t address() const { return static_cast<std::uint8_t>(opt_.address); }
    [[nodiscard]] int retries() const { return opt_.retries; }

    [[nodiscard]] int timeoutMs() const { return opt_.timeoutMs; }

    // Sends the request until a good reply, an exception or a reply that is wrong in
    // itself, retrying timeouts and garbled replies up to `retries` times. Every request
    // sent is counted in exactly one of replies, timeouts, CRC errors, exceptions, bad
    // replies or lost.
    [[nodiscard]] Result request(const Frame& frame, const sensor::Expectation& expect, int retries,
                                 RetryOn retryOn = RetryOn::LineErrors, Wait wait = {});

    Stats& stats() { return stats_; }
    RtuLine& line() { return line_; }

private:
    CommonOptions opt_;
    RtuLine line_;
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
