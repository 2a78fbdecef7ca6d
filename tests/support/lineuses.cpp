#include "lineuses.h"

#include "line/clock.h"
#include "sensor/protocol.h"
#include "sim/rtu.h"

#include <QByteArray>

#include <algorithm>

namespace kv::fake {

using cli::Result;
using cli::Session;

qint64 Oracle::boundNs(int timeoutMs, int retries, int runTimeoutMs) {
    // As kv7702r --help and docs/cli.md state it, not as the line computes it.
    const qint64 t = timeoutMs * NS_PER_MS;
    const qint64 grace = std::clamp(timeoutMs / 2, 20, 500) * NS_PER_MS;
    return (retries + 1) * 2 * (2 * t + runTimeoutMs * NS_PER_MS + grace);
}

bool Oracle::widens(const QByteArray& wide, const QByteArray& asked) {
    // The same device and function, and registers that cover the ones asked.
    if (wide.size() != 8 || asked.size() != 8 || wide[0] != asked[0] || wide[1] != asked[1]) return false;
    const auto word = [](const QByteArray& b, int i) {
        return static_cast<std::uint8_t>(b[i]) << 8 | static_cast<std::uint8_t>(b[i + 1]);
    };
    return word(wide, 2) <= word(asked, 2) &&
           word(wide, 2) + word(wide, 4) >= word(asked, 2) + word(asked, 4) && word(wide, 4) > word(asked, 4);
}

std::vector<std::string> Oracle::violations() const {
    std::vector<std::string> all = violations_;
    if (judgeValues) all.insert(all.end(), wrongValues_.begin(), wrongValues_.end());
    return all;
}

void Oracle::took(qint64 ns, int timeoutMs, int retries, int runTimeoutMs) {
    if (ns > boundNs(timeoutMs, retries, runTimeoutMs))
        fail("a request took " + std::to_string(ns) + " ns, beyond its bound of " +
             std::to_string(boundNs(timeoutMs, retries, runTimeoutMs)));
}

void Oracle::request(const Result& r, const QByteArray& bytes) {
    const line::Tally& t = r.tally;
    if (t.requests != t.replies + t.exceptions + t.timeouts + t.crcErrors + t.badReplies + t.lost)
        fail("a try counted in no outcome or in two");
    if (!r.latency) return;
    // A write is answered by its echo: through an adapter that echoes, without --echo, its
    // copy is the answer when the sensor's does not follow (callers read back).
    if (line_.echoes() && r.frame == bytes) return;
    // The answer may be to a wider read standing for the request.
    const QByteArray asked = r.sent.isEmpty() ? bytes : r.sent;
    if (asked != bytes && !widens(asked, bytes)) {
        wrongValue("the request went out as " + asked.toHex(' ').toStdString() +
                   ", which does not read what " + bytes.toHex(' ').toStdString() + " asks");
        return;
    }
    const int index = writeAt(line::nsAt(r.sentAt), asked);
    if (index < 0) {
        wrongValue("the latency counts from a request of other bytes");
        return;
    }
    if (!sent(index, r.frame, line::nsAt(r.replyAt)))
        wrongValue("reply " + r.frame.toHex(' ').toStdString() + " does not answer request " +
                   std::to_string(index));
    if (*r.latency != r.replyAt - r.sentAt)
        wrongValue("a latency not its reply's own");
}

void Oracle::addressRead(const Result& r) {
    const QByteArray read = toBytes(sensor::addressReadRequest());
    for (const line::Answer& a : r.answers) {
        bool found = false;
        for (int i = 0; i < static_cast<int>(line_.writes().size()) && !found; ++i)
            found = line_.writes()[static_cast<std::size_t>(i)].bytes == read && sent(i, a.frame, line::nsAt(a.at));
        if (!found) wrongValue("answer " + a.frame.toHex(' ').toStdString() + " to no address read");
    }
}

void Oracle::end(const cli::Stats& s) {
    if (s.requests != s.replies + s.exceptions + s.timeouts + s.crcErrors + s.badReplies + s.lost)
        fail("the run's counts do not add up");
    if (static_cast<std::size_t>(s.requests + s.syncs) != line_.writes().size())
        fail(std::to_string(line_.writes().size()) + " requests went out, " + std::to_string(s.requests) +
             " requests and " + std::to_string(s.syncs) + " syncs counted");
    if (s.requests != requestsOut_)
        fail(std::to_string(requestsOut_) + " requests went out, " + std::to_string(s.requests) + " counted");
    const qint64 silence = line_.facts().frameSilenceNs;
    for (const FakeLine::Written& w : line_.writes())
        if (w.quietNs < silence)
            fail("a request at " + std::to_string(w.ns) + " ns after too short a silence");
}

int Oracle::writeAt(qint64 ns, const QByteArray& bytes) const {
    for (int i = 0; i < static_cast<int>(line_.writes().size()); ++i)
        if (line_.writes()[static_cast<std::size_t>(i)].ns == ns &&
            line_.writes()[static_cast<std::size_t>(i)].bytes == bytes)
            return i;
    return -1;
}

bool Oracle::sent(int index, const QByteArray& frame, qint64 endNs) const {
    for (const Reply& reply : repliesTo_(index))
        if (reply.frame == frame && reply.endNs == endNs) return true;
    return false;
}

bool forged(const FakeLine& line, const std::function<bool(const QByteArray&, qint64)>& sound) {
    QByteArray stream;
    std::vector<qint64> at; // when each byte arrived
    for (const FakeLine::Arrival& a : line.delivered()) {
        stream += a.bytes;
        at.insert(at.end(), static_cast<std::size_t>(a.bytes.size()), a.ns);
    }
    for (int i = 0; i < stream.size(); ++i)
        for (int length : {sensor::frameLength(stream, i), sensor::shortAddressChangeLength(stream, i)}) {
            if (length < 4 || i + length > stream.size()) continue;
            const QByteArray frame = stream.mid(i, length);
            const auto* p = reinterpret_cast<const std::uint8_t*>(frame.constData());
            if (!kvsim::crcValid(kvsim::Bytes(p, p + length))) continue; // the sensors' CRC, not ours
            const bool echo = std::any_of(line.writes().begin(), line.writes().end(),
                                          [&](const FakeLine::Written& w) { return w.bytes == frame; });
            if (!echo && !sound(frame, at[static_cast<std::size_t>(i + length - 1)])) return true;
        }
    return false;
}

namespace {

// The request, timed on the line's clock against its bound and judged by the oracle.
Result ask(Session& session, Oracle& oracle, const Frame& f, const sensor::Expectation& e, int retries,
           cli::RetryOn on = cli::RetryOn::LineErrors, cli::Wait wait = {}) {
    const qint64 start = session.link().nowNs();
    const Result r = session.request(f, e, retries, on, wait);
    oracle.took(session.link().nowNs() - start, wait.timeoutMs > 0 ? wait.timeoutMs : session.timeoutMs(),
                retries, session.timeoutMs());
    oracle.request(r, toBytes(f));
    return r;
}

void readRows(Session& session, Oracle& oracle) {
    for (int round = 0; round < 3; ++round)
        for (std::uint8_t a : {1, 2, 3}) {
            const Frame f = sensor::measurementRequest(a);
            ask(session, oracle, f, sensor::expectRead(f), 2);
        }
}

void params(Session& session, Oracle& oracle) {
    for (int i = 0; i < sensor::PARAMETER_COUNT; ++i) {
        const Frame f = sensor::parameterReadRequest(2, i);
        ask(session, oracle, f, sensor::expectRead(f), 2);
    }
}

void writeReadBack(Session& session, Oracle& oracle, std::mt19937& rng,
                   const std::function<std::uint16_t(int)>& holds) {
    const int i = std::uniform_int_distribution<int>(0, 5)(rng);
    const auto raw = static_cast<std::uint16_t>(std::uniform_int_distribution<int>(1, 60000)(rng));
    const Frame read = sensor::parameterReadRequest(1, i);
    ask(session, oracle, read, sensor::expectRead(read), 2);
    const Frame write = sensor::parameterWriteRequest(1, i, raw);
    ask(session, oracle, write, sensor::expectEcho(write), 2);
    const Result back = ask(session, oracle, read, sensor::expectRead(read), 2);
    // A read-back shows what the sensor holds (nothing else writes it).
    if (back.ok() && (back.reply.registers[0] == raw) != (holds(2 + i) == raw))
        oracle.wrongValue("the read-back does not show what the register holds");
}

void addressRead(Session& session, Oracle& oracle) {
    // Short reads first, so that late replies to them may come during the address read.
    for (std::uint8_t a : {5, 37, 113}) {
        const Frame f = sensor::measurementRequest(a);
        ask(session, oracle, f, sensor::expectRead(f), 0, cli::RetryOn::GarbledOnly, {30, 20});
    }
    const qint64 start = session.link().nowNs();
    const Result r = session.addressRead(2);
    oracle.took(session.link().nowNs() - start, session.timeoutMs(), 2, session.timeoutMs());
    oracle.request(r, toBytes(sensor::addressReadRequest()));
    oracle.addressRead(r);
}

void scanProbes(Session& session, Oracle& oracle) {
    std::vector<std::uint8_t> heard;
    for (std::uint8_t a = 1; a <= 6; ++a) {
        const Frame f = sensor::measurementRequest(a);
        const Result r =
            ask(session, oracle, f, sensor::expectRead(f), 0, cli::RetryOn::GarbledOnly, {30, 20});
        for (const auto& entry : r.tally.late)
            heard.push_back(entry.first);
    }
    for (std::uint8_t a : heard) {
        if (a < 1 || a > 6) continue;
        const Frame f = sensor::measurementRequest(a);
        ask(session, oracle, f, sensor::expectRead(f), 2);
    }
}

} // namespace

void run(Use use, Session& session, Oracle& oracle, std::mt19937& rng,
         const std::function<std::uint16_t(int reg)>& holds) {
    // What went out as a request and what as a resynchronising read, as the line says it.
    session.observe([&oracle](const line::LineEvent& e) {
        if (e.direction == line::LineEvent::Direction::Sent)
            oracle.wentOut(e.verdict == line::LineEvent::Verdict::Sync);
    });
    switch (use) {
    case Use::ReadRows:
        readRows(session, oracle);
        break;
    case Use::Params:
        params(session, oracle);
        break;
    case Use::WriteReadBack:
        writeReadBack(session, oracle, rng, holds);
        break;
    case Use::AddressRead:
        addressRead(session, oracle);
        break;
    case Use::ScanProbes:
        scanProbes(session, oracle);
        break;
    }
    oracle.end(session.stats());
}

} // namespace kv::fake
