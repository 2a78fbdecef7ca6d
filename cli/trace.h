#pragma once
// The trace of a run: every request written and everything heard, as it happens, with the
// time to the millisecond, the direction, the bytes in hex, the latency of an answer and the
// judge's verdict. Lines on stderr for a person, or JSON lines in a file for a program.
//
//   2026-12-08T22:20:59.165Z tx request to 1: 01 03 00 00 00 02 C4 0B
//   2026-12-08T22:20:59.188Z rx answer 23.1 ms: 01 03 04 0B B8 08 98 FE 41
//   2026-12-08T22:21:00.490Z -- timeout (address 1)
//   {"time":"2026-12-08T22:20:59.188Z","dir":"rx","verdict":"answer","address":1,"try":0,
//    "latency_ms":23.1,"hex":"01 03 04 0B B8 08 98 FE 41"}

#include "cli/wallclock.h"
#include "line/lineevent.h"

#include <QString>

#include <cstdio>
#include <optional>
#include <string>

namespace kv::cli {

// One trace line without its newline; `port` names the line where a run has several (DTUs
// dialling in).
[[nodiscard]] QString traceText(const line::LineEvent& e, const WallClock& clock, const QString& port = {});
[[nodiscard]] QString traceJson(const line::LineEvent& e, const WallClock& clock, const QString& port = {});

class TraceWriter {
public:
    enum Format { Text, JsonLines };
    // Writes to `to`, which it does not own.
    TraceWriter(Format format, std::FILE* to, WallClock clock) : format_(format), to_(to), clock_(clock) {}
    // Writes and flushes one line; after the output refused one, writes nothing more.
    void write(const line::LineEvent& e, const QString& port = {});
    // False once the output refused a line (disk full, closed pipe).
    [[nodiscard]] bool ok() const { return ok_; }

private:
    Format format_;
    std::FILE* to_;
    WallClock clock_;
    bool ok_ = true;
};

// Where --trace goes: lines on stderr ("-"), or JSON lines appended to a file.
class TraceSink {
public:
    TraceSink() = default;
    ~TraceSink();
    TraceSink(const TraceSink&) = delete;
    TraceSink& operator=(const TraceSink&) = delete;
    // False, after saying why, when the file cannot be written.
    [[nodiscard]] bool open(const std::string& target, const WallClock& clock);
    // Says so once when the output refuses a line; the run goes on without its trace.
    void write(const line::LineEvent& e, const QString& port = {});

private:
    std::string target_;
    std::FILE* file_ = nullptr;
    std::optional<TraceWriter> writer_;
};

} // namespace kv::cli
