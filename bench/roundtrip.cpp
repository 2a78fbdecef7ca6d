// Prints how long one measurement takes end to end: click on "单次" until the reply
// has been decoded into the window, through the QSerialPort component and the
// virtual sensor on a pty. Also the cost of building a request frame and its text.
#include "bench/benchsupport.h"
#include "app/mainwindow.h"
#include "serial/qtserialcomm.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest/QTest>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using kvbench::SilentBoxes;

void report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double v : ms)
        sum += v;
    std::printf("%-34s n=%zu  mean %.2f ms  median %.2f  p95 %.2f  min %.2f  max %.2f\n", what, ms.size(),
                sum / ms.size(), ms[ms.size() / 2], ms[ms.size() * 95 / 100], ms.front(), ms.back());
}

bool measureAt(const QString& rate, int rounds) {
    QTemporaryDir dir;
    if (!kvbench::writeCommSet(dir.path(), rate))
        return false;

    QProcess sim;
    sim.setProgram(QStringLiteral(KV_SIM_BINARY));
    sim.setArguments({QStringLiteral("--link"), QDir(dir.path()).filePath(QStringLiteral("COM4"))});
    sim.start();
    if (!sim.waitForReadyRead(10000))
        return false;

    kv::QtSerialComm port(dir.path());
    SilentBoxes boxes;
    kv::MainWindow window(port, boxes, dir.path());
    kv::Window& w = window.context();
    window.load();
    if (!port.portOpen())
        return false;

    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        const qint32 before = w.RxCount;
        QElapsedTimer t;
        t.start();
        w.comDoOnce->click();
        // Not QTest::qWaitFor: it sleeps 10 ms between looks, which would add up to 10 ms.
        QDeadlineTimer deadline(5000);
        while (w.RxCount == before && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (w.RxCount == before)
            return false;
        ms.push_back(t.nsecsElapsed() / 1e6);
    }
    report(qPrintable(QStringLiteral("measurement round trip @ %1").arg(rate)), ms);
    sim.terminate();
    sim.waitForFinished(5000);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QElapsedTimer t;
    t.start();
    constexpr int kFrames = 1000000;
    unsigned sink = 0;
    for (int i = 0; i < kFrames; ++i) {
        kv::Frame frame{static_cast<std::uint8_t>(i), 3, 0, 0, 0, 2};
        kv::sealFrame(frame);
        sink += frame[6];
    }
    std::printf("%-34s %.1f ns per frame (%u)\n", "CRC-16 over a request", t.nsecsElapsed() / double(kFrames), sink & 1);
    t.restart();
    int length = 0;
    for (int i = 0; i < kFrames / 10; ++i)
        length += kv::requestText(kv::Frame{1, 3, 0, 0, 0, static_cast<std::uint8_t>(i)}).size();
    std::printf("%-34s %.1f ns per frame (%d)\n", "request hex text", t.nsecsElapsed() / double(kFrames / 10), length & 1);

    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    bool ok = measureAt(QStringLiteral("19200"), rounds);
    ok = measureAt(QStringLiteral("9600"), rounds) && ok;
    return ok ? 0 : 1;
}
