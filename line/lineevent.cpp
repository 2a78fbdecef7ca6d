#include "line/lineevent.h"

namespace kv::line {

const char* verdictName(LineEvent::Verdict verdict) {
    using V = LineEvent::Verdict;
    switch (verdict) {
    case V::Request:
        return "request";
    case V::Sync:
        return "sync";
    case V::Answer:
        return "answer";
    case V::Exception:
        return "exception";
    case V::Late:
        return "late";
    case V::Other:
        return "another address";
    case V::Noise:
        return "noise";
    case V::Crc:
        return "CRC";
    case V::Echo:
        return "echo";
    case V::Stripped:
        return "echo stripped";
    case V::Timeout:
        return "timeout";
    case V::Short:
        return "cut short";
    case V::Busy:
        return "busy";
    case V::Lost:
        return "port lost";
    case V::Stopped:
        return "stopped";
    }
    return "?";
}

} // namespace kv::line
