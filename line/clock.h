#pragma once
// Times on the line's clock as the nanosecond counts the silences, the wall clock and the trace
// still keep: these convert where the two meet.

#include "serial/linetime.h"

#include <QtGlobal>

namespace kv::line {

[[nodiscard]] inline TimePoint timeAt(qint64 ns) {
    return TimePoint(Nanos(ns));
}
[[nodiscard]] inline qint64 nsAt(TimePoint t) {
    return t.time_since_epoch().count();
}

} // namespace kv::line
