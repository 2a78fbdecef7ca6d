#pragma once
// The byte line keeps its clock in nanoseconds, the line discipline in time points on it: these
// convert where the two meet.

#include "serial/byteline.h"
#include "serial/linetime.h"

namespace kv::line {

[[nodiscard]] inline TimePoint timeAt(qint64 ns) {
    return TimePoint(Nanos(ns));
}
[[nodiscard]] inline qint64 nsAt(TimePoint t) {
    return t.time_since_epoch().count();
}
[[nodiscard]] inline TimePoint now(const ByteLine& line) {
    return timeAt(line.nowNs());
}

} // namespace kv::line
