// The bus poller on the fake line, in virtual time: rounds on their period, a link away and
// back with its rounds written as the link's, and a stop that gives up the request under way.

#include "clirun.h"
#include "poll/engine.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <algorithm>

namespace kv::fake {
namespace {

struct PollCase {
    const char* name;
    int rounds;
    int everyMs;
    qint64 unplugMs; // -1: never
    qint64 backMs;   // -1: never
    int stopAfterRows; // 0: never
    int rows;
    int outages;
};

TEST(BusPoller, RoundsOutagesAndStopsOnTheLinesClock) {
    const PollCase cases[] = {
        {"three rounds a second apart", 3, 1000, -1, -1, 0, 6, 0},
        {"as fast as replies come", 4, 0, -1, -1, 0, 8, 0},
        {"unplugged for a second, its rounds written as the link's", 12, 300, 2500, 3500, 0, 24, 1},
        {"unplugged for good", 6, 500, 2500, -1, 0, 12, 1},
        {"stopped after three rows", 10, 100, -1, -1, 3, 3, 0},
    };
    for (const PollCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b(prompt(), {1, 2});
        if (c.unplugMs >= 0) b.line->unplug(c.unplugMs * NS_PER_MS, c.backMs < 0 ? -1 : c.backMs * NS_PER_MS);
        poll::Schedule s;
        s.addresses = {1, 2};
        s.rounds = c.rounds;
        s.every = Millis(c.everyMs);
        s.retries = 0;
        // Each row as a letter: answered, lost under its request, or written while away.
        std::string rows;
        poll::BusPoller::Hooks hooks;
        hooks.measured = [&](const poll::Measured& m) {
            rows += !m.result ? 'a' : m.result->ok() ? 'o' : m.result->outcome == line::Outcome::Lost ? 'l' : '?';
            return true;
        };
        hooks.lost = [](const line::Exchange*) { return true; };
        hooks.reopen = [&](Nanos) { return b.line->reopen().ok(); };
        poll::BusPoller bus(b.session->discipline(), *b.line, s, hooks);
        poll::Engine engine;
        engine.add(bus, *b.line);
        engine.run([&] { return c.stopAfterRows > 0 && static_cast<int>(rows.size()) >= c.stopAfterRows; });
        bus.end(b.line->now());

        EXPECT_EQ(static_cast<int>(rows.size()), c.rows) << rows;
        EXPECT_EQ(bus.counts().outages, c.outages);
        EXPECT_TRUE(bus.done());
        // Answered until the request that found the link gone, its rounds written as away
        // until it was opened again, answered after.
        const std::string shape = c.unplugMs < 0 ? "^o+$" : c.backMs < 0 ? "^o+la+$" : "^o+la+o+$";
        EXPECT_TRUE(QRegularExpression(QString::fromStdString(shape)).match(QString::fromStdString(rows)).hasMatch())
            << rows;
        int measured = 0;
        for (const auto& sensor : bus.sensors())
            measured += sensor.measurements;
        EXPECT_EQ(measured, c.rows);
        // Each request's tally is counted once.
        EXPECT_EQ(bus.counts().replies, static_cast<int>(std::count(rows.begin(), rows.end(), 'o')));
        EXPECT_EQ(bus.counts().requests, static_cast<int>(b.line->writes().size()));
        if (c.unplugMs >= 0 && c.backMs >= 0) {
            // From the request that found it gone to the first reopen after it was back.
            EXPECT_GE(bus.counts().lostMs, static_cast<double>(c.backMs - c.unplugMs) - 300);
            EXPECT_LE(bus.counts().lostMs, static_cast<double>(c.backMs - c.unplugMs) + 1000);
        }
        // Rounds keep their period on the line's clock, never sooner.
        qint64 last = -1;
        for (const auto& w : b.line->writes()) {
            if (w.bytes[0] != 1) continue;
            if (last >= 0 && c.stopAfterRows == 0) {
                EXPECT_GE(w.ns - last, (c.everyMs - 20) * NS_PER_MS);
            }
            last = w.ns;
        }
    }
}

} // namespace
} // namespace kv::fake
