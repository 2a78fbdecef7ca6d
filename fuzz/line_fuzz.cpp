// The line discipline under arbitrary bytes at arbitrary virtual times, through each use the
// command line makes of the line. The input sets the use, the timeout, an echoing adapter,
// bursts of bytes at chosen times, and for every request each sensor's fate and delay.
//
// The oracle (tests/support/lineuses.h), stated precisely: every try is counted in exactly
// one outcome and the counts add up to the requests that went out; the line was quiet for
// 3.5 characters before each request; each request ended within its bound. And a value or
// a latency is shown only from a reply a sensor sent to that very request, with that
// reply's own latency - judged only when no sound frame on the line was made (wholly or in
// part) of the injected bytes: such a frame is a device's to any master, and a frame of the
// right shape is then rightly taken.

#include "check.h"
#include "lineuses.h"
#include "sensor/protocol.h"
#include "sim/rtu.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

using namespace kv;
using namespace kv::fake;

namespace {

// Sensors 1, 2 and 3 that work through their requests in order, each fate read from the input.
class ScriptedBus {
public:
    ScriptedBus(FakeLine& line, Script& in) : line_(line), in_(in) {
        line_.onWrite = [this](int index) { onRequest(index); };
    }
    const std::vector<Reply>& repliesTo(int index) const {
        static const std::vector<Reply> none;
        return index < static_cast<int>(replies_.size()) ? replies_[static_cast<std::size_t>(index)] : none;
    }
    std::uint16_t holds(int reg) const { return regs_[0][static_cast<std::size_t>(reg)]; }
    [[nodiscard]] bool sound(const QByteArray& frame, qint64 endNs) const {
        for (const auto& replies : replies_)
            for (const Reply& r : replies)
                if (r.frame == frame && r.endNs == endNs) return true;
        return false;
    }

private:
    void onRequest(int index) {
        replies_.resize(static_cast<std::size_t>(index) + 1);
        const kvsim::Bytes request = heardRequest(line_, index);
        if (request.empty()) return;
        const qint64 heardNs = heardAtNs(line_, index);
        for (std::uint8_t a = 1; a <= 3; ++a) {
            if (request[0] != a && request[0] != 250) continue;
            const std::uint8_t fate = in_.next();
            const qint64 delayNs = in_.next() * 8 * NS_PER_MS;
            if ((fate & 3) == 1) continue; // never heard, or dropped
            kvsim::Bytes reply = (fate & 3) == 3
                                     ? kvsim::Bytes{a, static_cast<std::uint8_t>(request[1] | 0x80), 4}
                                     : answer(a, request);
            kvsim::appendCrc(reply);
            qint64& busy = busyUntil_[a - 1];
            const qint64 startNs = std::max(heardNs, busy) + delayNs;
            busy = startNs + line_.wireNs(static_cast<int>(reply.size()));
            QByteArray bytes(reinterpret_cast<const char*>(reply.data()), static_cast<int>(reply.size()));
            if ((fate & 3) == 2) {
                bytes[fate % bytes.size()] = static_cast<char>(bytes[fate % bytes.size()] ^ 0x5A);
            } else {
                replies_[static_cast<std::size_t>(index)].push_back(
                    {QByteArray(reinterpret_cast<const char*>(reply.data()), static_cast<int>(reply.size())),
                     busy});
            }
            // In two pieces, as an adapter may hand it over.
            const int cut = (fate >> 2) % bytes.size();
            if (cut > 0) line_.arrive(startNs + line_.wireNs(cut), bytes.left(cut), index);
            line_.arrive(busy, bytes.mid(cut), index);
        }
    }

    kvsim::Bytes answer(std::uint8_t a, const kvsim::Bytes& request) {
        auto& regs = regs_[a - 1];
        const int reg = request[2] << 8 | request[3];
        const int value = request[4] << 8 | request[5];
        if (request[0] == 250) return {a, 3, 2, 0, a};
        if (request[1] == 6 && reg >= 0x0A00 && reg < 0x0A0E) {
            regs[static_cast<std::size_t>(2 + (reg - 0x0A00) / 2)] = static_cast<std::uint16_t>(value);
            return {request.begin(), request.begin() + 6};
        }
        if (request[1] != 3 || value == 0 || reg + value > 9)
            return {a, static_cast<std::uint8_t>(request[1] | 0x80), 2};
        regs[0] = ++serial_;
        kvsim::Bytes b{a, 3, static_cast<std::uint8_t>(2 * value)};
        for (int r = reg; r < reg + value; ++r) {
            b.push_back(static_cast<std::uint8_t>(regs[static_cast<std::size_t>(r)] >> 8));
            b.push_back(static_cast<std::uint8_t>(regs[static_cast<std::size_t>(r)] & 0xFF));
        }
        return b;
    }

    FakeLine& line_;
    Script& in_;
    std::array<std::array<std::uint16_t, 9>, 3> regs_{};
    std::array<qint64, 3> busyUntil_{};
    std::uint16_t serial_ = 0;
    std::vector<std::vector<Reply>> replies_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Script in(data, size);
    const std::uint8_t head = in.next();
    const auto use = static_cast<Use>(head % USE_COUNT);
    const int timeouts[] = {100, 300, 1000};
    cli::CommonOptions o;
    o.timeoutMs = timeouts[head / USE_COUNT % 3];
    auto owned = std::make_unique<FakeLine>(19200);
    FakeLine& line = *owned;
    line.setEcho(head & 0x40);
    o.echo = head & 0x80;
    // Bytes nobody sent, at times the input gives (tenths of a millisecond).
    for (int bursts = in.next() % 17; bursts > 0; --bursts) {
        const qint64 t = (in.next() << 8 | in.next()) * NS_PER_MS / 10;
        const auto [bytes, n] = in.take(in.next() % 32);
        line.arrive(t, QByteArray(reinterpret_cast<const char*>(bytes), static_cast<int>(n)), NOISE);
    }
    ScriptedBus bus(line, in);
    cli::Session session(o, std::move(owned), QStringLiteral("fuzz"), 19200);
    Oracle oracle(line, [&bus](int i) -> const std::vector<Reply>& { return bus.repliesTo(i); });
    std::mt19937 rng(head);
    run(use, session, oracle, rng, [&bus](int reg) { return bus.holds(reg); });
    oracle.judgeValues =
        !forged(line, [&bus](const QByteArray& frame, qint64 endNs) { return bus.sound(frame, endNs); });
    const auto violations = oracle.violations();
    if (violations.empty()) return 0;
    // What went over the line, in order, to replay it by eye.
    std::size_t w = 0;
    for (const FakeLine::Arrival& a : line.delivered()) {
        for (; w < line.writes().size() && line.writes()[w].ns <= a.ns; ++w)
            std::fprintf(stderr, "%10.3f ms  >> %s  (request %zu)\n", line.writes()[w].ns / 1e6,
                         line.writes()[w].bytes.toHex(' ').constData(), w);
        std::fprintf(stderr, "%10.3f ms  << %s  (from %d)\n", a.ns / 1e6, a.bytes.toHex(' ').constData(),
                     a.from);
    }
    for (; w < line.writes().size(); ++w)
        std::fprintf(stderr, "%10.3f ms  >> %s  (request %zu)\n", line.writes()[w].ns / 1e6,
                     line.writes()[w].bytes.toHex(' ').constData(), w);
    for (const std::string& v : violations)
        std::fprintf(stderr, "violation: %s\n", v.c_str());
    FUZZ_CHECK(violations.empty());
    return 0;
}
