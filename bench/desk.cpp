// The window and the monitor on a real display (run under Xvfb) against the virtual
// sensor, cycling every 50 ms.
//   desk_bench --cpu         prints the tool's CPU time and memory over 10 s each with the
//                            monitor never opened, open, and closed again
//   desk_bench --shots DIR   writes the screenshots of docs/ into DIR
//   desk_bench --dark-shots DIR   the window and the monitor on a dark desktop, run under
//                            QT_QPA_PLATFORMTHEME=gtk3 GTK_THEME=Adwaita:dark
//   desk_bench --english-shots DIR   the whole window and the monitor in English
#include "app/language.h"
#include "app/mainwindow.h"
#include "bench/benchsupport.h"
#include "monitor/monitorwindow.h"
#include "serial/qtserialcomm.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest/QTest>

#include <cstdio>
#include <sys/resource.h>

namespace {

using kvbench::SilentBoxes;

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// "anonymous/file-backed" resident KiB: the heap apart from mapped libraries and fonts.
QString resident() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return QStringLiteral("?");
    long anon = -1, file = -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("RssAnon:"))
            anon = line.mid(8).trimmed().split(' ').value(0).toLong();
        else if (line.startsWith("RssFile:"))
            file = line.mid(8).trimmed().split(' ').value(0).toLong();
    }
    return QStringLiteral("%1/%2").arg(anon).arg(file);
}

void runFor(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QTest::qWait(50);
}

struct Desk {
    QTemporaryDir dir;
    QProcess sim;
    SilentBoxes boxes;
    std::unique_ptr<kv::QtSerialComm> port;
    std::unique_ptr<kv::MainWindow> window;
    std::unique_ptr<kv::mon::Monitor> monitor;

    bool start(const QStringList& simOptions) {
        if (!kvbench::writeCommSet(dir.path())) return false;
        sim.setProgram(QStringLiteral(KV_SIM_BINARY));
        sim.setArguments(
            QStringList{QStringLiteral("--link"), QDir(dir.path()).filePath(QStringLiteral("COM4"))} +
            simOptions);
        sim.start();
        if (!sim.waitForReadyRead(5000)) return false;
        port = std::make_unique<kv::QtSerialComm>(dir.path());
        window = std::make_unique<kv::MainWindow>(*port, boxes, dir.path());
        monitor = std::make_unique<kv::mon::Monitor>(*port, kv::mon::windowMaker());
        window->load();
        window->show();
        return port->portOpen() && QTest::qWaitForWindowExposed(window.get());
    }
    void cycle(int periodMs) {
        window->context().txtTimerSet->setText(QString::number(periodMs));
        window->context().cmdOneM->click();
    }
    ~Desk() {
        monitor.reset();
        window.reset();
        port.reset();
        sim.terminate();
        sim.waitForFinished(5000);
    }
};

int cpu() {
    Desk desk;
    if (!desk.start({QStringLiteral("--seed"), QStringLiteral("1")})) return 1;
    desk.cycle(50);
    runFor(2000); // settle
    const auto phase = [&](const char* name) {
        const qint32 before = desk.window->context().RxCount;
        const double c0 = cpuSeconds();
        QElapsedTimer t;
        t.start();
        runFor(10000);
        const double cpu = cpuSeconds() - c0;
        const double wall = static_cast<double>(t.elapsed()) / 1000.0;
        std::printf("%-22s CPU %6.3f s in %5.2f s = %5.1f %%   replies %4d   resident anon/file %s KiB\n",
                    name, cpu, wall, 100.0 * cpu / wall, desk.window->context().RxCount - before,
                    qPrintable(resident()));
        return cpu / wall;
    };
    std::printf("50 ms cycle against the virtual sensor, this process only (the sensor not counted)\n");
    const double never = phase("monitor never opened");
    desk.monitor->show();
    if (!QTest::qWaitForWindowExposed(windowOf(*desk.monitor))) return 1;
    const double open = phase("monitor open");
    windowOf(*desk.monitor)->close();
    QTest::qWait(100);
    const double closed = phase("monitor closed again");
    std::printf("open / never = %.2f, closed again / never = %.2f\n", open / never, closed / never);
    return 0;
}

// The monitor after a minute of cycling every 50 ms, which fills its one-minute span.
bool monitorAfterAMinute(Desk& desk, const QString& file) {
    desk.monitor->show();
    windowOf(*desk.monitor)->resize(1200, 800);
    if (auto* span = windowOf(*desk.monitor)->findChild<QComboBox*>(QStringLiteral("span")))
        span->setCurrentIndex(0);
    if (!QTest::qWaitForWindowExposed(windowOf(*desk.monitor))) return false;
    desk.cycle(50);
    runFor(60000);
    desk.window->context().cmdStopOnce->click();
    QTest::qWait(500);
    windowOf(*desk.monitor)->refresh();
    QTest::qWait(300);
    return windowOf(*desk.monitor)->grab().save(file);
}

