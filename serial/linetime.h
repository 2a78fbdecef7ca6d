#pragma once
// Time on a line's clock: a steady clock's time points and typed durations, so that nothing
// multiplies counts of nanoseconds or milliseconds by hand. A test line keeps its own virtual
// time on the same type.

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace kv {

using LineClock = std::chrono::steady_clock;
using TimePoint = LineClock::time_point;
using Nanos = std::chrono::nanoseconds;
using Millis = std::chrono::milliseconds;

// Whole milliseconds of a duration, rounded down, as the operator reads them.
[[nodiscard]] constexpr std::int64_t wholeMs(Nanos d) { return std::chrono::duration_cast<Millis>(d).count(); }
// Milliseconds with their fraction, for latencies.
[[nodiscard]] constexpr double msOf(Nanos d) { return std::chrono::duration<double, std::milli>(d).count(); }
// A duration of fractional milliseconds (a time on the wire) on the clock's own count.
[[nodiscard]] constexpr Nanos nanosOfMs(double ms) {
    return std::chrono::duration_cast<Nanos>(std::chrono::duration<double, std::milli>(ms));
}
// What is left of a wait as the milliseconds Qt's waits take: rounded up, so that a wait ends
// at or after its time, and at most a minute (the caller waits again); 0 when nothing is left.
[[nodiscard]] constexpr int waitMs(Nanos left) {
    constexpr std::int64_t kLongestMs = 60000;
    if (left <= Nanos::zero()) return 0;
    return static_cast<int>(std::min<std::int64_t>(std::chrono::ceil<Millis>(left).count(), kLongestMs));
}

} // namespace kv
