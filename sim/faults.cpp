#include "sim/faults.h"

#include "sim/sensor.h"

#include <array>

namespace kvsim {

bool Faults::chance(double rate) {
    if (rate <= 0.0) return false;
    return rate >= 1.0 || std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < rate;
}

Bytes Faults::respond(const Bytes& request, Sensor& sensor) {
    if (!setup_.forgetWrites) return kvsim::respond(request, sensor);
    std::array<uint16_t, Sensor::kParameterCount> kept{};
    for (int i = 0; i < Sensor::kParameterCount; ++i)
        kept[static_cast<size_t>(i)] = sensor.parameter(i);
    Bytes reply = kvsim::respond(request, sensor);
    for (int i = 0; i < Sensor::kParameterCount; ++i)
        sensor.writeParameterRegister(static_cast<uint16_t>(Sensor::kParameterWriteBase + 2 * i),
                                      kept[static_cast<size_t>(i)]);
    return reply;
}

Bytes Faults::disturb(Bytes reply, const Bytes& request) {
    if (reply.empty() || chance(setup_.silence)) return {};
    if (chance(setup_.exception)) reply = exceptionReply(reply[0], request[1], exc::kDeviceFailure);
    if (chance(setup_.badCrc)) reply[reply.size() - 2] ^= 0x5A;
    for (int i = 0; i < setup_.garbage; ++i)
        reply.push_back(static_cast<uint8_t>(rng_() & 0xFF));
    return reply;
}

} // namespace kvsim