int shots(const QString& out) {
    Desk desk;
    if (!desk.start({QStringLiteral("--seed"), QStringLiteral("7"), QStringLiteral("--bad-crc"),
                     QStringLiteral("0.01"), QStringLiteral("--silence"), QStringLiteral("0.01"),
                     QStringLiteral("--exception"), QStringLiteral("0.01")}))
        return 1;
    QDir().mkpath(out);
    kv::Window& w = desk.window->context();
    // The window as it opens, after one measurement.
    w.comDoOnce->click();
    QTest::qWait(500);
    desk.window->grab().save(QDir(out).filePath(QStringLiteral("window-small-screen.png")));
    // Scrolled down to the calibration group.
    QScrollBar* bar = desk.window->scrollArea()->verticalScrollBar();
    bar->setValue(bar->maximum());
    QTest::qWait(300);
    desk.window->grab().save(QDir(out).filePath(QStringLiteral("window-scrolled.png")));
    bar->setValue(0);
    if (!monitorAfterAMinute(desk, QDir(out).filePath(QStringLiteral("monitor.png")))) return 1;
    std::printf("screenshots in %s\n", qPrintable(out));
    return 0;
}

int darkShots(const QString& out) {
    const QColor desktop = QApplication::palette().color(QPalette::Window);
    if (desktop.lightness() > 128) {
        std::fprintf(stderr, "the desktop's palette is light (%s): run under a dark theme\n",
                     qPrintable(desktop.name()));
        return 1;
    }
    Desk desk;
    if (!desk.start({QStringLiteral("--seed"), QStringLiteral("7")})) return 1;
    QDir().mkpath(out);
    kv::Window& w = desk.window->context();
    w.cmdREAD(0)->click();
    QTest::qWait(300);
    desk.monitor->show();
    windowOf(*desk.monitor)->resize(1200, 800);
    if (auto* span = windowOf(*desk.monitor)->findChild<QComboBox*>(QStringLiteral("span")))
        span->setCurrentIndex(0);
    if (!QTest::qWaitForWindowExposed(windowOf(*desk.monitor))) return 1;
    desk.cycle(200);
    runFor(20000);
    w.cmdStopOnce->click();
    QTest::qWait(500);
    desk.window->grab().save(QDir(out).filePath(QStringLiteral("window-dark-desktop.png")));
    windowOf(*desk.monitor)->refresh();
    QTest::qWait(300);
    windowOf(*desk.monitor)->grab().save(QDir(out).filePath(QStringLiteral("monitor-dark-desktop.png")));
    std::printf("screenshots in %s, the desktop's window colour %s\n", qPrintable(out),
                qPrintable(desktop.name()));
    return 0;
}

// The whole designed page after a measurement, a parameter read and a calibration, and
// the monitor after a minute of cycling, as `--lang en` shows them.
int englishShots(const QString& out) {
    const QString error = kv::useLanguage(QStringLiteral("en"));
    if (!error.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    Desk desk;
    if (!desk.start({QStringLiteral("--seed"), QStringLiteral("7"), QStringLiteral("--exception"),
                     QStringLiteral("0.02")}))
        return 1;
    QDir().mkpath(out);
    kv::Window& w = desk.window->context();
    const QSize page = desk.window->scrollArea()->widget()->minimumSize();
    desk.window->resize(page);
    // Each request is answered before the next goes out: one more receive event each.
    const auto answered = [&w](QPushButton* button) {
        const qint32 before = w.RxCount;
        button->click();
        return QTest::qWaitFor([&] { return w.RxCount > before; }, 3000);
    };
    for (QPushButton* b : {w.comDoOnce, w.cmdREAD(0), w.cmdRead0})
        if (!answered(b)) return 1;
    // The virtual sensor keeps one temperature: the hot bath's reading is typed in.
    w.txtRB->setText(QStringLiteral("139.10"));
    w.cmdCatalute->click();
    QTest::qWait(300);
    desk.window->grab().save(QDir(out).filePath(QStringLiteral("window-en.png")));
    if (!monitorAfterAMinute(desk, QDir(out).filePath(QStringLiteral("monitor-en.png")))) return 1;
    std::printf("screenshots in %s\n", qPrintable(out));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kv7702r-tool"));
    kv::installFontSubstitutions();
    const QStringList args = QApplication::arguments();
    if (args.size() >= 2 && args[1] == QLatin1String("--cpu")) return cpu();
    if (args.size() >= 3 && args[1] == QLatin1String("--shots")) return shots(args[2]);
    if (args.size() >= 3 && args[1] == QLatin1String("--dark-shots")) return darkShots(args[2]);
    if (args.size() >= 3 && args[1] == QLatin1String("--english-shots")) return englishShots(args[2]);
    std::fprintf(stderr,
                 "usage: desk_bench --cpu | --shots DIR | --dark-shots DIR | --english-shots DIR   (on a "
                 "display, e.g. under xvfb-run)\n");
    return 2;
}
