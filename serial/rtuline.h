#pragma once
// A serial line for programs that wait for their replies: write a request, collect the
// reply until it is complete or a deadline passes. The command line's counterpart of the
// window's event-driven component; it needs no event loop and no display.

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

class QSerialPort;

namespace kv {

// Why a port could not be opened.
enum class OpenFailure { None, Missing, Permission, Busy, Other };

struct OpenResult {
    OpenFailure failure = OpenFailure::None;
    QString reason; // one line for the operator
    QString group;  // Permission on Unix: the group that owns the device
    [[nodiscard]] bool ok() const { return failure == OpenFailure::None; }
};

class RtuLine {
public:
    RtuLine();
    ~RtuLine();
    RtuLine(const RtuLine&) = delete;
    RtuLine& operator=(const RtuLine&) = delete;

    // Opens the device at the rate, 8 data bits, no parity, 1 stop bit, no flow control.
    [[nodiscard]] OpenResult open(const QString& device, int baud);
    [[nodiscard]] bool setBaudRate(int baud);
    void close();

    enum class Outcome {
        Complete, // lengthOf said the reply is whole
        Timeout,  // the deadline passed first; `reply` holds what came
        Lost,     // the device went away (adapter unplugged, pty closed)
        Stopped,  // `stop` asked to give up
    };
    struct Exchange {
        Outcome outcome = Outcome::Timeout;
        QByteArray reply;
        double latencyMs = 0; // from the request's write to the reply's last byte
    };
    // Discards stale input, writes the request and reads until lengthOf(bytes so far)
    // names a length that has arrived, or timeoutMs passes. lengthOf returns 0 while it
    // cannot tell yet. `stop` is polled while waiting.
    [[nodiscard]] Exchange exchange(const QByteArray& request,
                                    const std::function<int(const QByteArray&)>& lengthOf, int timeoutMs,
                                    const std::function<bool()>& stop = {});
    [[nodiscard]] QString errorString() const;

private:
    std::unique_ptr<QSerialPort> port_;
};

// Looks at a device that failed to open and tells missing, permission and busy apart.
[[nodiscard]] OpenResult diagnoseOpenFailure(const QString& device, bool driverSaysPermission,
                                             const QString& driverReason);

} // namespace kv
