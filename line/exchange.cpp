#include "line/exchange.h"

#include <algorithm>

namespace kv::line {
namespace {

constexpr Millis kMinGrace{20};
constexpr Millis kMaxGrace{500};

} // namespace

Millis graceFor(Millis timeout) {
    return std::clamp(timeout / 2, kMinGrace, kMaxGrace);
}

void Tally::addLate(std::uint8_t from) {
    for (auto& [address, n] : late)
        if (address == from) {
            ++n;
            return;
        }
    late.emplace_back(from, 1);
}

int Tally::lateFrom(std::uint8_t address) const {
    for (const auto& [from, n] : late)
        if (from == address) return n;
    return 0;
}

int Tally::lateTotal() const {
    int total = 0;
    for (const auto& entry : late)
        total += entry.second;
    return total;
}

Tally& Tally::operator+=(const Tally& o) {
    requests += o.requests;
    retries += o.retries;
    replies += o.replies;
    exceptions += o.exceptions;
    timeouts += o.timeouts;
    crcErrors += o.crcErrors;
    badReplies += o.badReplies;
    lost += o.lost;
    syncs += o.syncs;
    noise += o.noise;
    for (const auto& [from, n] : o.late)
        for (int i = 0; i < n; ++i)
            addLate(from);
    return *this;
}

} // namespace kv::line
