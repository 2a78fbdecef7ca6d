// The line discipline against sensors modelled on a fake line with a virtual clock:
// thousands of seeded schedules per model, through each use the command line makes of the
// line, with what must hold whatever the sensors do as the oracle (tests/support/lineuses.h).

#include "fakeline.h"
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
    if (getenv("DBG") && seed == std::stoul(getenv("DBG")) && std::string(model.name)==getenv("DBGM"))
        session.observe([&](const line::LineEvent& e) {
            std::printf("%10.3f %d %s %s lat=%s\n", e.atNs / 1e6, (int)e.direction, line::verdictName(e.verdict),
                        e.bytes.toHex(' ').constData(), e.latencyMs ? std::to_string(*e.latencyMs).c_str() : "-");
        });
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
    if (getenv("DBG") && seed == std::stoul(getenv("DBG")) && std::string(model.name)==getenv("DBGM"))
        for (int i = 0; i < (int)line.writes().size(); ++i) {
            std::printf("write %d at %.3f: %s\n", i, line.writes()[i].ns / 1e6, line.writes()[i].bytes.toHex(' ').constData());
            for (const auto& rp : bus.repliesTo(i)) std::printf("   reply %s end %.3f\n", rp.frame.toHex(' ').constData(), rp.endNs / 1e6);
        }
    const cli::Stats& st = session.stats();
    seen.requests += st.requests;
    seen.replies += st.replies;
    seen.timeouts += st.timeouts;
    seen.late += st.late;
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
    r.timeoutMs = 100;
    EXPECT_EQ(line::exchange(d, fake, r).outcome, line::Outcome::Echo);

    const Frame write = sensor::parameterWriteRequest(1, 0, 0xBAA6);
    line::Request w;
    w.bytes = toBytes(write);
    w.expect = sensor::expectEcho(write);
    w.timeoutMs = 100;
    EXPECT_EQ(line::exchange(d, fake, w).outcome, line::Outcome::Answered);

    const line::Exchange back = line::exchange(d, fake, r);
    EXPECT_NE(back.frame, stale);
    EXPECT_FALSE(back.latencyMs.has_value());
    EXPECT_NE(back.outcome, line::Outcome::Answered);
}
