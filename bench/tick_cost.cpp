// The cost of one cycle tick of the real window: the tool shown on the display it is
// given (Xvfb for figures that mean anything), its QSerialPort component on a pty whose
// far end answers every request at once, the cycle started by "循环" at 50 ms. Prints
// CPU time per tick; under callgrind (bench/tick-instructions) the instructions of the
// measured ticks alone are dumped, warm-up and shutdown left out.
//
//   tick_cost [TICKS] [--paints]    default 200 ticks; --paints lists what repainted
#include "bench/benchsupport.h"
#include "app/mainwindow.h"
#include "serial/qtserialcomm.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest/QTest>

#include <valgrind/callgrind.h>

#include <cstdio>
#include <map>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// The far end of the line: answers each 8-byte read request at once, the moisture
// register changing from one reply to the next so that every reply shows.
class Responder : public kvbench::PtyPeer {
public:
    ~Responder() override { stop(); }

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
