#pragma once
// What the benchmarks share: message boxes that only print, the line's CRC-16
// (computed here so that a bench's far end does not lean on the tool's codec), the
// tool's folder and its window brought up as the tool starts.

#include "app/mainwindow.h"
#include "serial/qtserialcomm.h"
#include "window/window.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QtTest/QTest>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace kvbench {

class SilentBoxes : public kv::MessageBoxes {
public:
    void show(const QString& text, const QString&, kv::Icon) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
};

inline quint16 crc16(const unsigned char* p, std::size_t n) {
    quint16 crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

// The reply to an 8-byte read request: registers moisture, 2500, then zeros (at most 7),
// CRC sealed. Returns the reply's length; reply holds at least 19 bytes.
inline std::size_t readReply(const unsigned char* request, unsigned moisture, unsigned char* reply) {
    const unsigned count = request[5] < 7 ? request[5] : 7;
    reply[0] = request[0];
    reply[1] = request[1];
    reply[2] = static_cast<unsigned char>(2 * count);
    for (unsigned r = 0; r < count; ++r) {
        const unsigned v = r == 0 ? moisture : r == 1 ? 2500 : 0;
        reply[3 + 2 * r] = static_cast<unsigned char>(v >> 8);
        reply[4 + 2 * r] = static_cast<unsigned char>(v & 0xFF);
    }
    const std::size_t len = 3 + 2 * count;
    const quint16 crc = crc16(reply, len);
    reply[len] = static_cast<unsigned char>(crc & 0xFF);
    reply[len + 1] = static_cast<unsigned char>(crc >> 8);
    return len + 2;
}

// The far end of a pseudo terminal in raw mode, served by run() on a thread of its own.
// A subclass calls stop() first in its destructor, so run() never outlives its members.
class PtyPeer {
public:
    PtyPeer() = default;
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;
    virtual ~PtyPeer() {
        stop();
        if (master_ >= 0) close(master_);
    }
    bool open() {
        int slave = -1;
        if (openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0) return false;
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        slaveName_ = QString::fromLocal8Bit(ttyname(slave));
        close(slave);
        thread_ = std::thread([this] { run(); });
        return true;
    }
    QString slaveName() const { return slaveName_; }

protected:
    virtual void run() = 0;
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    int master_ = -1;
    std::atomic<bool> stop_{false};

private:
    QString slaveName_;
    std::thread thread_;
};

// The comm.set that puts the tool in folder dir on its COM4 at the given rate.
inline bool writeCommSet(const QString& dir, const QString& rate = QStringLiteral("19200")) {
    QFile f(QDir(dir).filePath(QStringLiteral("comm.set")));
    return f.open(QIODevice::WriteOnly) && f.write(QStringLiteral("4,%1\r\n").arg(rate).toLatin1()) > 0;
}

// The real window on its QSerialPort component in folder dir, loaded and shown.
class RealWindow {
public:
    explicit RealWindow(const QString& dir) : port(dir), window(port, boxes, dir) {
        window.load();
        window.show();
    }
    // The port open and the window on the display.
    bool up() { return port.portOpen() && QTest::qWaitForWindowExposed(&window); }
    kv::Window& context() { return window.context(); }

    kv::QtSerialComm port;
    SilentBoxes boxes;
    kv::MainWindow window;
};

} // namespace kvbench
