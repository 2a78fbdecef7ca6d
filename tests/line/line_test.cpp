// The line discipline against sensors modelled on a fake line with a virtual clock:
// thousands of seeded schedules per model, through each use the command line makes of the
// line, with what must hold whatever the sensors do as the oracle (tests/support/lineuses.h).

#include "cli/failure.h"
#include "fakeline.h"
#include "line/clock.h"
#include "line/discipline.h"
#include "lineuses.h"
#include "sensor/protocol.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace kv;
using namespace kv::fake;

namespace {

constexpr int kSchedulesPerModel = 2000;

// What the schedules of a model went through, to print.
struct Seen {
    long requests = 0;
    long replies = 0;
    long timeouts = 0;
    long late = 0;
    long syncs = 0;
};

// One schedule: the seed picks the use, the reply timeout and everything the sensors do.
std::vector<std::string> runSchedule(const Model& model, std::uint32_t seed, Seen& seen) {
    std::mt19937 rng(seed);
    const int timeouts[] = {100, 300, 1000};
    cli::CommonOptions o;
    o.timeoutMs = timeouts[std::uniform_int_distribution<int>(0, 2)(rng)];
    // Through an echoing adapter, half the schedules forget --echo: the echo is named, and
    // the sensor's answer behind it is never taken for the next request's.
    o.echo = model.echo && seed % 2 == 0;
    const auto use = static_cast<Use>(seed % USE_COUNT);
    auto owned = std::make_unique<FakeLine>(19200);
    FakeLine& line = *owned;
    const std::vector<std::uint8_t> addresses =
        use == Use::AddressRead ? std::vector<std::uint8_t>{5, 37, 113} : std::vector<std::uint8_t>{1, 2, 3};
    Bus bus(line, model, addresses, seed);
    cli::Session session(o, std::move(owned), QStringLiteral("fake"), 19200);
    Oracle oracle(line, [&bus](int i) -> const std::vector<Reply>& { return bus.repliesTo(i); });
    run(use, session, oracle, rng, [&bus](int reg) { return bus.holds(1, reg); });
    // A sensor's frame, to this run or to an earlier one, is no forgery.
    oracle.judgeValues = !forged(line, [&bus, &line](const QByteArray& frame, qint64 endNs) {
        for (int i = 0; i < static_cast<int>(line.writes().size()); ++i)
            for (const Reply& r : bus.repliesTo(i))
                if (r.frame == frame && r.endNs == endNs) return true;
        return std::any_of(line.delivered().begin(), line.delivered().end(), [&](const FakeLine::Arrival& a) {
            return a.from == EARLIER_RUN && a.bytes == frame && a.ns == endNs;
        });
    });
    const cli::Stats& st = session.stats();
    seen.requests += st.requests;
    seen.replies += st.replies;
    seen.timeouts += st.timeouts;
    seen.late += st.lateTotal();
    seen.syncs += st.syncs;
    return oracle.violations();
}

} // namespace

TEST(LineDiscipline, NoValueIsEverShownForARequestItDoesNotAnswer) {
    for (const Model& model : models()) {
        SCOPED_TRACE(model.name);
        QElapsedTimer clock;
        clock.start();
        Seen seen;
        for (std::uint32_t seed = 1; seed <= kSchedulesPerModel; ++seed) {
            const auto violations = runSchedule(model, seed, seen);
            for (const std::string& v : violations)
                ADD_FAILURE() << model.name << " seed " << seed << ": " << v;
            if (!violations.empty()) return; // the first schedule that fails is the one to replay
        }
        std::printf(
            "%-48s %d schedules in %5lld ms: %ld requests, %ld replies, %ld timeouts, %ld late, %ld syncs\n",
            model.name, kSchedulesPerModel, static_cast<long long>(clock.elapsed()), seen.requests,
            seen.replies, seen.timeouts, seen.late, seen.syncs);
        // On a clean line the discipline costs nothing: no read besides the requests.
        if (model.lateChance == 0 && model.turnMaxMs < 10 && !model.echo && !model.unplug) {
            EXPECT_EQ(seen.syncs, 0);
        }
    }
}

