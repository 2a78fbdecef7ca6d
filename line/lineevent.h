#pragma once
// What the line discipline did and heard, told as it happens to whoever watches (a trace):
// each request written, each frame or burst heard with the judge's verdict on it, and each
// try that ended without an answer.

#include "serial/linetime.h"

#include <QByteArray>

#include <cstdint>
#include <optional>

namespace kv::line {

struct LineEvent {
    enum class Direction { Sent, Heard, Ended };
    enum class Verdict {
        Request,   // Sent: the request (or a retry of it)
        Sync,      // Sent: the resynchronising read; Heard: its answer
        Answer,    // the sound reply taken as the answer
        Exception, // the device's exception, taken as the answer
        Late,      // a sound frame from the device asked that answers an earlier request
        Other,     // a sound frame from another device than the one asked
        Noise,     // bytes that are no sound frame
        Crc,       // a reply of the answer's shape with a bad CRC
        Echo,      // the request itself came back
        Stripped,  // with --echo: the adapter's copy of the request, taken out
        Timeout,   // Ended: no answer within the timeout (its grace heard out)
        Short,     // Ended: the answer began and was cut short
        Busy,      // Ended: never sent, the line never fell silent
        Lost,      // Ended: the line went away
        Stopped,   // Ended: the operator stopped
    };
    Direction direction = Direction::Heard;
    Verdict verdict = Verdict::Noise;
    TimePoint at;                 // on the line's clock: the last byte written, or read, or the end
    QByteArray bytes;             // empty for Ended
    std::uint8_t address = 0;     // the device asked
    int attempt = 0;              // 0 for the first try, then the retry's number
    std::optional<Nanos> latency; // an answer surely this try's
};

[[nodiscard]] const char* verdictName(LineEvent::Verdict verdict);

} // namespace kv::line
