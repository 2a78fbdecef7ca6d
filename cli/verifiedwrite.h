#pragma once
// A parameter write told as the sensor holds it afterwards: read back after an
// acknowledgement, and also after one that was lost, garbled, echoed, refused or cut by an
// unplug (the port opened again when it comes back).

#include "cli/session.h"

#include <cstdint>

namespace kv::cli {

// What a write left in the sensor, as far as the line can tell.
struct Written {
    enum State { Yes, No, Unknown } state = Unknown;
    int code = 0;          // the exit code that follows the truth
    bool readBack = false; // told by reading back after the acknowledgement went astray
};

// Writes `raw` to parameter i, which held `old`, says what went wrong, and tells what the
// register holds after.
[[nodiscard]] Written writeVerified(Session& s, int i, std::uint16_t raw, std::uint16_t old);

} // namespace kv::cli
