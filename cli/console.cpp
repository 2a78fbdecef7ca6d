#include "cli/console.h"

#include <QRegularExpression>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kv::cli {
namespace {

std::atomic<bool> g_stop{false};
#ifdef Q_OS_UNIX
int g_wake[2] = {-1, -1}; // a pipe a signal writes to, so that an event loop wakes for it
#endif

extern "C" void onStopSignal(int sig) {
    g_stop = true;
    wakeOnSignal();
    // The next one ends the program, should a wait not notice.
    std::signal(sig, SIG_DFL);
}

} // namespace

int exitCodeFor(Outcome outcome) {
    switch (outcome) {
    case Outcome::Answered:
        return EXIT_OK;
    case Outcome::Timeout:
    case Outcome::Lost:
    case Outcome::Stopped:
    case Outcome::Busy:
        return EXIT_NO_REPLY;
    case Outcome::Exception:
    case Outcome::Garbled:
    case Outcome::Echo:
        return EXIT_DEVICE;
    }
    return EXIT_DEVICE;
}

void error(const QString& line) {
    std::fprintf(stderr, "kv7702r: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

void print(const QString& line) {
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::optional<std::string> ask(const QString& prompt) {
    std::fprintf(stderr, "%s", prompt.toLocal8Bit().constData());
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    return line;
}

QString shellWord(const QString& text) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./:@%+=-]+$"));
    if (plain.match(text).hasMatch()) return text;
    QString q = text;
    q.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + q + QLatin1Char('\'');
}

void wakeOnSignal() {
#ifdef Q_OS_UNIX
    if (g_wake[1] < 0) return;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_wake[1], &byte, 1);
#endif
}

int signalWakeFd() {
#ifdef Q_OS_UNIX
    return g_wake[0];
#else
    return -1;
#endif
}

void installStopHandler() {
#ifdef Q_OS_UNIX
    if (g_wake[0] < 0 && ::pipe2(g_wake, O_NONBLOCK | O_CLOEXEC) != 0) g_wake[0] = g_wake[1] = -1;
#endif
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
}

bool stopRequested() {
    return g_stop;
}

} // namespace kv::cli
