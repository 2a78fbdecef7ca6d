#pragma once
// What the command line says and how it ends: lines on stdout and stderr, a question to the
// operator, Ctrl-C, and the exit codes with the outcome of a request each follows from.

#include "line/discipline.h"

#include <QString>

#include <optional>
#include <string>

namespace kv::cli {

enum ExitCode {
    EXIT_OK = 0,
    EXIT_USAGE = 1,
    EXIT_PORT = 2,
    EXIT_NO_REPLY = 3,
    EXIT_DEVICE = 4,
};

using line::Outcome;

// The exit code a failed request leads to.
[[nodiscard]] int exitCodeFor(Outcome outcome);

// One line on stderr, "kv7702r: ...".
void error(const QString& line);
// One line on stdout, flushed at once.
void print(const QString& line);
// A line from the operator after the prompt on stderr; empty at the end of input.
[[nodiscard]] std::optional<std::string> ask(const QString& prompt);

// The text as one word of a POSIX shell: quoted only when it needs to be.
[[nodiscard]] QString shellWord(const QString& text);

// Ctrl-C and SIGTERM ask the run to stop; a second Ctrl-C ends the program at once.
void installStopHandler();
// Readable once a signal the run waits on has come (after installStopHandler; -1 where there is
// none, and on Windows); wakeOnSignal(), safe in a signal handler, makes it so.
[[nodiscard]] int signalWakeFd();
void wakeOnSignal();
[[nodiscard]] bool stopRequested();

} // namespace kv::cli
