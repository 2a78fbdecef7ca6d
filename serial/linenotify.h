#pragma once
// How a line tells the driver on Qt's event loop that it has something (ByteLine::setNotify):
// at once when the device's signal comes from the event loop, but never from inside one of
// the line's own calls, whose waits (waitForReadyRead, waitForBytesWritten) emit the same
// signals: what came then is told through the event loop once the call is over, unless the
// call hands it to its caller itself (take).

#include <QObject>

#include <functional>

namespace kv {

class LineNotify {
public:
    void set(std::function<void()> onActivity) { notify_ = std::move(onActivity); }

    // The device's signal: bytes came, or an error that may be its end.
    void activity() {
        if (!notify_) return;
        if (calls_ > 0) {
            missed_ = true;
            return;
        }
        ++telling_;
        notify_();
        --telling_;
    }
    // Inside the driver's handler: what the line holds must outlive the signal being handled.
    [[nodiscard]] bool telling() const { return telling_ > 0; }

    // Held while a call of the line runs.
    class Call {
    public:
        explicit Call(LineNotify& n) : n_(n) { ++n_.calls_; }
        ~Call() {
            if (--n_.calls_ == 0 && n_.missed_) n_.later();
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        LineNotify& n_;
    };
    // The call gives its caller what came, and the caller asks whether the line was lost.
    void handedOver() { missed_ = false; }

private:
    void later() {
        missed_ = false;
        if (notify_)
            QMetaObject::invokeMethod(
                &context_, [this] { activity(); }, Qt::QueuedConnection);
    }

    std::function<void()> notify_;
    QObject context_; // a later notification dies with the line
    int calls_ = 0;
    int telling_ = 0;
    bool missed_ = false;
};

} // namespace kv
