// One try driven directly on the fake line's virtual clock: from each phase, each event leads
// to the phase the table gives, or ends the try as it says.

#include "fakeline.h"
#include "line/answerrule.h"
#include "line/attempt.h"
#include "line/clock.h"
#include "linemodels.h"
#include "sensor/protocol.h"

#include <gtest/gtest.h>

#include <vector>

using namespace kv;
using namespace kv::fake;
using Phase = line::Attempt::Phase;
using line::Failure;
using line::Outcome;

namespace {

// What the try sends: a read; a read to a device whose past is unknown; a write; the
// resynchronising read a held read calls for; the address read.
enum class Try { Read, FirstRead, Write, Sync, AddressRead };
// What reaches the try: its deadline, or bytes 20 ms on (the answer it asks for, the answer
// with a bad CRC, another device's frame, its own copy, noise); noise until its timeout.
enum class Event { Deadline, Answer, Garbled, Other, Echo, Noise, NoiseToTheTimeout };

constexpr Millis kTimeout{100};

struct Driven {
    FakeLine fake{19200};
    line::Wire wire{fake};
    line::Request request;
    line::Tally counts;
    QByteArray answer;
    std::optional<line::Attempt> a;

    explicit Driven(Try t) {
        const Frame read = sensor::measurementRequest(1);
        request.bytes = toBytes(read);
        request.expect = sensor::expectRead(read);
        request.timeout = kTimeout;
        answer = sealedHex("0103040011002A");
        QByteArray bytes = request.bytes;
        sensor::Expectation expect = request.expect;
        if (t == Try::FirstRead) wire.pending.pastUnknown(fake.now());
        if (t == Try::Write) {
            const Frame write = sensor::parameterWriteRequest(1, 0, 0x1234);
            bytes = request.bytes = toBytes(write);
            expect = request.expect = sensor::expectEcho(write);
            answer = request.bytes; // a write's answer is its echo
        }
        if (t == Try::Sync) {
            wire.pending.add(request.expect, fake.now()); // an earlier read, unanswered
            const Frame probe = sensor::readRequest(1, 0, 3);
            bytes = toBytes(probe);
            expect = sensor::expectRead(probe);
            answer = sealedHex("010306000000000000");
        }
        if (t == Try::AddressRead) {
            bytes = request.bytes = toBytes(sensor::addressReadRequest());
            expect = request.expect = sensor::expectAddressRead();
            request.collect = true;
            answer = sealedHex("0503020005");
        }
        a.emplace(wire, line::ruleFor(request), request, counts,
                  t == Try::Sync ? line::Attempt::Kind::Sync : line::Attempt::Kind::Request, bytes, expect,
                  fake.now());
    }

    void hear(const QByteArray& bytes, Nanos after) {
        fake.waitReadable(fake.nowNs() + after.count());
        const TimePoint at = fake.now();
        wire.reader.feed(bytes);
        wire.lastHeard = at;
        a->heard(at);
    }

    void apply(Event e) {
        QByteArray garbled = answer;
        garbled[garbled.size() - 1] = static_cast<char>(garbled[garbled.size() - 1] ^ 0x01);
        switch (e) {
        case Event::Deadline:
            fake.waitReadable(line::nsAt(a->deadline()));
            a->onDeadline(fake.now());
            return;
        case Event::NoiseToTheTimeout:
            hear("\xF3\x11", kTimeout - std::chrono::microseconds(500));
            apply(Event::Deadline);
            return;
        case Event::Answer:
            return hear(answer, Millis(20));
        case Event::Garbled:
            return hear(garbled, Millis(20));
        case Event::Other:
            return hear(sealedHex("0203040011002A"), Millis(20));
        case Event::Echo:
            return hear(a->bytes(), Millis(20));
        case Event::Noise:
            return hear("\xF3\x11", Millis(20));
        }
    }
};

// The events that bring a fresh try to each phase.
std::vector<Event> pathTo(Phase phase) {
    switch (phase) {
    case Phase::AwaitSilence:
        return {};
    case Phase::AwaitReply:
        return {Event::Deadline};
    case Phase::Quiet:
        return {Event::Deadline, Event::Answer};
    case Phase::EchoCheck:
        return {Event::Deadline, Event::Echo};
    case Phase::Grace:
        return {Event::Deadline, Event::Deadline};
    case Phase::Settle:
        return {Event::Deadline, Event::Garbled};
    case Phase::Done:
        break;
    }
    return {};
}

} // namespace

