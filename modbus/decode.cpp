#include "modbus/decode.h"

#include "modbus/fieldnum.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace kv {
namespace {

int byteAt(const QByteArray& reply, int i) { return static_cast<std::uint8_t>(reply.at(i)); }

// Register at byte i (high) and i + 1 (low), when both arrived.
bool registerAt(const QByteArray& reply, int i, long long& v) {
    if (i < 0 || i + 1 >= reply.size())
        return false;
    v = byteAt(reply, i) * 256 + byteAt(reply, i + 1);
    return true;
}

QString plain(long long v) { return QString::number(v); }

} // namespace

bool replyIsSound(const QByteArray& reply) {
    constexpr int kHeader = 3; // address, function, byte count
    constexpr int kCrc = 2;
    if (reply.size() < kHeader) return false;
    // An exception reply carries an exception code, not registers.
    if (byteAt(reply, 1) & MODBUS_EXCEPTION_FLAG) return false;
    const int frameLength = kHeader + byteAt(reply, 2) + kCrc;
    return crcClosesFrame(reply, frameLength);
}

FieldWrites decodeMeasurement(const QByteArray& reply, const QString& startText) {
    FieldWrites out;
    // Positions are kept in double so that any start register (even 1e15) is safe.
    double k = 0;
    if (const auto s = num::readNumber(startText)) {
        const double floored = std::floor(*s);
        k = floored == 0 ? 0 : (floored - 1) * 2;
    }
    if (reply.size() < 3)
        return out;
    const int last = byteAt(reply, 2) + 1; // the bound is fixed before the first pass
    int n = 0;
    for (int i = 3; i <= last; i += 2, ++n) {
        long long v = 0;
        if (!registerAt(reply, i, v))
            continue; // this register did not arrive: its value is not given
        const double p = k + n;
        if (p == 0) {
            out.push_back({Field::Measured, 0, num::formatScaled(v, 2, 2)});
        } else {
            if (v > 30000)
                v -= 65536;
            if (p == 1 || p == 2)
                out.push_back({Field::Measured, static_cast<int>(p), num::formatScaled(v, 2, 2)});
            else if (p == 3)
                out.push_back({Field::Measured, 3, num::formatScaled(v, 1, 2)});
        }
        // The slot is answered, not the position.
        if (n <= 3)
            out.push_back({Field::Answered, n, QString()});
    }
    return out;
}

FieldWrites decodeRegisterRead(const QByteArray& reply, int readTarget) {
    long long v = 0;
    if (!registerAt(reply, 3, v))
        return {};
    if (readTarget == 0)
        return {{Field::Parameter, 0, num::formatScaled(v, 1, 4)}};
    if (readTarget >= 1 && readTarget <= 6)
        return {{Field::Parameter, readTarget, plain(v)}};
    if (readTarget == 7)
        return {{Field::RA, 0, num::formatScaled(v, 2, 2)}};
    if (readTarget == 8)
        return {{Field::RB, 0, num::formatScaled(v, 2, 2)}};
    return {};
}

static FieldWrites addressInto(const QByteArray& reply, int position) {
    if (reply.size() <= position)
        return {};
    const QString text = plain(byteAt(reply, position));
    return {{Field::Address, 0, text}};
}

FieldWrites decodeAddressChange(const QByteArray& reply) { return addressInto(reply, 3); }
FieldWrites decodeAddressChange(const QByteArray& reply, const Frame& request) {
    constexpr int kBeforeCrc = 6;
    const int compared = std::min(static_cast<int>(reply.size()), static_cast<int>(request.size()));
    bool echo = compared >= kBeforeCrc;
    for (int i = 0; echo && i < compared; ++i)
        echo = byteAt(reply, i) == request[static_cast<std::size_t>(i)];
    return addressInto(echo ? toBytes(request) : reply, echo ? 5 : 3);
}

FieldWrites decodeAddressRead(const QByteArray& reply) { return addressInto(reply, 0); }

} // namespace kv
