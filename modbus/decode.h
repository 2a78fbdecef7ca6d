#pragma once
// Reply decodings: fixed byte positions of a reply turned into texts, each named by what
// it is; the receiver (measure/) puts each where the window shows it. The decodings read
// by position only (a value whose bytes did not arrive is simply not given, and nothing
// outside the reply is read); whoever calls them checks first with replyIsSound where the
// layout allows. They stay apart from the strict judge in sensor/ on purpose: the window
// shows what a reply's bytes say as the tool always did, where the command line and
// monitor refuse it.

#include "modbus/codec.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace kv {

enum class Field {
    Measured,  // the value at measurement position index (0 moisture, 1 temperature, 2, 3)
    Answered,  // measurement slot index got this reply's value, fresh; text is unused
    Parameter, // parameter index
    RA,        // the calibration's reading at the low reference
    RB,        // and at the high reference
    Address,   // the device's address: the one that answered, or its new one
};

struct FieldWrite {
    Field field;
    int index = 0;
    QString text;

    bool operator==(const FieldWrite& o) const { return field == o.field && index == o.index && text == o.text; }
};

using FieldWrites = std::vector<FieldWrite>;

// A reply in the layout of a register read (address, function, byte count N, N
// bytes, CRC) is sound when it is no exception reply (function byte without its
// high bit), holds the whole 5 + N byte frame and the CRC over that frame matches.
// Bytes after the frame do not matter.
[[nodiscard]] bool replyIsSound(const QByteArray& reply);

// Measurement reply; startText is the start register as typed when the reply arrives.
[[nodiscard]] FieldWrites decodeMeasurement(const QByteArray& reply, const QString& startText);
// One-register read, as what readTarget names (0..6 parameters, 7 RA, 8 RB).
[[nodiscard]] FieldWrites decodeRegisterRead(const QByteArray& reply, int readTarget);
// Address change: byte 3 is the new address.
[[nodiscard]] FieldWrites decodeAddressChange(const QByteArray& reply);
// Address change answered by the standard echo of the request: a reply of at least
// six bytes that repeats the request as far as it goes (up to its CRC; the receive
// event may come before the CRC has arrived) confirms the request's new address,
// byte 5. Any other reply is decoded by byte 3, as above.
[[nodiscard]] FieldWrites decodeAddressChange(const QByteArray& reply, const Frame& request);
// Address read: byte 0 is the address of the device that answered.
[[nodiscard]] FieldWrites decodeAddressRead(const QByteArray& reply);

} // namespace kv
