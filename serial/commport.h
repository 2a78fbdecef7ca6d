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

protected:
    void raiseOnComm() {
        if (onComm_)
            onComm_();
    }

private:
    std::function<void()> onComm_;
};

// Checks the "rate,N,8,1" form and returns the rate, or 0 when it does not match.
[[nodiscard]] int parseLineSettings(const QString& settings);

// The device a port number stands for on this platform. On Windows "COMn"; elsewhere
// "COMn" in programDir when that path exists (a link to a device or a pty), else
// /dev/ttyS<n-1>.
[[nodiscard]] QString deviceForPort(int port, const QString& programDir);

// The device node that path leads to once every link is followed: the name the port is
// opened and locked by, so that two links to one device are one port. The path itself
// when it leads nowhere.
[[nodiscard]] QString realDevice(const QString& path);

// The port list's tool tip: the path port n stands for and, when that is a link, the
// device it leads to ("/opt/tool/COM4 → /dev/ttyUSB0").
[[nodiscard]] QString portTip(int port, const QString& programDir);

} // namespace kv
