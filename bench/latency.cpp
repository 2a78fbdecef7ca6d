// Where the time of one measurement goes. A click on "单次" in the real window, through
// its QSerialPort component on a pty, to the moisture value painted, split into:
//
//   click -> request written        the tool: handler, frame, write(2) from the event loop
//   request on the line             8 bytes at the line rate (the far end's clock)
//   t3.5 + turnaround               the sensor's silence before it answers
//   reply on the line               the reply's bytes at the line rate
//   last byte -> receive event      pty, event loop, threshold
//   receive event -> value shown    decoding, texts, lamp, paint and flush
//
// The far end is either a faithful line simulated here (every instant known on one
// clock) or the virtual sensor kv7702r-sim, whose own share is what is left after the
// tool's. Against the physical floor at the line rate.
//
//   latency [ROUNDS] [--sim]          default 200 rounds, 19200 baud
//   latency [ROUNDS] --bare           the yardstick: a bare Qt window that writes the same
//                                     request through QSerialPort and shows the reply as
//                                     hex in its one label, timed the same way
#include "app/mainwindow.h"
#include "bench/benchsupport.h"
#include "measure/receiver.h"
#include "serial/qtserialcomm.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest/QTest>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kBaud = 19200;
constexpr double kByteUs = 10.0 * 1e6 / kBaud;      // 8N1: ten bits a character
constexpr double kT35Us = 3.5 * 11.0 * 1e6 / kBaud; // the RTU frame gap, as a slave waits for it
constexpr double kTurnaroundUs = 5000;              // as kv7702r-sim by default

// CLOCK_MONOTONIC in microseconds; the same clock in both threads.
double nowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

void sleepUntil(double us) {
    for (;;) {
        const double left = us - nowUs();
        if (left <= 0) return;
        timespec ts{static_cast<time_t>(left / 1e6), static_cast<long>(std::fmod(left, 1e6) * 1000)};
        clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
    }
}

// A sensor behind a real line: it sees the request's last byte 8 character times after
// the first went out, keeps silent for t3.5 and its turnaround, and its reply's bytes
// arrive one character time apart.
class Line : public kvbench::PtyPeer {
public:
    struct Exchange {
        double requestIn = 0; // first request byte readable here (the tool has written it)
        double replyLast = 0; // last reply byte handed to the pty
    };

    ~Line() override { stop(); }
    Exchange last() {
        std::lock_guard<std::mutex> lock(m_);
        return last_;
    }

private:
    void run() override {
        unsigned char req[8];
        size_t have = 0;
        unsigned counter = 0;
        Exchange ex;
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0 || !(p.revents & POLLIN)) continue;
            const double seen = nowUs();
            const ssize_t n = read(master_, req + have, sizeof req - have);
            if (n <= 0) continue;
            if (have == 0) ex.requestIn = seen;
            have += static_cast<size_t>(n);
            if (have < 8) continue;
            have = 0;
            unsigned char reply[32];
            const size_t len = kvbench::readReply(req, 2000 + counter++ % 1000, reply);
            const double replyStart = ex.requestIn + 8 * kByteUs + kT35Us + kTurnaroundUs;
            for (size_t i = 0; i < len; ++i) {
                sleepUntil(replyStart + (i + 1) * kByteUs);
                [[maybe_unused]] ssize_t w = write(master_, reply + i, 1);
            }
            ex.replyLast = nowUs();
            std::lock_guard<std::mutex> lock(m_);
            last_ = ex;
        }
    }

    std::mutex m_;
    Exchange last_;
};

struct Stats {
    std::vector<double> v;
    void add(double x) { v.push_back(x); }
    double median() const {
        auto s = v;
        std::sort(s.begin(), s.end());
        return s[s.size() / 2];
    }
    double p95() const {
        auto s = v;
        std::sort(s.begin(), s.end());
        return s[s.size() * 95 / 100];
    }
};

