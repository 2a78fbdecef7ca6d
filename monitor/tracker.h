#pragma once
// Pairs the bytes on the line into exchanges. The observer calls only note the time
// and the bytes; pairing and judging run later from the event loop, so the receive
// event that follows is not held up.

#include "monitor/exchange.h"
#include "sensor/protocol.h"
#include "serial/commport.h"

#include <QElapsedTimer>
#include <QObject>

#include <functional>
#include <vector>

namespace kv::mon {

class Tracker : public QObject, public TrafficObserver {
public:
    // Nanoseconds on a steady clock; the wall time of an exchange is start plus that.
    using Clock = std::function<qint64()>;
    // Without a clock, a QElapsedTimer started now.
    explicit Tracker(QObject* parent = nullptr, Clock clock = {},
                     QDateTime start = QDateTime::currentDateTime());

    // Each finished exchange, in order, from the event loop.
    std::function<void(const std::vector<Exchange>&)> onExchanges;

    void bytesWritten(const QByteArray& bytes) override { note(true, bytes); }
    void bytesArrived(const QByteArray& bytes) override { note(false, bytes); }

    // Processes what has been noted and ends the exchange still open (no reply yet).
    void finish();
    // Forgets what has been noted and the exchange in progress.
    void reset();

private:
    struct Noted {
        qint64 ns;
        bool written;
        QByteArray bytes;
    };
    void note(bool written, const QByteArray& bytes);
    void process();
    void arrived(qint64 ns, const QByteArray& bytes);
    void close(std::vector<Exchange>& out);
    QDateTime wallTime(qint64 ns) const { return start_.addMSecs(ns / 1000000); }

    QElapsedTimer elapsed_;
    Clock clock_;
    QDateTime start_;
    std::vector<Noted> noted_;
    bool posted_ = false;

    Exchange open_;
    sensor::Expectation expect_; // of the open request
    bool waiting_ = false;       // a request is open and its reply not complete
    bool stray_ = false;         // unsolicited bytes are being collected
    qint64 sentNs_ = 0;
    std::vector<Exchange> done_;
};

} // namespace kv::mon
