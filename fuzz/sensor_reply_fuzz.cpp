// Replies are outside bytes: whatever arrives, the checks read nothing outside it, and a
// reply they accept is whole, sealed by its CRC and of the length they asked for.

#include "sensor/protocol.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace kv;
using namespace kv::sensor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The first two bytes choose the request; the rest is the reply.
    const std::uint8_t address = static_cast<std::uint8_t>(data[0] % 248);
    Expectation expect;
    switch (data[1] % 5) {
    case 0:
        expect = expectRead(readRequest(address, 0, static_cast<std::uint16_t>(data[1] / 5 % 126)));
        break;
    case 1:
        expect = expectEcho(parameterWriteRequest(address, data[1] / 5 % 7, 0x1234));
        break;
    case 2:
        expect = expectAddressChange(addressChangeRequest(address, 37));
        break;
    case 3:
        expect = expectAddressRead();
        break;
    default:
        expect = expectRead(measurementRequest(address));
        break;
    }
    const QByteArray reply(reinterpret_cast<const char*>(data + 2), static_cast<int>(size - 2));
    for (int n = 0; n <= reply.size(); ++n)
        (void)replyLength(reply.left(n), expect);
    const Reply r = checkReply(reply, expect);
    (void)describe(r);
    if (r.ok()) {
        if (reply.size() != replyLength(reply, expect) || reply.size() < 4) std::abort();
        const std::uint16_t crc = crc16(reply.left(reply.size() - 2));
        if (static_cast<std::uint8_t>(reply.at(reply.size() - 2)) != (crc & 0xFF) ||
            static_cast<std::uint8_t>(reply.at(reply.size() - 1)) != (crc >> 8))
            std::abort();
        if (expect.kind == ReplyKind::Read && r.registers.size() != expect.count) std::abort();
    }
    return 0;
}