void row(const char* what, const Stats& s, double floorUs = -1) {
    std::printf("  %-34s median %7.3f ms  p95 %7.3f ms", what, s.median() / 1000, s.p95() / 1000);
    if (floorUs >= 0) std::printf("   floor %6.3f ms", floorUs / 1000);
    std::printf("\n");
}

// Calls onPaint at every paint of the controls it watches.
struct PaintWatch : QObject {
    std::function<void()> onPaint;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint && onPaint) onPaint();
        return false;
    }
};

// What the tool's own share is made of at the least: a window of the tool's size with one
// label, the same request written through QSerialPort, the reply shown in the label.
int bareWindow(Line& line, const QString& link, int rounds) {
    QSerialPort serial(link);
    if (!serial.open(QIODevice::ReadWrite) || !serial.setBaudRate(19200)) return 1;
    QWidget window;
    window.resize(1021, 522);
    QLabel text(QStringLiteral("bare window"), &window);
    text.setGeometry(8, 8, 400, 20);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) return 1;

    const QByteArray request = QByteArray::fromHex("010300000002c40b");
    double written = 0, shown = 0;
    QByteArray reply;
    QEventLoop* waiting = nullptr;
    QObject::connect(&serial, &QSerialPort::readyRead, [&] {
        reply += serial.readAll();
        if (reply.size() >= 9) text.setText(QString::fromLatin1(reply.toHex(' ').toUpper()));
    });
    PaintWatch watch;
    text.installEventFilter(&watch);
    watch.onPaint = [&] {
        if (reply.size() < 9 || shown != 0) return;
        QTimer::singleShot(0, [&] {
            shown = nowUs();
            if (waiting) waiting->quit();
        });
    };

    Stats toWrite, toShown, own;
    for (int i = 0; i < rounds + 5; ++i) {
        written = shown = 0;
        reply.clear();
        QEventLoop loop;
        waiting = &loop;
        QTimer::singleShot(2000, &loop, [&] { loop.exit(1); });
        const double click = nowUs();
        serial.write(request);
        serial.flush();
        written = nowUs();
        const bool ok = loop.exec() == 0;
        waiting = nullptr;
        if (!ok) {
            std::fprintf(stderr, "latency: no reply shown in round %d\n", i);
            return 1;
        }
        if (i < 5) continue;
        const Line::Exchange ex = line.last();
        toWrite.add(written - click);
        toShown.add(shown - ex.replyLast);
        own.add((written - click) + (shown - ex.replyLast));
    }
    std::printf(
        "a bare window, one label, at 19200 baud, %d rounds (a faithful line simulated in-process):\n",
        rounds);
    row("write -> request written", toWrite);
    row("last byte -> reply shown", toShown);
    row("its own share", own);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    kv::installFontSubstitutions();
    const int rounds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 200;
    const bool useSim = argc > 2 && QByteArray(argv[2]) == "--sim";
    const bool bare = argc > 2 && QByteArray(argv[2]) == "--bare";

    QTemporaryDir dir;
    const QString link = QDir(dir.path()).filePath(QStringLiteral("COM4"));
    Line line;
    QProcess sim;
    if (useSim) {
        sim.setProgram(QStringLiteral(KV_SIM_BINARY));
        sim.setArguments({QStringLiteral("--link"), link});
        sim.start();
        if (!sim.waitForReadyRead(10000)) return 1;
    } else if (!line.open() || !QFile::link(line.slaveName(), link)) {
        return 1;
    }
    if (bare) return bareWindow(line, link, rounds);
    if (!kvbench::writeCommSet(dir.path())) return 1;
    kvbench::RealWindow tool(dir.path());
    kv::Window& w = tool.context();
    kv::QtSerialComm& port = tool.port;
    if (!tool.up()) return 1;

    // The instants the tool itself passes, on the clock the line uses.
    double written = 0, receiveEvent = 0, decoded = 0, shown = 0;
    QEventLoop* waiting = nullptr;
    // Written: the port component back from write(2) with the request. QSerialPort's own
    // bytesWritten signal comes a pass of the event loop later, after the repaint the
    // click asked for, and would count that repaint as the request's way out.
    struct WriteWatch : kv::TrafficObserver {
        double* written;
        explicit WriteWatch(double* w) : written(w) {}
        void bytesWritten(const QByteArray&) override {
            if (*written == 0) *written = nowUs();
        }
        void bytesArrived(const QByteArray&) override {}
    } writeWatch(&written);
    port.setObserver(&writeWatch);
    // The window's own receive handler, with a stop watch around it.
    port.setOnComm([&] {
        receiveEvent = nowUs();
        const QString before = w.txtValue(0)->text();
        kv::onComm(w);
        decoded = nowUs();
        if (w.txtValue(0)->text() == before) {
            // The same value again: nothing of the box to repaint, it is shown already.
            QTimer::singleShot(0, [&] {
                shown = nowUs();
                if (waiting) waiting->quit();
            });
        }
    });
    // Shown: the first paint of the value box after the reply, once the painted window
    // has been flushed to the display (the next pass of the event loop).
    PaintWatch watch;
    w.txtValue(0)->installEventFilter(&watch);
    watch.onPaint = [&] {
        if (decoded == 0 || shown != 0) return;
        QTimer::singleShot(0, [&] {
            shown = nowUs();
            if (waiting) waiting->quit();
        });
    };

    Stats toWrite, reqLine, gapTurn, replyLine, toEvent, toShown, own, total, decode;
    for (int i = 0; i < rounds + 5; ++i) {
        written = receiveEvent = decoded = shown = 0;
        QEventLoop loop;
        waiting = &loop;
        QTimer::singleShot(2000, &loop, [&] { loop.exit(1); });
        const double click = nowUs();
        w.comDoOnce->click();
        const bool ok = loop.exec() == 0;
        waiting = nullptr;
        if (!ok) {
            std::fprintf(stderr, "latency: no reply shown in round %d\n", i);
            return 1;
        }
        if (i < 5) continue; // warm-up: glyphs, caches
        toWrite.add(written - click);
        toEvent.add(receiveEvent - click); // completed below for the in-process line
        decode.add(decoded - receiveEvent);
        toShown.add(shown - receiveEvent);
        total.add(shown - click);
        if (!useSim) {
            const Line::Exchange ex = line.last();
            reqLine.add(8 * kByteUs);
            gapTurn.add(ex.replyLast - ex.requestIn - 8 * kByteUs - 9 * kByteUs);
            replyLine.add(9 * kByteUs);
            toEvent.v.back() = receiveEvent - ex.replyLast;
            own.add((written - click) + (shown - ex.replyLast));
        } else {
            own.add((written - click) + (shown - receiveEvent));
        }
    }

    const double floorUs = 17 * kByteUs + kT35Us + kTurnaroundUs;
    std::printf("one measurement at 19200 baud, %d rounds (%s):\n", rounds,
                useSim ? "kv7702r-sim as the far end" : "a faithful line simulated in-process");
    row("click -> request written", toWrite);
    if (!useSim) {
        row("request on the line (8 bytes)", reqLine, 8 * kByteUs);
        row("t3.5 + turnaround (+ pacing slack)", gapTurn, kT35Us + kTurnaroundUs);
        row("reply on the line (9 bytes)", replyLine, 9 * kByteUs);
        row("last byte -> receive event", toEvent);
    } else {
        Stats farEnd;
        for (size_t k = 0; k < toEvent.v.size(); ++k)
            farEnd.add(toEvent.v[k] - toWrite.v[k]);
        row("request written -> receive event", farEnd, floorUs);
    }
    row("receive event -> value shown", toShown);
    row("  of which the receive handler", decode);
    row("the tool's own share", own);
    row("click -> value shown", total, floorUs);
    if (useSim) {
        sim.terminate();
        sim.waitForFinished(5000);
    }
    return 0;
}
