#include "sim/clock.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kvsim {

namespace {

int g_signalPipe[2] = {-1, -1};

extern "C" void onSignal(int) {
    const int saved = errno;
    const char c = 1;
    [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &c, 1);
    errno = saved;
}

} // namespace

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool installTerminationSignals() {
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

int terminationFd() {
    return g_signalPipe[0];
}

bool terminationRequested() {
    pollfd p{g_signalPipe[0], POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

bool waitUntil(int64_t deadlineUs) {
    for (;;) {
        const int64_t left = deadlineUs - nowUs();
        if (left <= 0) return !terminationRequested();
        pollfd p{g_signalPipe[0], POLLIN, 0};
        timespec ts{static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
        const int r = ppoll(&p, 1, &ts, nullptr);
        if (r > 0) return false;
    }
}

} // namespace kvsim
