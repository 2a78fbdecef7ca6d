#include "net/mbap.h"

#include "modbus/codec.h"

namespace kv::net {
namespace {

std::uint8_t byteAt(const QByteArray& b, int i) {
    return static_cast<std::uint8_t>(b[i]);
}

} // namespace

QByteArray aduForFrame(std::uint16_t transaction, const QByteArray& rtuFrame) {
    const int pduSize = static_cast<int>(rtuFrame.size()) - 3; // address in front, CRC behind
    if (pduSize < 1 || pduSize > MAX_PDU) return {};
    const int length = pduSize + 1;
    QByteArray adu;
    adu.reserve(MBAP_HEADER + pduSize);
    adu.append(static_cast<char>(transaction >> 8)).append(static_cast<char>(transaction & 0xFF));
    adu.append('\0').append('\0');
    adu.append(static_cast<char>(length >> 8)).append(static_cast<char>(length & 0xFF));
    adu.append(rtuFrame.left(1)).append(rtuFrame.mid(1, pduSize));
    return adu;
}

QByteArray frameForAdu(const Adu& adu) {
    QByteArray frame;
    frame.reserve(static_cast<int>(adu.pdu.size()) + 3);
    frame.append(static_cast<char>(adu.unit)).append(adu.pdu);
    const std::uint16_t crc = crc16(frame);
    frame.append(static_cast<char>(crc & 0xFF)).append(static_cast<char>(crc >> 8));
    return frame;
}

bool isGatewayException(const QByteArray& pdu) {
    return pdu.size() == 2 && (byteAt(pdu, 0) & MODBUS_EXCEPTION_FLAG) != 0 &&
           (byteAt(pdu, 1) == MODBUS_EXCEPTION_GATEWAY_PATH_UNAVAILABLE ||
            byteAt(pdu, 1) == MODBUS_EXCEPTION_GATEWAY_TARGET_FAILED);
}

AduReader::Cut AduReader::next(Adu& out) {
    if (buffer_.size() < MBAP_HEADER) return Cut::NeedMore;
    const int protocol = byteAt(buffer_, 2) << 8 | byteAt(buffer_, 3);
    const int length = byteAt(buffer_, 4) << 8 | byteAt(buffer_, 5);
    // The length counts the unit id and the PDU.
    if (protocol != 0 || length < 2 || length > MAX_PDU + 1) {
        out.transaction = static_cast<std::uint16_t>(byteAt(buffer_, 0) << 8 | byteAt(buffer_, 1));
        out.unit = byteAt(buffer_, 6);
        out.pdu = buffer_.mid(MBAP_HEADER, MAX_PDU);
        buffer_.clear();
        return Cut::Broken;
    }
    const int whole = MBAP_HEADER - 1 + length;
    if (buffer_.size() < whole) return Cut::NeedMore;
    out.transaction = static_cast<std::uint16_t>(byteAt(buffer_, 0) << 8 | byteAt(buffer_, 1));
    out.unit = byteAt(buffer_, 6);
    out.pdu = buffer_.mid(MBAP_HEADER, length - 1);
    buffer_.remove(0, whole);
    return Cut::Whole;
}

} // namespace kv::net
