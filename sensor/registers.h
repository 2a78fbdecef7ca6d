#pragma once
// The sensor's registers by name, for raw access to any register: which ones a read
// (function 3 or 4) and a write (function 6 or 16) reach, and what they hold.

#include <cstdint>
#include <optional>
#include <vector>

namespace kv::sensor {

struct KnownRegister {
    std::uint16_t reg;
    const char* name;    // "moisture", "la", "address"
    const char* meaning; // what it holds, with its unit
    int parameter;       // the parameter 0..6 it reads or writes; -1 for none
};

// What a read of the register gives, or a write to it changes; null for a register the
// sensor is not known to have.
[[nodiscard]] const KnownRegister* knownRegister(std::uint16_t reg, bool write);
// Every known register of reads or of writes, in register order.
[[nodiscard]] const std::vector<KnownRegister>& knownRegisters(bool write);

// Where a write to the register is read back: a parameter at the register it is read from
// (0x0A08, LA, at 6), any register not known as written elsewhere at itself. None for the
// address register: the sensor answers at another address after it.
[[nodiscard]] std::optional<std::uint16_t> readBackRegister(std::uint16_t writtenRegister);

} // namespace kv::sensor
