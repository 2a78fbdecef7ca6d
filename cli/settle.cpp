#include "cli/settle.h"

#include "cli/console.h"
#include "sensor/plausibility.h"
#include "sensor/values.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <iostream>
#include <numeric>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <unistd.h>
#endif

namespace kv::cli {
namespace {

// A line the operator has typed, without waiting for one.
bool lineTyped() {
#ifdef Q_OS_UNIX
    pollfd p{STDIN_FILENO, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
#else
    return true;
#endif
}

bool onTerminal() {
#ifdef Q_OS_UNIX
    return ::isatty(STDIN_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1;
#else
    return false;
#endif
}

void showLive(const QString& text) {
    std::fputs((QStringLiteral("\r") + text + QStringLiteral("\x1b[K")).toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

// One reading in ohm x 100, as the register holds it; empty, after saying why, with the exit
// code in `code`.
std::optional<std::uint16_t> reading(Session& s, int& code) {
    const Result r = s.readResistance();
    if (!r.ok()) {
        error(QStringLiteral("reading the resistance failed: %1").arg(r.detail));
        code = exitCodeFor(r.outcome);
        return std::nullopt;
    }
    const std::uint16_t raw = r.reply.registers[0];
    if (const QString why = sensor::implausibleResistance(raw); !why.isEmpty()) {
        error(QStringLiteral("%1: no PT100 reads so; is the probe connected?").arg(why));
        code = EXIT_DEVICE;
        return std::nullopt;
    }
    return raw;
}

// In the register's hundredths of an ohm, so that a bound is met or not without rounding.
int spreadOf(const std::deque<std::uint16_t>& v) {
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    return *hi - *lo;
}

} // namespace

bool awaitWithResistance(Session& s, const QString& prompt) {
    if (!onTerminal()) return ask(prompt).has_value();
    std::fprintf(stderr, "%s\n", prompt.toLocal8Bit().constData());
    while (!lineTyped() && !stopRequested()) {
        const Result r = s.readResistance();
        showLive(r.ok() ? QStringLiteral("  resistance %1 ohm")
                              .arg(sensor::resistanceOhm(r.reply.registers[0]), 0, 'f', 2)
                        : QStringLiteral("  resistance: %1").arg(r.detail));
        (void)s.listen(READING_EVERY_MS);
    }
    showLive(QString());
    std::string line;
    return !stopRequested() && static_cast<bool>(std::getline(std::cin, line));
}

std::optional<Settled> settledResistance(Session& s, const SettleOptions& o, int& code) {
    const bool live = onTerminal();
    const auto bound = static_cast<int>(std::lround(o.spreadOhm * 100));
    std::deque<std::uint16_t> last;
    Settled out;
    const int most = SETTLE_WITHIN_S * 1000 / READING_EVERY_MS;
    for (out.readings = 0; out.readings < most && !stopRequested();) {
        const auto raw = reading(s, code);
        if (!raw) return std::nullopt;
        ++out.readings;
        last.push_back(*raw);
        if (static_cast<int>(last.size()) > o.samples) last.pop_front();
        const int spread = spreadOf(last);
        if (live)
            showLive(QStringLiteral("  resistance %1 ohm, spread of the last %2: %3 ohm")
                         .arg(sensor::hundredthsText(*raw))
                         .arg(last.size())
                         .arg(sensor::hundredthsText(spread)));
        if (static_cast<int>(last.size()) == o.samples && spread <= bound) {
            if (live) showLive(QString());
            out.meanOhm =
                std::accumulate(last.begin(), last.end(), 0.0) / 100.0 / static_cast<double>(last.size());
            out.spreadOhm = spread / 100.0;
            return out;
        }
        (void)s.listen(READING_EVERY_MS);
    }
    if (live) showLive(QString());
    if (stopRequested()) {
        error(QStringLiteral("stopped after %1 reading(s); nothing written").arg(out.readings));
        code = EXIT_NO_REPLY;
        return std::nullopt;
    }
    error(
        QStringLiteral("the resistance did not settle within %1 s: the last %2 readings spread %3 ohm, more "
                       "than %4 (--spread); nothing written")
            .arg(SETTLE_WITHIN_S)
            .arg(last.size())
            .arg(sensor::hundredthsText(last.empty() ? 0 : spreadOf(last)))
            .arg(o.spreadOhm));
    code = EXIT_DEVICE;
    return std::nullopt;
}

} // namespace kv::cli
