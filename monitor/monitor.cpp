#include "monitor/monitor.h"

#include "serial/commport.h"

#include <QPixmapCache>
#include <QScreen>

#include <cmath>
#include <cstdio>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace kv::mon {

Monitor::Monitor(SerialComm& port) : port_(port) {
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
            // The bytes are watched on only while a log is written.
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
        watch(true);
        place();
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
    if (!window_) return;
    window_->addExchanges(exchanges);
    for (const Exchange& ex : exchanges)
        if (!std::isnan(ex.moisture) || !std::isnan(ex.temperature))
            window_->addTrendPoint({ex.time, ex.moisture, ex.temperature});
}

void Monitor::place() {
    if (!mainWindow_ || !mainWindow_->isVisible()) return;
    const QScreen* screen = mainWindow_->screen();
    if (!screen) return;
    // The window manager's frame around the monitor is taken as wide as the main window's.
    const QSize decoration = mainWindow_->frameGeometry().size() - mainWindow_->size();
    const QRect frame = monitorPlacement(screen->availableGeometry(), mainWindow_->frameGeometry(),
                                         window_->size() + decoration);
    window_->resize(frame.size() - decoration);
    window_->move(frame.topLeft());
}

} // namespace kv::mon
