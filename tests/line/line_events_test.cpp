// What the line discipline tells a watcher (the trace) on the fake line: one event per request
// written and per frame or burst heard, each with the judge's verdict, in the order they
// happened, and the bytes exactly those that crossed the line.

#include "fakeline.h"
#include "line/clock.h"
#include "line/discipline.h"
#include "linemodels.h"
#include "sensor/protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kv;
using namespace kv::fake;
using E = line::LineEvent;

namespace {

std::string said(const std::vector<E>& events) {
    std::string text;
    for (const E& e : events)
        text += std::string(e.direction == E::Direction::Sent    ? "tx "
                            : e.direction == E::Direction::Heard ? "rx "
                                                                 : "-- ") +
                line::verdictName(e.verdict) + (e.latency ? " +" : "") + "; ";
    return text;
}

} // namespace

TEST(LineEvents, EveryRequestAndEverythingHeardIsToldWithItsVerdict) {
    const QByteArray answer = sealedHex("01030204D2"); // register 2 of sensor 1
    const QByteArray other = sealedHex("02030204D2");  // the same from sensor 2
    QByteArray badCrc = answer;
    badCrc[5] = static_cast<char>(badCrc[5] ^ 0x01);
    struct Arrival {
        int afterMs; // after the request's last byte
        QByteArray bytes;
    };
    struct Row {
        const char* what;
        std::vector<std::vector<Arrival>> perWrite; // what comes after each request written
        bool adapterEchoes;
        bool echoOption;
        const char* told;
    };
    const Row rows[] = {
        {"prompt", {{{5, answer}}}, false, false, "tx request; rx answer +; "},
        {"noise first",
         {{{2, "\xAA\xBB"}, {10, answer}}},
         false,
         false,
         "tx request; rx noise; rx answer +; "},
        {"another sensor's frame first",
         {{{3, other}, {10, answer}}},
         false,
         false,
         "tx request; rx another address; rx answer +; "},
        {"late, in the grace period", {{{130, answer}}}, false, false, "tx request; -- timeout; rx late; "},
        {"bad CRC, then a retry",
         {{{5, badCrc}}, {{5, answer}}},
         false,
         false,
         "tx request; rx CRC; tx request; rx answer +; "},
        {"an adapter's echo, the answer behind it not taken",
         {{{5, answer}}},
         true,
         false,
         "tx request; rx echo; rx late; "},
        {"an adapter's echo stripped",
         {{{5, answer}}},
         true,
         true,
         "tx request; rx echo stripped; rx answer +; "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakeLine fake(19200);
        fake.setEcho(row.adapterEchoes);
        std::size_t reads = 0;
        fake.onWrite = [&](int index) {
            const QByteArray w = fake.writes()[static_cast<std::size_t>(index)].bytes;
            const qint64 out = fake.nowNs() + fake.wireNs(8);
            if (w[5] != 1) {
                // The resynchronising read of registers 0..k-1, answered with k registers.
                const int k = w[5];
                const QByteArray body = QByteArray::fromHex("0103") +
                                        QByteArray(1, static_cast<char>(2 * k)) + QByteArray(2 * k, '\0');
                fake.arrive(out + 5 * NS_PER_MS, sealedHex(body.toHex().constData()), index);
                return;
            }
            if (reads < row.perWrite.size())
                for (const Arrival& a : row.perWrite[reads])
                    fake.arrive(out + a.afterMs * NS_PER_MS, a.bytes, index);
            ++reads;
        };
        line::Discipline d(fake);
        d.setEcho(row.echoOption);
        std::vector<E> events;
        d.setObserver([&](const E& e) { events.push_back(e); });
        const Frame f = sensor::parameterReadRequest(1, 0);
        line::Request r;
        r.bytes = toBytes(f);
        r.expect = sensor::expectRead(f);
        r.timeout = Millis(100);
        r.grace = Millis(50);
        r.retries = row.perWrite.size() > 1 ? 1 : 0;
        (void)line::exchange(d, fake, r);
        EXPECT_EQ(said(events), row.told);
        // What was told as written is what went out; what was told as heard is what came.
        QByteArray sent, heard;
        for (const auto& w : fake.writes())
            sent += w.bytes;
        for (const auto& a : fake.delivered())
            heard += a.bytes;
        QByteArray toldSent, toldHeard;
        for (const E& e : events)
            (e.direction == E::Direction::Sent ? toldSent : toldHeard) += e.bytes;
        EXPECT_EQ(toldSent, sent);
        EXPECT_EQ(toldHeard, heard);
        for (const E& e : events)
            if (e.latency) {
                EXPECT_NEAR(msOf(*e.latency), static_cast<double>(line::nsAt(e.at) - fake.writes().back().ns) / 1e6,
                            1e-9);
            }
    }
}
