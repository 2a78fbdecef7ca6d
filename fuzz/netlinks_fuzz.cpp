// The network links' parsers of outside bytes, and the line discipline over a gateway that
// answers anything at any time.
//
// 1. A gateway on the fake line: after each request the input sends ADUs at times it picks,
//    with the current transaction id, an earlier one or any, for unit 1 or another, each a
//    read answer whose value is the transaction id it carries, a gateway exception, or bytes
//    that are no Modbus TCP. Whatever comes, a value is shown only when it is the request's
//    own transaction id, with the latency from that request, and every try is counted once.
// 2. A DTU's stream of any bytes, in any pieces, through the heartbeat filter with heartbeats
//    the input names: what is passed on is the stream with whole heartbeats taken out, never
//    more bytes than came, with what was held back for a heartbeat's rest given up at the end.
#include "check.h"

#include "fakeline.h"
#include "line/clock.h"
#include "line/discipline.h"
#include "net/heartbeat.h"
#include "net/mbap.h"
#include "net/modbustcpline.h"
#include "net/redial.h"
#include "sensor/protocol.h"

using namespace kv;

namespace {

QByteArray adu(int transaction, int unit, const QByteArray& pdu) {
    QByteArray a;
    a.append(char(transaction >> 8)).append(char(transaction & 0xFF)).append('\0').append('\0');
    a.append(char(0)).append(char(pdu.size() + 1)).append(char(unit)).append(pdu);
    return a;
}

void gateway(Script& in) {
    auto stream = std::make_unique<fake::FakeLine>(9600);
    fake::FakeLine& fake = *stream;
    // As the command line has it: bytes that are no Modbus TCP end the connection, and the
    // next try goes over a new one.
    net::RedialLine line(std::make_unique<net::ModbusTcpLine>(std::move(stream)));
    int sent = 0;
    fake.onWrite = [&](int index) {
        ++sent;
        const int current = index + 1; // the link numbers its transactions from 1
        for (int n = in.next() % 4; n > 0; --n) {
            const uint8_t kind = in.next();
            const qint64 at = fake.nowNs() + (in.next() % 64) * 5 * fake::NS_PER_MS;
            const int tid = kind & 1 ? current : kind & 2 ? current - 1 : in.next() << 8 | in.next();
            const int unit = kind & 4 ? 2 : 1;
            QByteArray bytes;
            if ((kind >> 4) == 15) {
                bytes = QByteArray(1 + in.next() % 12, char(in.next())); // no Modbus TCP
            } else if (kind & 8) {
                bytes = adu(tid, unit, QByteArray::fromHex("830B"));
            } else {
                QByteArray pdu = QByteArray::fromHex("0302");
                pdu.append(char((tid >> 8) & 0xFF)).append(char(tid & 0xFF));
                bytes = adu(tid, unit, pdu);
            }
            fake.arrive(at, bytes, index);
        }
    };
    line::Discipline d(line);
    for (int request = 0; request < 4 && !in.done() && !line.lost(); ++request) {
        line::Request r;
        r.bytes = toBytes(sensor::readRequest(1, 0, 1));
        r.expect = sensor::expectRead(sensor::readRequest(1, 0, 1));
        r.timeout = Millis(50 + in.next());
        r.retries = in.next() % 3;
        const int before = sent;
        const line::Exchange ex = line::exchange(d, line, r);
        const line::Tally& t = ex.tally;
        FUZZ_CHECK(t.requests == t.replies + t.exceptions + t.timeouts + t.crcErrors + t.badReplies + t.lost);
        FUZZ_CHECK(t.syncs == 0);
        if (ex.outcome == line::Outcome::Answered) {
            FUZZ_CHECK(ex.reply.registers.size() == 1);
            FUZZ_CHECK(ex.reply.registers[0] == static_cast<std::uint16_t>(sent));
            FUZZ_CHECK(ex.latency.has_value());
            FUZZ_CHECK(fake.writes()[static_cast<std::size_t>(sent - 1)].ns == line::nsAt(ex.sentAt));
            FUZZ_CHECK(sent > before);
        }
    }
}

void dtuStream(Script& in) {
    std::vector<QByteArray> heartbeats;
    for (int n = 1 + in.next() % 3; n > 0; --n) {
        const auto [at, size] = in.take(1 + in.next() % 6);
        heartbeats.emplace_back(reinterpret_cast<const char*>(at), static_cast<int>(size));
    }
    net::HeartbeatFilter filter(heartbeats);
    QByteArray came;
    QByteArray passed;
    while (!in.done()) {
        const auto [at, size] = in.take(1 + in.next() % 16);
        const QByteArray piece(reinterpret_cast<const char*>(at), static_cast<int>(size));
        came += piece;
        passed += filter.strip(piece);
        FUZZ_CHECK(passed.size() <= came.size());
    }
    passed += filter.release();
    // What passed is what came in order, less whole heartbeats: a subsequence of what came.
    int j = 0;
    for (int i = 0; i < came.size() && j < passed.size(); ++i)
        if (came[i] == passed[j]) ++j;
    FUZZ_CHECK(j == passed.size());
    net::AduReader reader;
    reader.feed(came);
    net::Adu out;
    int whole = 0;
    for (auto k = reader.next(out); k == net::AduReader::Cut::Whole; k = reader.next(out)) {
        FUZZ_CHECK(out.pdu.size() >= 1 && out.pdu.size() <= net::MAX_PDU);
        FUZZ_CHECK(crcClosesFrame(net::frameForAdu(out), out.pdu.size() + 3));
        whole += net::MBAP_HEADER + static_cast<int>(out.pdu.size());
    }
    FUZZ_CHECK(whole <= came.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Script in(data, size);
    if (in.next() & 1)
        gateway(in);
    else
        dtuStream(in);
    return 0;
}
