#pragma once
// Reply decodings: fixed byte positions of a reply turned into texts for the
// window's fields. The decodings themselves read by position only (a field whose
// bytes did not arrive is simply not written, and nothing outside the reply is
// read); whoever calls them checks first with replyIsSound where the layout allows.
// They stay apart from the strict judge in sensor/ on purpose: the window shows what a
// reply's bytes say as the tool always did, where the command line and monitor refuse it.

#include "modbus/codec.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace kv {

enum class Field {
    Value,       // txtValue(index)
    ValueBlack,  // text colour of txtValue(index) set to black; text is unused
    SetValue,    // txtsetValue(index)
    RA,          // txtRA
    RB,          // txtRB
    SetID,       // txtSetID(index)
    StationID,   // txtStationID
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

// value / 10^decimals with at least intDigits integer digits: "#00.00" is (v, 2, 2),
// "#0.00" is (v, 1, 2), "#0.0000" is (v, 1, 4). Always a '.' as the point.
[[nodiscard]] QString formatScaled(long long value, int intDigits, int decimals);

// Measurement reply; startText is txtStartID as it stands when the reply arrives.
[[nodiscard]] FieldWrites decodeMeasurement(const QByteArray& reply, const QString& startText);
// One-register read into the field that readTarget names (0..6 parameters, 7 RA, 8 RB).
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
