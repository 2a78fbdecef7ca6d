#include "monitor/monitor.h"

#include "window/window.h"

#include <QPixmapCache>

#include <cmath>
#include <cstdio>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace kv::mon {

Monitor::Monitor(Window& w, SerialComm& port) : w_(w), port_(port) {
    tracker_.onExchanges = [this](const std::vector<Exchange>& done) { deliver(done); };
}

Monitor::~Monitor() {
    if (log_.isOpen()) tracker_.finish();
    watch(false);
    delete window_.data();
}

QString Monitor::startLog(const QString& path) {
    QString error = log_.open(path);
    if (error.isEmpty()) watch(true);
    return error;
}

void Monitor::show() {
    if (!window_) {
        window_ = new MonitorWindow;
        window_->setAttribute(Qt::WA_DeleteOnClose);
        connect(window_, &QObject::destroyed, this, [this] {
            // Nobody watches the trend now; the bytes only while a log is written.
            w_.decodedObserver = nullptr;
            if (!log_.isOpen()) {
                watch(false);
                tracker_.reset();
            }
            // Give the pages of the table, the trend and their drawings back.
            QPixmapCache::clear();
#ifdef __GLIBC__
            malloc_trim(0);
#endif
        });
        w_.decodedObserver = [this](qint16 cmdType, const FieldWrites& writes) {
            onDecoded(cmdType, writes);
        };
        watch(true);
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void Monitor::watch(bool on) {
    watching_ = on;
    port_.setObserver(on ? &tracker_ : nullptr);
}

void Monitor::deliver(const std::vector<Exchange>& exchanges) {
    // A failed write is reported once; later lines are still tried (the disk may free up).
    if (log_.isOpen() && !log_.append(exchanges) && !logFailed_) {
        logFailed_ = true;
        std::fprintf(stderr, "kv7702r-tool: cannot write the log: %s\n", qPrintable(log_.error()));
    }
    if (window_) window_->addExchanges(exchanges);
}

void Monitor::onDecoded(qint16 cmdType, const FieldWrites& writes) {
    if (cmdType != 1 || !window_) return;
    // Moisture and temperature are the first two value boxes of a measurement.
    TrendPoint point{QDateTime::currentDateTime(), NAN, NAN};
    for (const FieldWrite& fw : writes) {
        if (fw.field != Field::Value || fw.index > 1) continue;
        bool ok = false;
        const double v = fw.text.toDouble(&ok);
        if (ok) (fw.index == 0 ? point.moisture : point.temperature) = v;
    }
    if (!std::isnan(point.moisture) || !std::isnan(point.temperature)) window_->addTrendPoint(point);
}

} // namespace kv::mon