TEST(Attempt, EachPhaseAndEventLeadWhereTheTableSays) {
    struct Row {
        Try what;
        Phase from;
        Event event;
        Phase next;
        Outcome outcome = Outcome::Timeout; // when it ends
        Failure failure = Failure::None;
        bool resynced = false;
    };
    const Row rows[] = {
        {Try::Read, Phase::AwaitSilence, Event::Deadline, Phase::AwaitReply},
        {Try::Read, Phase::AwaitSilence, Event::NoiseToTheTimeout, Phase::Done, Outcome::Busy,
         Failure::NeverSilent},
        {Try::Read, Phase::AwaitReply, Event::Answer, Phase::Done, Outcome::Answered},
        {Try::Read, Phase::AwaitReply, Event::Garbled, Phase::Settle},
        {Try::Read, Phase::AwaitReply, Event::Other, Phase::AwaitReply},
        {Try::Read, Phase::AwaitReply, Event::Noise, Phase::AwaitReply},
        {Try::Read, Phase::AwaitReply, Event::Echo, Phase::Settle},
        {Try::Read, Phase::AwaitReply, Event::Deadline, Phase::Grace},
        {Try::Read, Phase::Grace, Event::Answer, Phase::Grace},
        {Try::Read, Phase::Grace, Event::Deadline, Phase::Done, Outcome::Timeout, Failure::NoReply},
        {Try::Read, Phase::Settle, Event::Noise, Phase::Settle},
        {Try::Read, Phase::Settle, Event::Deadline, Phase::Done, Outcome::Garbled, Failure::Crc},
        {Try::FirstRead, Phase::AwaitReply, Event::Answer, Phase::Quiet},
        {Try::FirstRead, Phase::Quiet, Event::Other, Phase::Quiet},
        {Try::FirstRead, Phase::Quiet, Event::Answer, Phase::Quiet},
        {Try::FirstRead, Phase::Quiet, Event::Garbled, Phase::Settle},
        {Try::FirstRead, Phase::Quiet, Event::Deadline, Phase::Done, Outcome::Answered},
        {Try::Write, Phase::AwaitReply, Event::Echo, Phase::EchoCheck},
        {Try::Write, Phase::EchoCheck, Event::Echo, Phase::Settle},
        {Try::Write, Phase::EchoCheck, Event::Other, Phase::EchoCheck},
        {Try::Write, Phase::EchoCheck, Event::Deadline, Phase::Done, Outcome::Answered},
        {Try::Sync, Phase::AwaitReply, Event::Answer, Phase::Done, Outcome::Answered, Failure::None, true},
        {Try::AddressRead, Phase::AwaitReply, Event::Answer, Phase::AwaitReply},
        {Try::AddressRead, Phase::AwaitReply, Event::Garbled, Phase::AwaitReply},
        {Try::AddressRead, Phase::AwaitReply, Event::Deadline, Phase::Done, Outcome::Timeout,
         Failure::NoReply},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message()
                     << "try " << static_cast<int>(row.what) << ", phase " << static_cast<int>(row.from)
                     << ", event " << static_cast<int>(row.event));
        Driven d(row.what);
        for (const Event e : pathTo(row.from))
            d.apply(e);
        ASSERT_EQ(d.a->phase(), row.from);
        d.apply(row.event);
        EXPECT_EQ(d.a->phase(), row.next);
        if (row.next == Phase::Done) {
            EXPECT_EQ(d.a->end().resynced, row.resynced);
            if (!row.resynced) {
                EXPECT_EQ(d.a->end().outcome, row.outcome);
                EXPECT_EQ(d.a->end().failure, row.failure);
            }
        }
    }
}
