// The virtual gateway's Modbus-TCP framing. The input is a script of ADUs (any transaction,
// unit and PDU of 1..253 bytes) with, now and then, a header no gateway accepts, all
// delivered in pieces the input picks. Whatever comes, the assembler yields exactly the
// ADUs sent before the first bad header, whole and in order, and nothing after it; what it
// holds never exceeds one ADU; and every ADU becomes an RTU request of its unit with a
// valid CRC and re-encodes to the bytes it came in.
#include "check.h"

#include "sim/mbap.h"

#include <vector>

namespace {

using kvsim::Adu;
using kvsim::Bytes;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Script in(data, size);
    Bytes stream;
    std::vector<Adu> expected;
    bool broken = false;
    while (!in.done()) {
        const uint8_t op = in.next();
        if (op % 16 == 15 && !broken) { // a bad header: protocol not 0, or a length that holds no PDU
            const bool badProtocol = op & 0x10;
            stream.insert(stream.end(),
                          {in.next(), in.next(), 0,
                           static_cast<uint8_t>(badProtocol ? 1 + in.next() % 255 : 0), 0,
                           static_cast<uint8_t>(badProtocol ? 6 : (op & 0x20 ? 1 : 255)), in.next()});
            broken = true;
            continue;
        }
        Adu adu;
        adu.transaction = static_cast<uint16_t>(in.next() << 8 | in.next());
        adu.unit = in.next();
        adu.pdu.resize(1 + in.next() % kvsim::MbapAssembler::kMaxPdu);
        for (uint8_t& b : adu.pdu)
            b = in.next();
        const Bytes encoded = kvsim::encodeAdu(adu);
        stream.insert(stream.end(), encoded.begin(), encoded.end());
        if (!broken) expected.push_back(std::move(adu));
    }

    kvsim::MbapAssembler assembler;
    std::vector<Adu> got;
    size_t at = 0;
    for (uint8_t seed = 1; at < stream.size(); seed = static_cast<uint8_t>(seed * 37 + 11)) {
        const size_t n = std::min<size_t>(stream.size() - at, 1 + (seed ^ (at & 0xFF)) % 40);
        for (Adu& adu : assembler.feed(stream.data() + at, n))
            got.push_back(std::move(adu));
        at += n;
        FUZZ_CHECK(assembler.pending() < kvsim::MbapAssembler::kHeaderSize + kvsim::MbapAssembler::kMaxPdu);
    }
    FUZZ_CHECK(assembler.broken() == broken);
    FUZZ_CHECK(got.size() == expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        FUZZ_CHECK(got[i].transaction == expected[i].transaction);
        FUZZ_CHECK(got[i].unit == expected[i].unit);
        FUZZ_CHECK(got[i].pdu == expected[i].pdu);
        const Bytes rtu = kvsim::rtuRequestFor(got[i]);
        FUZZ_CHECK(kvsim::crcValid(rtu) && rtu[0] == got[i].unit);
        kvsim::MbapAssembler again;
        const Bytes encoded = kvsim::encodeAdu(got[i]);
        const std::vector<Adu> back = again.feed(encoded.data(), encoded.size());
        FUZZ_CHECK(back.size() == 1 && back[0].pdu == got[i].pdu);
    }
    return 0;
}
