#pragma once
// One reading as the collector keeps and forwards it: taken, committed to the spool with its
// sequence number, then sent on by every forwarder, each at its own pace.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace kv::collect {

struct Record {
    qint64 seq = 0;    // given by the spool: one series over every sensor, so a gap is a loss
    qint64 unixMs = 0; // when it was taken, UTC
    QString sensor;    // the sensor's key and topic part: "<bus>/<address>"
    bool ok = false;   // a plausible measurement
    QByteArray json;   // one JSON object: the reading as `read --json` writes it, with the sensor's
                       // name, site and depth; the forwarder adds `seq`
    QByteArray influx; // one line-protocol point, no newline: as `--influx` writes it, with site
                       // and depth tags; idempotent by its time and tags
};

} // namespace kv::collect
