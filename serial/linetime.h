#pragma once
// Time on a line's clock: a steady clock's time points and typed durations, so that nothing
// multiplies counts of nanoseconds or milliseconds by hand. A test line keeps its own virtual
// time on the same type.

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

} // namespace kv