// Found by the fuzzer. Through an echoing adapter without --echo, a write's own copy is taken
// for its acknowledgement while the sensor may have heard nothing: that proves nothing about
// a read still held from before, whose late reply must not answer the read-back.
TEST(LineDiscipline, AWriteTakenOnItsEchoSettlesNothingHeldBeforeIt) {
    FakeLine fake(19200);
    fake.setEcho(true);
    const Frame read = sensor::parameterReadRequest(1, 0);
    const QByteArray stale = QByteArray::fromHex("0103020000b844"); // what register 2 held before
    // The sensor's late reply to the first read lands as the read-back goes out, before its copy.
    fake.onWrite = [&](int index) {
        if (index == 2) fake.arrive(fake.nowNs() + NS_PER_MS, stale, 0);
    };
    line::Discipline d(fake);
    line::Request r;
    r.bytes = toBytes(read);
    r.expect = sensor::expectRead(read);
    r.timeout = Millis(100);
    EXPECT_EQ(line::exchange(d, fake, r).outcome, line::Outcome::Echo);

    const Frame write = sensor::parameterWriteRequest(1, 0, 0xBAA6);
    line::Request w;
    w.bytes = toBytes(write);
    w.expect = sensor::expectEcho(write);
    w.timeout = Millis(100);
    EXPECT_EQ(line::exchange(d, fake, w).outcome, line::Outcome::Answered);

    const line::Exchange back = line::exchange(d, fake, r);
    EXPECT_NE(back.frame, stale);
    EXPECT_FALSE(back.latency.has_value());
    EXPECT_NE(back.outcome, line::Outcome::Answered);
}

namespace {

QByteArray flipped(QByteArray frame, int at) {
    frame[at] = static_cast<char>(frame[at] ^ 0x40);
    return frame;
}

} // namespace

