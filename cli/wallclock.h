#pragma once
// The wall clock of a run, read off the line's clock: tied to it once, so that every time
// the run writes (rows, trace, summary) comes from the one clock the line keeps, and stays
// in order when the wall clock is set meanwhile.

#include "serial/linetime.h"

#include <QString>

namespace kv::cli {

struct WallClock {
    qint64 lineNs = 0; // the line's clock when it was tied
    qint64 unixMs = 0; // and the wall clock then

    // Ties the line's present time to the wall clock's.
    [[nodiscard]] static WallClock tiedAt(qint64 lineNowNs);
    [[nodiscard]] qint64 unixMsAt(qint64 atNs) const { return unixMs + wholeMs(Nanos(atNs - lineNs)); }
    // RFC 3339, UTC, milliseconds: 2026-12-08T21:59:37.123Z
    [[nodiscard]] QString textAt(qint64 atNs) const;
};

} // namespace kv::cli
