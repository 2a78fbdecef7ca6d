#pragma once
// The line discipline of a strict Modbus-RTU master, for programs that wait for their
// replies: silence before each request, the reply read until complete or a deadline,
// late replies heard out and counted instead of being taken for the next answer, an
// adapter's echo stripped or named, and a lost port told apart from a silent sensor.
// The command line's counterpart of the window's event-driven component; it needs no
// event loop and no display. Every exchange of the command line goes through here.

#include <QByteArray>
#include <QElapsedTimer>
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
    QString holder; // Busy: the process holding the device, when its lock says
    [[nodiscard]] bool ok() const { return failure == OpenFailure::None; }
};

// Bits a character takes on an 8N1 line: start, 8 data, stop.
inline constexpr int BITS_PER_CHARACTER = 10;

// How long `bytes` characters take on the wire at `baud`.
[[nodiscard]] double lineTimeMs(int bytes, int baud);
// The silence that separates RTU frames: 3.5 characters, or 1.75 ms above 19200 baud.
[[nodiscard]] double frameSilenceMs(int baud);
// How long the line listens for a late reply after a timeout before it sends again.
[[nodiscard]] int graceMsFor(int timeoutMs);

class RtuLine {
public:
    RtuLine();
    ~RtuLine();
    RtuLine(const RtuLine&) = delete;
    RtuLine& operator=(const RtuLine&) = delete;

    // Opens the device that `name` leads to (links followed, so that every name of one
    // device takes the same lock) at the rate, 8N1, no flow control.
    [[nodiscard]] OpenResult open(const QString& name, int baud);
    // Opens again by the name first given, at the rate last set: a COMn link or a
    // /dev/serial/by-id path finds a replugged adapter.
    [[nodiscard]] OpenResult reopen();
    [[nodiscard]] bool isOpen() const;
    [[nodiscard]] bool setBaudRate(int baud);
    [[nodiscard]] int baudRate() const { return baud_; }
    // An adapter that hears its own transmission: strip that copy of each request.
    void setEcho(bool echo) { echo_ = echo; }
    void close();

    enum class Outcome {
        Complete, // lengthOf said the reply is whole
        Timeout,  // the deadline passed first; `reply` holds what came in time
        Lost,     // the device went away (adapter unplugged, pty closed)
        Stopped,  // `stop` asked to give up
        Echo,     // the request itself came back first: an echoing adapter without setEcho
    };
    struct Exchange {
        Outcome outcome = Outcome::Timeout;
        bool sent = false; // the request went out
        QByteArray reply;
        double latencyMs = 0; // from the request's last byte written to the reply's last byte read
        QByteArray late;      // after a timeout: what came within the grace period
    };
    // Waits for the line to be silent for a frame gap (discarding and counting what is
    // heard meanwhile), writes the request and reads until lengthOf(bytes so far) names a
    // length that has arrived, or timeoutMs passes; then listens for graceMs (-1: graceMsFor)
    // so that a late reply is heard out here; after a write's echo-like answer it listens as
    // long for a second copy, the sign of an echoing adapter. lengthOf returns 0 while it
    // cannot tell yet.
    // `stop` is polled while waiting.
    [[nodiscard]] Exchange exchange(const QByteArray& request,
                                    const std::function<int(const QByteArray&)>& lengthOf, int timeoutMs,
                                    const std::function<bool()>& stop = {}, int graceMs = -1);

    // After a reply its reader refused (garbled, too long, from another device): listens for
    // graceMs so that whatever else is on its way is discarded, not taken for the next answer.
    void settle(int graceMs);

    // Bytes nobody was waiting for: late replies and noise, one burst each.
    struct Unexpected {
        int bursts = 0;
        qint64 bytes = 0;
    };
    [[nodiscard]] const Unexpected& unexpected() const { return unexpected_; }
    // Told of each burst as it is discarded (a scan learns from late replies who is there).
    void setUnexpectedObserver(std::function<void(const QByteArray&)> observer) {
        onUnexpected_ = std::move(observer);
    }
    [[nodiscard]] QString errorString() const;

private:
    [[nodiscard]] bool portLost() const;
    // Reads what is buffered; true when anything came.
    bool take(QByteArray& into);
    // Listens until the line has been quiet for the frame gap (at least 20 ms with wholeBurst,
    // to hear a reply out whole), after firstByteWithinMs when nothing came, or until maxMs
    // passed; what came is returned. `lost` is set when the port went away meanwhile.
    QByteArray hearOut(qint64 firstByteWithinMs, qint64 maxMs, bool& lost, const std::function<bool()>& stop,
                       bool wholeBurst = false);
    void noteUnexpected(const QByteArray& bytes);

    std::unique_ptr<QSerialPort> port_;
    QString name_;
    int baud_ = 9600;
    bool echo_ = false;
    bool outOfStep_ = false; // a timed-out reply may still be on its way
    QElapsedTimer clock_;
    qint64 lastActivityNs_ = 0; // last byte written or read
    Unexpected unexpected_;
    std::function<void(const QByteArray&)> onUnexpected_;
};

// Looks at a device that failed to open and tells missing, permission and busy apart.
[[nodiscard]] OpenResult diagnoseOpenFailure(const QString& device, bool driverSaysPermission,
                                             const QString& driverReason);

} // namespace kv
