#include "cli/wallclock.h"

#include <QDateTime>

namespace kv::cli {

WallClock WallClock::tiedAt(qint64 lineNowNs) {
    return {lineNowNs, QDateTime::currentMSecsSinceEpoch()};
}

QString WallClock::textAt(qint64 atNs) const {
    return QDateTime::fromMSecsSinceEpoch(unixMsAt(atNs), Qt::UTC).toString(Qt::ISODateWithMs);
}

} // namespace kv::cli
