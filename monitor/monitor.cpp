#include "monitor/monitor.h"

#include "serial/commport.h"

#include <QCoreApplication>
#include <QPixmapCache>
#include <QRect>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace kv::mon {

QRect monitorPlacement(const QRect& screen, const QRect& mainFrame, QSize monitor) {
    constexpr int kGap = 8;
    constexpr int kShift = 64; // what stays visible of the main window's title bar and left edge
    QRect r(QPoint(), monitor.boundedTo(screen.size()));
    const auto clampX = [&](int x) { return std::clamp(x, screen.left(), screen.right() + 1 - r.width()); };
    const auto clampY = [&](int y) { return std::clamp(y, screen.top(), screen.bottom() + 1 - r.height()); };
    if (mainFrame.right() + kGap + r.width() <= screen.right()) {
        r.moveTopLeft({mainFrame.right() + 1 + kGap, clampY(mainFrame.top())});
    } else if (mainFrame.left() - kGap - r.width() >= screen.left()) {
        r.moveTopLeft({mainFrame.left() - kGap - r.width(), clampY(mainFrame.top())});
    } else if (mainFrame.bottom() + kGap + r.height() <= screen.bottom()) {
        r.moveTopLeft({clampX(mainFrame.left()), mainFrame.bottom() + 1 + kGap});
    } else {
        // Shrunk, where need be, to keep the shift rather than slide back over the main window.
        const QPoint at(std::clamp(mainFrame.left() + kShift, screen.left(), screen.right() + 1 - kShift),
                        std::clamp(mainFrame.top() + kShift, screen.top(), screen.bottom() + 1 - kShift));
        r = QRect(at, QSize(std::min(r.width(), screen.right() + 1 - at.x()),
                            std::min(r.height(), screen.bottom() + 1 - at.y())));
    }
    return r;
}

Monitor::Monitor(SerialComm& port, ViewMaker makeView) : port_(port), makeView_(std::move(makeView)) {
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

QString Monitor::cannotOpen(const QString& why) {
    return QCoreApplication::translate("Monitor", "通讯监视器无法打开：%1").arg(why);
}

QString Monitor::show() {
    if (!window_) {
        QString error;
        view_ = makeView_ ? makeView_(&error) : nullptr;
        if (!view_) return error.isEmpty() ? QStringLiteral("no monitor window in this program") : error;
        window_ = view_->widget();
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
    return {};
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
    view_->addExchanges(exchanges);
    for (const Exchange& ex : exchanges)
        if (!std::isnan(ex.moisture) || !std::isnan(ex.temperature))
            view_->addTrendPoint({ex.time, ex.moisture, ex.temperature});
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
