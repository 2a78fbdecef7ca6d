#include "sim/bus.h"

#include "sim/clock.h"

#include <algorithm>

namespace kvsim {

namespace {

FaultSetup faultSetup(const Options& o) {
    FaultSetup f;
    f.badCrc = o.badCrc;
    f.silence = o.silence;
    f.exception = o.exception;
    f.garbage = o.garbage;
    f.forgetWrites = o.forgetWrites;
    return f;
}

PacingSetup pacingSetup(const Options& o) {
    PacingSetup p;
    p.turnaroundMs = o.turnaroundMs;
    p.delayMs = o.delayMs;
    p.split = o.split;
    p.splitGapMs = o.splitGapMs;
    return p;
}

} // namespace

Bytes collide(const Bytes& a, const Bytes& b) {
    Bytes out = a.size() >= b.size() ? a : b;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        out[i] = static_cast<uint8_t>(a[i] & b[i]);
    return out;
}

Bus::Bus(const Options& o, uint32_t seed)
    : opt_(o), faults_(faultSetup(o), seed ^ 0x5A5A5A5Au), pacing_(pacingSetup(o)),
      jitter_(seed ^ 0x0F0F0F0Fu), lastAdvanceUs_(nowUs()) {
    for (size_t i = 0; i < o.addresses.size(); ++i) {
        SensorSetup s;
        s.address = static_cast<uint8_t>(o.addresses[i]);
        s.moisture = o.moisture;
        s.temperature = o.temperature;
        s.seed = seed + static_cast<uint32_t>(i); // the first sensor drifts as a lone sensor would
        s.echoAddressChange = o.addressEcho;
        sensors_.emplace_back(s);
    }
}

Bytes Bus::answer(const Bytes& request) {
    if (request.size() >= 2 && request[0] == kWhoIsThereAddress && !opt_.answerAddressRead) return {};
    Bytes wire;
    for (Sensor& sensor : sensors_) {
        const Bytes reply = faults_.respond(request, sensor);
        if (!reply.empty()) wire = wire.empty() ? reply : collide(wire, reply);
    }
    return wire;
}

Bytes Bus::serve(const Bytes& request, int64_t nowUs) {
    for (Sensor& s : sensors_)
        s.advance(static_cast<double>(nowUs - lastAdvanceUs_) / 1e6);
    lastAdvanceUs_ = nowUs;
    return faults_.disturb(answer(request), request);
}

bool Bus::hasSensor(uint8_t address) const {
    return std::any_of(sensors_.begin(), sensors_.end(),
                       [address](const Sensor& s) { return s.address() == address; });
}

PacingSetup Bus::nextPacing() {
    PacingSetup p = pacing_;
    if (opt_.turnaroundMaxMs > opt_.turnaroundMs)
        p.turnaroundMs =
            std::uniform_real_distribution<double>(opt_.turnaroundMs, opt_.turnaroundMaxMs)(jitter_);
    if (opt_.lateEvery > 0 && ++replies_ % opt_.lateEvery == 0) p.delayMs += opt_.lateByMs;
    return p;
}

} // namespace kvsim
