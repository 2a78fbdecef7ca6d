#pragma once
// The serial-port component: the operations the window's handlers call on it.
// Setters report whether the component accepted the operation, so that handlers
// running step by step can skip a refused step and go on with the next.

#include <QByteArray>
#include <QString>

#include <functional>

namespace kv {

// CommEvent codes.
inline constexpr int comEvReceive = 2; // bytes were received
inline constexpr int comEvCD = 5;      // line state changed: the device went away

// Sees the line without taking part: every byte written and every byte that arrives,
// as it happens and whatever the receive threshold. Called on the window's thread
// before the receive event; it must return at once.
class TrafficObserver {
public:
    virtual ~TrafficObserver() = default;
    virtual void bytesWritten(const QByteArray& bytes) = 0;
    virtual void bytesArrived(const QByteArray& bytes) = 0;
};

class SerialComm {
public:
    virtual ~SerialComm() = default;

    // Port number (1..255). Refused while the port is open or for numbers below 1.
    [[nodiscard]] virtual bool setCommPort(int port) = 0;
    [[nodiscard]] virtual int commPort() const = 0;
    // "rate,N,8,1"; anything else is refused.
    [[nodiscard]] virtual bool setSettings(const QString& settings) = 0;
    [[nodiscard]] virtual bool portOpen() const = 0;
    // True opens (refused when already open or when the device cannot be opened),
    // false closes.
    [[nodiscard]] virtual bool setPortOpen(bool open) = 0;
    // Only 0 is meaningful: discard buffered input / pending output.
    virtual bool setInBufferCount(int count) = 0;
    virtual bool setOutBufferCount(int count) = 0;
    [[nodiscard]] virtual int inBufferCount() const = 0;
    virtual bool setSThreshold(int count) = 0;
    virtual bool setInputLen(int count) = 0;
    virtual bool setInputMode(int mode) = 0;
    // With n > 0 the receive event fires once at least n bytes are buffered; 0 stops it.
    virtual bool setRThreshold(int count) = 0;
    [[nodiscard]] virtual int rThreshold() const = 0;
    // Refused when the port is closed.
    virtual bool output(const QByteArray& bytes) = 0;
    // Returns and removes the buffered bytes.
    [[nodiscard]] virtual QByteArray input() = 0;
    [[nodiscard]] virtual int commEvent() const = 0;

    // The receive event, delivered on the window's thread between other events.
    void setOnComm(std::function<void()> handler) { onComm_ = std::move(handler); }
    // At most one; nullptr when nobody watches.
    void setObserver(TrafficObserver* observer) { observer_ = observer; }

protected:
    void raiseOnComm() {
        if (onComm_)
            onComm_();
    }
    void observeWritten(const QByteArray& bytes) const {
        if (observer_)
            observer_->bytesWritten(bytes);
    }
    void observeArrived(const QByteArray& bytes) const {
        if (observer_ && !bytes.isEmpty())
            observer_->bytesArrived(bytes);
    }

private:
    std::function<void()> onComm_;
    TrafficObserver* observer_ = nullptr;
};

// Checks the "rate,N,8,1" form and returns the rate, or 0 when it does not match.
[[nodiscard]] int parseLineSettings(const QString& settings);

// The user's configuration folder: where an installed tool keeps comm.set and COMn links.
[[nodiscard]] QString userConfigDir();

// The device a port number stands for on this platform. On Windows "COMn"; elsewhere
// "COMn" in programDir, else in the user's configuration folder, when that path exists
// (a link to a device or a pty), else /dev/ttyS<n-1>.
[[nodiscard]] QString deviceForPort(int port, const QString& programDir);

// The device node that path leads to once every link is followed: the name the port is
// opened and locked by, so that two links to one device are one port. The path itself
// when it leads nowhere.
[[nodiscard]] QString realDevice(const QString& path);

} // namespace kv
