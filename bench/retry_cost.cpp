// What a request costs on a line that garbles a share of the replies: the wider read that
// stands for a retry (one exchange a try) against a resynchronising read before the retry
// (two), on the fake line's virtual clock. Prints, for 10, 30 and 50 % of replies garbled, the
// share of requests answered within two retries, the exchanges on the wire per request and
// per answer, and the line's time per request.

#include "fakeline.h"
#include "line/discipline.h"
#include "sensor/protocol.h"

#include <cstdio>
#include <random>

using namespace kv;
using namespace kv::fake;

namespace {

constexpr int kRequests = 20000;

struct Cost {
    double answered = 0;     // share of requests answered
    double exchanges = 0;    // frames out per request
    double perAnswer = 0;    // frames out per answered request
    double msPerRequest = 0; // the line's time
};

// The sensor answers every read after 5 ms with registers 0..8 of its own; a reply is garbled
// (a data byte flipped) with probability `loss`.
Cost measure(double loss, bool widerReads) {
    FakeLine line(19200);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> draw(0, 1);
    line.onWrite = [&](int index) {
        const QByteArray w = line.writes()[static_cast<std::size_t>(index)].bytes;
        const int start = static_cast<std::uint8_t>(w[3]);
        const int count = static_cast<std::uint8_t>(w[5]);
        QByteArray reply = QByteArray::fromHex("0103");
        reply.append(static_cast<char>(2 * count));
        for (int r = start; r < start + count; ++r)
            reply.append('\0').append(static_cast<char>(r));
        const std::uint16_t crc = crc16(reply);
        reply.append(static_cast<char>(crc & 0xFF)).append(static_cast<char>(crc >> 8));
        if (draw(rng) < loss) reply[3] = static_cast<char>(reply[3] ^ 0x5A);
        line.arrive(line.nowNs() + line.wireNs(8) + 5 * NS_PER_MS +
                        line.wireNs(static_cast<int>(reply.size())),
                    reply, index);
    };
    line::Discipline d(line);
    d.setWiderReads(widerReads);
    const Frame f = sensor::measurementRequest(1);
    line::Request r;
    r.bytes = toBytes(f);
    r.expect = sensor::expectRead(f);
    r.timeout = Millis(100);
    r.retries = 2;
    // The first answer settles what an earlier run might have left: measure from there.
    (void)line::exchange(d, line, r);
    const std::size_t firstWrites = line.writes().size();
    const qint64 start = line.nowNs();
    int answered = 0;
    for (int i = 0; i < kRequests; ++i)
        answered += line::exchange(d, line, r).ok() ? 1 : 0;
    Cost c;
    const double out = static_cast<double>(line.writes().size() - firstWrites);
    c.answered = static_cast<double>(answered) / kRequests;
    c.exchanges = out / kRequests;
    c.perAnswer = answered > 0 ? out / answered : 0;
    c.msPerRequest = static_cast<double>(line.nowNs() - start) / 1e6 / kRequests;
    return c;
}

} // namespace

int main() {
    std::printf("%d requests of two registers, 2 retries, 100 ms timeout, 19200 baud, on the fake line\n",
                kRequests);
    std::printf("%-6s %-28s %9s %11s %11s %11s\n", "loss", "a retry", "answered", "frames/req", "frames/ans",
                "ms/request");
    for (double loss : {0.1, 0.3, 0.5})
        for (bool wider : {false, true}) {
            const Cost c = measure(loss, wider);
            std::printf("%4.0f %%  %-28s %8.1f %% %11.2f %11.2f %11.1f\n", loss * 100,
                        wider ? "a wider read (one exchange)" : "resync read, then request", c.answered * 100,
                        c.exchanges, c.perAnswer, c.msPerRequest);
        }
    return 0;
}
