// The cost of one cycle tick of the real window: the tool shown on the display it is
// given (Xvfb for figures that mean anything), its QSerialPort component on a pty whose
// far end answers every request at once, the cycle started by "循环" at 50 ms. Prints
// CPU time per tick; under callgrind (bench/tick-instructions) the instructions of the
// measured ticks alone are dumped, warm-up and shutdown left out.
//
//   tick_cost [TICKS] [--paints]    default 200 ticks; --paints lists what repainted
//   tick_cost --shots DIR           writes what the X server shows of the window at the
//                                   request and at the reply of the cycle's 30th tick, the
//                                   far end holding its answer between them: two pictures
//                                   that must not change when the window's painting does
#include "app/mainwindow.h"
#include "bench/benchsupport.h"
#include "serial/qtserialcomm.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest/QTest>

#include <valgrind/callgrind.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <poll.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

// The far end of the line: answers each 8-byte read request at once, the moisture
// register changing from one reply to the next so that every reply shows.
class Responder : public kvbench::PtyPeer {
public:
    ~Responder() override { stop(); }
    // Requests from this one on (counted from 1) are answered only once let go.
    std::atomic<unsigned> holdFrom{~0u};
    std::atomic<bool> letGo{false};

private:
    void run() override {
        unsigned char buf[256];
        size_t have = 0;
        unsigned counter = 0;
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0 || !(p.revents & POLLIN)) continue;
            const ssize_t n = read(master_, buf + have, sizeof buf - have);
            if (n <= 0) continue;
            have += static_cast<size_t>(n);
            while (have >= 8) {
                while (counter + 1 >= holdFrom && !letGo && !stop_)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                unsigned char reply[32];
                const size_t len = kvbench::readReply(buf, 2000 + counter++ % 1000, reply);
                [[maybe_unused]] ssize_t w = write(master_, reply, len);
                std::copy(buf + 8, buf + have, buf);
                have -= 8;
            }
        }
    }
};

// Runs the event loop until pred holds, checking a few times a second so that the
// check itself costs nothing worth counting.
bool runUntil(const std::function<bool()>& pred, int timeoutMs) {
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (pred()) loop.quit();
    });
    check.start(250);
    QTimer::singleShot(timeoutMs, &loop, [&] { loop.exit(1); });
    return pred() || loop.exec() == 0;
}

// Counts paint events per control, to see what a tick repaints.
class PaintCounter : public QObject {
public:
    std::map<QString, int> counts;
    bool on = false;

protected:
    bool eventFilter(QObject* o, QEvent* e) override {
        if (on && e->type() == QEvent::Paint) {
            QString name = o->objectName();
            if (name.isEmpty())
                name = QString::fromLatin1(o->metaObject()->className()) + QLatin1Char('<') +
                       (o->parent() ? o->parent()->objectName() : QString()) + QLatin1Char('>');
            ++counts[name];
        }
        return false;
    }
};

// What the X server shows of the window, once every repaint asked for has reached it.
QImage onScreen(QWidget& window) {
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents();
        QTest::qWait(10);
    }
    QGuiApplication::sync();
    const QRect r = window.geometry();
    return window.screen()->grabWindow(0, r.x(), r.y(), r.width(), r.height()).toImage();
}

// The request and the reply of tick 30 of a 50 ms cycle, as the display shows them.
int shots(const QString& out, kvbench::RealWindow& tool, Responder& far) {
    kv::Window& w = tool.context();
    w.txtTimerSet->setText(QStringLiteral("50"));
    int ticks = 0;
    far.holdFrom = 30;
    // Runs after the tool's own tick: the 30th request is on its way, and no tick follows.
    QObject::connect(w.Timer2, &QTimer::timeout, [&] {
        if (++ticks == 30) w.Timer2->stop();
    });
    w.cmdOneM->click();
    if (!runUntil([&] { return ticks >= 30; }, 60000)) return 1;
    const bool written = onScreen(tool.window).save(QDir(out).filePath(QStringLiteral("request.png")));
    far.letGo = true;
    if (!runUntil([&] { return w.RxCount >= 31; }, 10000)) return 1;
    if (!written || !onScreen(tool.window).save(QDir(out).filePath(QStringLiteral("reply.png")))) return 1;
    std::printf("request.png and reply.png in %s\n", qPrintable(out));
    return 0;
}

double cpuSeconds(bool system = false) {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    const timeval& t = system ? u.ru_stime : u.ru_utime;
    return t.tv_sec + t.tv_usec / 1e6 + (system ? 0 : cpuSeconds(true));
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    kv::installFontSubstitutions();
    const int ticks = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
    PaintCounter paints;

    Responder far;
    QTemporaryDir dir;
    if (!far.open() || !kvbench::writeCommSet(dir.path()) ||
        !QFile::link(far.slaveName(), QDir(dir.path()).filePath(QStringLiteral("COM4")))) {
        std::fprintf(stderr, "tick_cost: cannot set up the line\n");
        return 1;
    }

    kvbench::RealWindow tool(dir.path());
    kv::MainWindow& window = tool.window;
    kv::Window& w = tool.context();
    if (!tool.up()) {
        std::fprintf(stderr, "tick_cost: port or window did not come up\n");
        return 1;
    }
    if (argc > 2 && QByteArray(argv[1]) == "--shots")
        return shots(QString::fromLocal8Bit(argv[2]), tool, far);
    w.txtTimerSet->setText(QStringLiteral("50"));
    w.cmdOneM->click();
    if (!runUntil([&] { return w.RxCount > 20; }, 60000)) return 1;

    const qint32 start = w.RxCount;
    if (argc > 2 && QByteArray(argv[2]) == "--paints") {
        // Application-wide filters see nothing outside QApplication::exec(); watch each control.
        window.installEventFilter(&paints);
        for (QWidget* child : window.findChildren<QWidget*>())
            child->installEventFilter(&paints);
        paints.on = true;
    }
    CALLGRIND_ZERO_STATS;
    const double cpu0 = cpuSeconds();
    const double sys0 = cpuSeconds(true);
    QElapsedTimer wall;
    wall.start();
    const bool done = runUntil([&] { return w.RxCount >= start + ticks; }, ticks * 500);
    const double cpu = cpuSeconds() - cpu0;
    const double sys = cpuSeconds(true) - sys0;
    const double seconds = wall.nsecsElapsed() / 1e9;
    const qint32 counted = w.RxCount - start;
    CALLGRIND_DUMP_STATS_AT("ticks");
    w.cmdStopOnce->click();
    std::printf("ticks %d  wall %.2f s  CPU %.1f us per tick (%.1f in the kernel)  %.2f %% of a core\n",
                counted, seconds, cpu / counted * 1e6, sys / counted * 1e6, cpu / seconds * 100);
    for (const auto& [name, count] : paints.counts)
        std::printf("  %5.2f paints per tick  %s\n", double(count) / counted, qPrintable(name));
    return done ? 0 : 1;
}
