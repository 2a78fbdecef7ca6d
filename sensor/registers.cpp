#include "sensor/registers.h"

#include "sensor/protocol.h"
#include "sensor/values.h"

namespace kv::sensor {
namespace {

KnownRegister parameterRegister(int i, bool write) {
    const ParameterInfo& p = parameterInfo(i);
    return {write ? parameterWriteRegister(i) : parameterReadRegister(i), p.key, p.label, i};
}

std::vector<KnownRegister> reads() {
    std::vector<KnownRegister> r{
        {REG_MOISTURE, "moisture", "moisture, % x 100", -1},
        {REG_TEMPERATURE, "temperature", "temperature, degC x 100, above 30000 negative (raw - 65536)", -1},
    };
    // Parameter i is read at 2 + i, so the last one shares register 8 with the resistance,
    // which is what the sensor reports there.
    for (int i = 0; i + 1 < PARAMETER_COUNT; ++i)
        r.push_back(parameterRegister(i, false));
    r.push_back({REG_RESISTANCE, "resistance", "PT100 resistance, ohm x 100 (where range is read)", -1});
    return r;
}

std::vector<KnownRegister> writes() {
    std::vector<KnownRegister> w;
    w.reserve(PARAMETER_COUNT + 1);
    for (int i = 0; i < PARAMETER_COUNT; ++i)
        w.push_back(parameterRegister(i, true));
    w.push_back({REG_ADDRESS, "address", "device address 1-247", -1});
    return w;
}

} // namespace

const std::vector<KnownRegister>& knownRegisters(bool write) {
    static const std::vector<KnownRegister> r = reads();
    static const std::vector<KnownRegister> w = writes();
    return write ? w : r;
}

std::optional<std::uint16_t> readBackRegister(std::uint16_t writtenRegister) {
    if (writtenRegister == REG_ADDRESS) return std::nullopt;
    const KnownRegister* k = knownRegister(writtenRegister, true);
    return k && k->parameter >= 0 ? parameterReadRegister(k->parameter) : writtenRegister;
}

const KnownRegister* knownRegister(std::uint16_t reg, bool write) {
    for (const KnownRegister& k : knownRegisters(write))
        if (k.reg == reg) return &k;
    return nullptr;
}

} // namespace kv::sensor