// Schedules the field gives, each a few requests on one line with what comes after each
// request written (milliseconds after its last byte left), and what each request must end as.
TEST(LineDiscipline, EachScheduleEndsAsTheLineBearsOut) {
    enum Kind { Measure, Param, AddressRead };
    struct Arrival {
        int afterMs;
        QByteArray bytes;
    };
    struct Step {
        Kind kind;
        std::uint8_t address;
        std::vector<std::vector<Arrival>> perWrite; // by the step's writes in turn
        line::Outcome outcome;
        int value; // the first register shown; -1: none
        int crcErrors;
        int lateFromAsked;
        int atMostMs; // the step's time on the line; 0: not judged
    };
    struct Row {
        const char* what;
        int baud;
        int retries;
        std::vector<Step> steps;
        // The last write left at least this long after the one before it; 0: not judged.
        int lastGapAtLeastUs = 0;
        int timeoutMs = 100;
    };
    const QByteArray ans = sealedHex("0103040011002A");   // measurement: 17, 42
    const QByteArray stale = sealedHex("0103040007002A"); // an earlier run's: 7, 42
    const QByteArray wide = sealedHex("0103060012002A0000");
    const QByteArray param = sealedHex("0103020063");     // one register: 99
    const QByteArray other = sealedHex("0203040011002A"); // sensor 2's measurement
    const auto noise = [](int fromMs, int toMs) {
        std::vector<Arrival> a;
        for (int t = fromMs; t < toMs; t += 10)
            a.push_back({t, QByteArray("\xF3\x11", 2)});
        return a;
    };
    std::vector<Arrival> garbledThenNoise{{5, flipped(ans, 4)}};
    for (const Arrival& a : noise(8, 3000))
        garbledThenNoise.push_back(a);
    const Row rows[] = {
        {"an earlier run's reply before the answer",
         19200,
         0,
         {{Measure, 1, {{{5, stale}, {20, ans}}}, line::Outcome::Answered, 17, 0, 1, 0}}},
        {"a reply on its way before the request went out",
         19200,
         0,
         {{Measure, 1, {{{5, ans}}}, line::Outcome::Answered, 17, 0, 0, 0},
          {Measure, 1, {{{0, stale}, {12, ans}}}, line::Outcome::Answered, 17, 0, 1, 0}}},
        {"the address byte damaged: a CRC error at once",
         19200,
         1,
         {{Measure, 1, {{{5, ans}}}, line::Outcome::Answered, 17, 0, 0, 0},
          {Measure, 1, {{{5, flipped(ans, 0)}}, {{10, wide}}}, line::Outcome::Answered, 18, 1, 0, 100}}},
        {"the function byte damaged: a CRC error at once",
         19200,
         1,
         {{Measure, 1, {{{5, ans}}}, line::Outcome::Answered, 17, 0, 0, 0},
          {Measure, 1, {{{5, flipped(ans, 1)}}, {{10, wide}}}, line::Outcome::Answered, 18, 1, 0, 100}}},
        {"another sensor's garbled frame is not this try's",
         19200,
         0,
         {{Measure, 2, {{}}, line::Outcome::Timeout, -1, 0, 0, 0},
          {Measure, 1, {{{3, flipped(other, 4)}, {15, ans}}}, line::Outcome::Answered, 17, 0, 0, 0}}},
        {"another sensor's frame does not end the grace period",
         19200,
         0,
         {{Measure, 1, {{{110, other}, {130, ans}}}, line::Outcome::Timeout, -1, 0, 1, 0}}},
        {"noise while a garbled reply ends: settled within the grace period",
         19200,
         0,
         {{Measure, 1, {{{5, ans}}}, line::Outcome::Answered, 17, 0, 0, 0},
          {Measure, 1, {garbledThenNoise}, line::Outcome::Garbled, -1, 1, 0, 70}}},
        {"a late exception to an older read answers no newer one",
         19200,
         0,
         {{Measure, 1, {{}}, line::Outcome::Timeout, -1, 0, 0, 0},
          // It went out wider, as the first is held; the first's exception may be what it drew.
          {Measure, 1, {{{5, sealedHex("018304")}}}, line::Outcome::Exception, -1, 0, 0, 0},
          // Its own late reply (three registers) comes during the next.
          {Measure, 1, {{{10, wide}, {25, ans}}}, line::Outcome::Answered, 17, 0, 1, 0}}},
        {"a held read's late reply is no answer to the address read",
         19200,
         0,
         {{Param, 1, {{}}, line::Outcome::Timeout, -1, 0, 0, 0},
          {AddressRead, 1, {{{5, param}}}, line::Outcome::Timeout, -1, 0, 1, 0}}},
        {"the silence before a retry counts from the end of the master's own request",
         1200,
         1,
         {{Measure, 1, {{}, {}}, line::Outcome::Timeout, -1, 0, 0, 0}},
         static_cast<int>(lineTimeMs(8, 1200) * 1000 + frameSilenceMs(1200) * 1000),
         20},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakeLine fake(row.baud);
        std::size_t step = 0, write = 0;
        fake.onWrite = [&](int index) {
            const qint64 out = fake.nowNs() + fake.wireNs(8);
            const auto& plan = row.steps[step].perWrite;
            if (write < plan.size())
                for (const Arrival& a : plan[write])
                    fake.arrive(out + a.afterMs * NS_PER_MS, a.bytes, index);
            ++write;
        };
        line::Discipline d(fake);
        for (; step < row.steps.size(); ++step) {
            const Step& s = row.steps[step];
            write = 0;
            const Frame f = s.kind == Measure ? sensor::measurementRequest(s.address)
                            : s.kind == Param ? sensor::parameterReadRequest(s.address, 0)
                                              : sensor::addressReadRequest();
            line::Request r;
            r.bytes = toBytes(f);
            r.expect = s.kind == AddressRead ? sensor::expectAddressRead() : sensor::expectRead(f);
            r.collect = s.kind == AddressRead;
            r.timeout = Millis(row.timeoutMs);
            r.grace = Millis(50);
            r.retries = row.retries;
            const qint64 start = fake.nowNs();
            const line::Exchange ex = line::exchange(d, fake, r);
            SCOPED_TRACE("request " + std::to_string(step));
            EXPECT_EQ(ex.outcome, s.outcome) << cli::describe(ex).toStdString();
            if (s.value >= 0) {
                ASSERT_FALSE(ex.reply.registers.empty());
                EXPECT_EQ(ex.reply.registers[0], s.value);
                EXPECT_TRUE(ex.latency.has_value());
            } else {
                EXPECT_FALSE(ex.latency.has_value()) << "no value, no latency";
            }
            EXPECT_TRUE(ex.answers.empty());
            EXPECT_EQ(ex.tally.crcErrors, s.crcErrors);
            EXPECT_EQ(ex.tally.lateFrom(s.address), s.lateFromAsked);
            if (s.atMostMs > 0) {
                EXPECT_LE(fake.nowNs() - start, s.atMostMs * NS_PER_MS);
            }
        }
        if (row.lastGapAtLeastUs > 0) {
            const auto& w = fake.writes();
            ASSERT_GE(w.size(), 2u);
            EXPECT_GE(w.back().ns - w[w.size() - 2].ns, row.lastGapAtLeastUs * 1000LL);
        }
    }
}

