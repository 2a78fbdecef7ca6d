#include "app/quitsignals.h"

#include <QCoreApplication>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kv {

#ifdef Q_OS_UNIX
namespace {

int g_pipe[2] = {-1, -1};
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void onSignal(int sig) {
    // Both calls are safe in a handler; the next signal finds the default action.
    std::signal(sig, SIG_DFL);
    const char byte = static_cast<char>(sig);
    (void)!write(g_pipe[1], &byte, 1);
}

} // namespace

QuitOnSignals::QuitOnSignals() {
    if (g_pipe[0] >= 0 || pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char drained[16];
        while (read(g_pipe[0], drained, sizeof drained) > 0) {
        }
        requested_ = true;
        // Every running loop returns, a modal message's too, and none starts again but the main one.
        QCoreApplication::exit(0);
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int sig : kSignals) {
        struct sigaction before {};
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(sig, &action, nullptr);
    }
}

QuitOnSignals::~QuitOnSignals() {
    if (g_pipe[0] < 0) return;
    for (const int sig : kSignals) {
        struct sigaction now {};
        if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler == onSignal) std::signal(sig, SIG_DFL);
    }
    close(g_pipe[0]);
    close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}
#else
QuitOnSignals::QuitOnSignals() = default;
QuitOnSignals::~QuitOnSignals() = default;
#endif

} // namespace kv
