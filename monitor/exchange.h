#pragma once
// One request and what came back, judged strictly by the sensor layer: the monitor's own
// view of the traffic, independent of the window's lenient decoding.

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <limits>

namespace kv::mon {

enum class Status {
    Ok,
    CrcError,
    OtherAddress,  // the reply names another device
    WrongFunction, // a sound frame that answers another function
    Exception,     // a Modbus exception reply; see Exchange::exceptionCode
    BadEcho,       // a write acknowledged with other bytes than were written
    Incomplete,    // some bytes, not a whole reply, before the next request
    NoReply,       // nothing before the next request
    Unsolicited,   // bytes while no request was waiting
};
inline constexpr int kStatusCount = static_cast<int>(Status::Unsolicited) + 1;

struct Exchange {
    QDateTime time;     // when the request was written (or the stray bytes came)
    QByteArray request; // empty for unsolicited bytes
    QByteArray reply;
    double responseMs = -1; // request written -> reply complete; -1 when it never completed
    Status status = Status::NoReply;
    int exceptionCode = 0;
    QString decoded; // values the reply carries, when it is sound
    // The measurement registers a sound read carried, scaled; NaN when it did not.
    double moisture = std::numeric_limits<double>::quiet_NaN();
    double temperature = std::numeric_limits<double>::quiet_NaN();
};

// Fills status, exceptionCode, decoded and the measurement of an exchange whose reply is final.
void judge(Exchange& ex);

// An exception shows its code and standard name in capitals ("异常 04 SERVER DEVICE FAILURE").
[[nodiscard]] QString statusText(const Exchange& ex);
// The status in full where a translation shortens it to fit its column, else empty.
[[nodiscard]] QString statusFullWording(const Exchange& ex);
// Upper-case hex with a blank between bytes.
[[nodiscard]] QString hexText(const QByteArray& bytes);

[[nodiscard]] QString csvHeader();
[[nodiscard]] QString csvLine(const Exchange& ex);

} // namespace kv::mon
