#pragma once
// A write told as the sensor holds it afterwards: read back after an acknowledgement, and
// also after one that was lost, garbled, echoed, refused or cut by an unplug (the port
// opened again when it comes back).

#include "cli/session.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace kv::cli {

// What a write left in the sensor, as far as the line can tell.
struct Written {
    enum State { Yes, No, Unknown } state = Unknown;
    int code = 0;                      // the exit code that follows the truth
    bool readBack = false;             // told by reading back after the acknowledgement went astray
    bool acknowledged = false;         // the sensor answered the write as it should
    std::vector<std::uint16_t> held{}; // what the registers held when read back; empty: not read
};

// A write of one or several registers, and where each is read back.
struct RegisterWrite {
    QString what; // "la", "register 0x0A08"
    QByteArray request;
    sensor::Expectation expect;
    std::vector<std::uint16_t> values; // written
    std::vector<std::uint16_t> readAt; // where each value is read back
    std::vector<std::uint16_t> old;    // what those registers held before
};

// Writes, says what went wrong, and tells what the registers hold after (in `held`, when
// they could be read).
[[nodiscard]] Written writeChecked(Session& s, const RegisterWrite& w,
                                   std::vector<std::uint16_t>* held = nullptr);

// Writes `raw` to parameter i, which held `old`.
[[nodiscard]] Written writeVerified(Session& s, int i, std::uint16_t raw, std::uint16_t old);

} // namespace kv::cli
