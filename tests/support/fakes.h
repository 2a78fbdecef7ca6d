#pragma once
// Test doubles: a serial component that records what it is told and lets a test
// deliver bytes, and message boxes that record instead of blocking.

#include "window/window.h"
#include "serial/commport.h"
#include "support/qtprint.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtTest/QTest>

#include <algorithm>
#include <functional>

#include <vector>

namespace kv::test {

class FakeComm : public SerialComm {
public:
    // Knobs.
    bool openFails = false;       // the device is missing or held by another program
    bool closeFails = false;      // the port stays open when asked to close
    bool refuseSettings = false;
    QStringList ops;              // every operation, in order

    // State.
    int port = 1;
    QString settings;
    bool open = false;
    int threshold = 0;
    int event = 0;
    QByteArray buffer;
    std::vector<QByteArray> writes;

    bool setCommPort(int p) override {
        ops << QStringLiteral("CommPort=%1").arg(p);
        if (open || p < 1 || p > 255)
            return false;
        port = p;
        return true;
    }
    int commPort() const override { return port; }
    bool setSettings(const QString& s) override {
        ops << QStringLiteral("Settings=") + s;
        if (refuseSettings || parseLineSettings(s) <= 0)
            return false;
        settings = s;
        return true;
    }
    bool portOpen() const override { return open; }
    bool setPortOpen(bool o) override {
        ops << (o ? QStringLiteral("open") : QStringLiteral("close"));
        if (!o) {
            if (closeFails)
                return false;
            open = false;
            buffer.clear();
            return true;
        }
        if (open || openFails)
            return false;
        open = true;
        return true;
    }
    bool setInBufferCount(int c) override {
        ops << QStringLiteral("InBufferCount=%1").arg(c);
        buffer.clear();
        return c == 0;
    }
    bool setOutBufferCount(int c) override {
        ops << QStringLiteral("OutBufferCount=%1").arg(c);
        return c == 0;
    }
    int inBufferCount() const override { return static_cast<int>(buffer.size()); }
    bool setSThreshold(int c) override {
        ops << QStringLiteral("SThreshold=%1").arg(c);
        return true;
    }
    bool setInputLen(int c) override {
        ops << QStringLiteral("InputLen=%1").arg(c);
        return true;
    }
    bool setInputMode(int m) override {
        ops << QStringLiteral("InputMode=%1").arg(m);
        return true;
    }
    bool setRThreshold(int c) override {
        ops << QStringLiteral("RThreshold=%1").arg(c);
        threshold = c;
        return true;
    }
    int rThreshold() const override { return threshold; }
    bool output(const QByteArray& bytes) override {
        ops << QStringLiteral("Output");
        if (!open)
            return false;
        writes.push_back(bytes);
        observeWritten(bytes);
        return true;
    }
    QByteArray input() override {
        QByteArray out;
        out.swap(buffer);
        return out;
    }
    int commEvent() const override { return event; }

    // Bytes arriving from the line; the receive event fires at the threshold.
    void deliver(const QByteArray& bytes) {
        observeArrived(bytes);
        buffer += bytes;
        if (threshold > 0 && buffer.size() >= threshold) {
            event = comEvReceive;
            raiseOnComm();
        }
    }
    void notify(int kind) {
        event = kind;
        raiseOnComm();
    }
    QByteArray lastWrite() const { return writes.empty() ? QByteArray() : writes.back(); }
};

struct ShownMessage {
    QString text;
    QString title;
    Icon icon;
};

class RecordingBoxes : public MessageBoxes {
public:
    // When set, a box stays open, running its own event loop as a modal box does,
    // until the condition holds (or a deadline passes), as if OK were pressed then.
    std::function<bool()> holdUntil;
    std::vector<ShownMessage> shown;
    int open = 0;
    int mostOpenAtOnce = 0;

    void show(const QString& text, const QString& title, Icon icon) override {
        shown.push_back({text, title.isEmpty() ? kAppTitle : title, icon});
        ++open;
        mostOpenAtOnce = std::max(mostOpenAtOnce, open);
        if (holdUntil)
            heldToDeadline = !QTest::qWaitFor(holdUntil, 5000) || heldToDeadline;
        --open;
    }
    bool heldToDeadline = false;
    QStringList texts() const {
        QStringList t;
        for (const auto& m : shown)
            t << m.text;
        return t;
    }

private:
};

// Bytes from a hex text such as "01 03 00 00".
inline QByteArray hex(const char* text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }
inline QString hexText(const QByteArray& bytes) { return QString::fromLatin1(bytes.toHex(' ').toUpper()); }

} // namespace kv::test