// The count of the read that tells a request from what is held: a wider read of the same
// registers takes only a count nothing held uses; a resynchronising read may take the newest
// held count again, which its answer settles with everything before it.
TEST(PendingReplies, TheCountThatTellsARequestFromWhatIsHeld) {
    struct Read {
        std::uint16_t start;
        std::uint16_t count;
    };
    struct Row {
        const char* what;
        std::vector<Read> held; // oldest first
        Read request;
        int wider;
        int sync;
    };
    const Row rows[] = {
        {"nothing held", {}, {0, 2}, 3, 3},
        {"the try before", {{0, 2}}, {0, 2}, 3, 3},
        {"the try before and its wider read", {{0, 2}, {0, 3}}, {0, 2}, 4, 3},
        {"a parameter at the last register", {{8, 1}}, {8, 1}, 2, 3},
        {"every count held", {{0, 2}, {0, 3}, {0, 4}, {0, 5}, {0, 6}, {0, 7}, {0, 8}, {0, 9}}, {0, 2}, 0, 9},
        {"a wider read held before the one that blocks", {{0, 3}, {0, 2}}, {0, 2}, 4, 4},
        {"registers the sensor does not hold", {{0x0B00, 1}}, {0x0B00, 1}, 0, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        line::PendingReplies pending;
        for (const Read& r : row.held)
            pending.add(sensor::expectRead(sensor::readRequest(1, r.start, r.count)), TimePoint{});
        const auto request = sensor::expectRead(sensor::readRequest(1, row.request.start, row.request.count));
        EXPECT_EQ(pending.widerCount(request, TimePoint{}), row.wider);
        EXPECT_EQ(pending.syncCount(request, TimePoint{}), row.sync);
    }
}

// A request given up, the adapter unplugged or the operator stopping, keeps what it heard: the
// address read's answers until then (two mean two sensors on the line, whatever came after),
// the bytes of a reply cut short.
TEST(LineDiscipline, ARequestGivenUpKeepsWhatItHeard) {
    const QByteArray fromFive = sealedHex("0503020005");
    const QByteArray fromSeven = sealedHex("0703020007");
    const QByteArray cut = sealedHex("0103040011002A").left(5);
    const QByteArray noise("\xF3\x11", 2);
    struct Row {
        const char* what;
        bool addressRead;
        std::vector<std::pair<int, QByteArray>> after; // ms after the request, bytes
        int givenUpMs;                                 // after the request
        bool unplugged;                                // else stopped
        line::Outcome outcome;
        std::size_t answers;
        QByteArray frame;
    };
    const Row rows[] = {
        {"two answers, unplugged",
         true,
         {{10, fromFive}, {20, fromSeven}},
         50,
         true,
         line::Outcome::Lost,
         2,
         {}},
        {"one answer, stopped", true, {{10, fromFive}}, 50, false, line::Outcome::Stopped, 1, {}},
        {"cut short, unplugged while the rest goes by",
         false,
         {{10, cut}, {90, noise}},
         100,
         true,
         line::Outcome::Lost,
         0,
         cut + noise},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakeLine fake(19200);
        qint64 givenUpNs = -1;
        fake.onWrite = [&](int index) {
            const qint64 out = fake.nowNs() + fake.wireNs(8);
            for (const auto& [ms, bytes] : row.after)
                fake.arrive(out + ms * NS_PER_MS, bytes, index);
            givenUpNs = out + row.givenUpMs * NS_PER_MS;
            if (row.unplugged) fake.unplug(givenUpNs, -1);
        };
        line::Discipline d(fake);
        fake.waitReadable(31000 * NS_PER_MS); // what the sensors owe an earlier run is forgotten
        const Frame f = row.addressRead ? sensor::addressReadRequest() : sensor::measurementRequest(1);
        line::Request r;
        r.bytes = toBytes(f);
        r.expect = row.addressRead ? sensor::expectAddressRead() : sensor::expectRead(f);
        r.collect = row.addressRead;
        r.timeout = Millis(100);
        r.grace = Millis(50);
        const line::Exchange ex = line::exchange(
            d, fake, r, [&] { return !row.unplugged && givenUpNs >= 0 && fake.nowNs() >= givenUpNs; });
        EXPECT_EQ(ex.outcome, row.outcome);
        EXPECT_EQ(ex.answers.size(), row.answers);
        EXPECT_EQ(ex.frame, row.frame);
    }
}
