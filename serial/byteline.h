#pragma once
// A byte line: what a strict master needs from any link to its sensors (a serial port, a TCP
// socket or a connection a remote modem dialled in on), and nothing of Modbus.
// The line discipline above it is fed by events, so that one thread can drive many lines: a
// driver on Qt's event loop is told by setNotify when a line has something, never from inside
// the line's own calls (take, write, waitReadable), whose waits emit the same signals; a line
// that holds bytes back (a heartbeat's possible start) gives them up by its own deadline, not
// by a notification. waitReadable is only the blocking helper a program with one line uses.

#include "serial/lineformat.h"
#include "serial/linetime.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace kv {

// Why a link could not be opened. The serial devices' reasons are worked out in one place
// (serial/portdiagnosis.h); each program says them in its own words.
enum class OpenFailure {
    None,
    Missing,      // no such device, or a link to one that is gone
    PathDenied,   // a folder on the way to the device may not be searched
    NoPermission, // this user may not read and write the device
    Busy,         // another program holds it
    Other,        // anything else: the reason says it
};

// Who may use a device: its owner, its group, and the permission bits.
struct PortAccess {
    QString owner;
    QString group;
    unsigned mode = 0;
};

struct OpenResult {
    OpenFailure failure = OpenFailure::None;
    // The link's own words: the whole line for Other and for a network link's Missing, the
    // driver's error for Busy; empty where the diagnosis alone tells it.
    QString reason;
    QString group;       // NoPermission on Unix: the device's group, when joining it would help
    QString holder;      // Busy: the process holding the device, when its lock says
    PortAccess access{}; // NoPermission on Unix: for a fix when joining a group would not help
    [[nodiscard]] bool ok() const { return failure == OpenFailure::None; }
};

// Bits a character takes on an 8N1 line: start, 8 data, stop.
inline constexpr int BITS_PER_CHARACTER = 10;

// How long `bytes` characters of the format take on the wire at `baud`.
[[nodiscard]] double lineTimeMs(int bytes, int baud, const LineFormat& format = {});
// The silence that separates RTU frames: 3.5 characters of the format, or 1.75 ms above
// 19200 baud.
[[nodiscard]] double frameSilenceMs(int baud, const LineFormat& format = {});

// What the discipline must know of a link.
struct LinkFacts {
    // The quiet the link needs before a request; 0 where frames are not told apart by
    // silence (a TCP stream carries them whole or cut anywhere).
    qint64 frameSilenceNs = 0;
    // One character on the wire, so that the line is known busy while a request goes out;
    // 0 where the link has no such time.
    qint64 characterNs = 0;
    // Bytes really take that time here (a serial line, not a pseudo terminal that carries
    // them at once): no reply can end before its request and itself have crossed the line.
    bool wireTimed = false;
    // The link itself pairs each reply with its request (Modbus TCP's transaction id),
    // so a late reply can never pass for another; false on a serial line.
    bool matchesReplies = false;
    // The rate is the line's own, set here (a serial port); false where the bus's rate is set
    // behind a server and there is none to set or find.
    bool setsRate = true;
};

class ByteLine {
public:
    virtual ~ByteLine() = default;
    ByteLine() = default;
    ByteLine(const ByteLine&) = delete;
    ByteLine& operator=(const ByteLine&) = delete;

    // The bytes that arrived since the last take, in order; empty when none.
    [[nodiscard]] virtual QByteArray take() = 0;
    // Sends the bytes; false when the line is lost.
    [[nodiscard]] virtual bool write(const QByteArray& bytes) = 0;
    // Returns once bytes are waiting, the line is lost, or now() has reached the deadline.
    // On a closed line it only waits for the deadline. It runs no event loop.
    virtual void waitReadable(TimePoint deadline) = 0;
    // The device went away (adapter unplugged, pty or socket closed).
    [[nodiscard]] virtual bool lost() const = 0;
    // A monotonic clock: every time the discipline keeps is on it.
    [[nodiscard]] virtual TimePoint now() const = 0;
    // The same clock in nanoseconds, and the wait by it, for callers still counting them so.
    [[nodiscard]] qint64 nowNs() const { return now().time_since_epoch().count(); }
    void waitReadable(qint64 deadlineNs) { waitReadable(TimePoint(Nanos(deadlineNs))); }
    [[nodiscard]] virtual LinkFacts facts() const = 0;
    // Why the line was lost, for the operator.
    [[nodiscard]] virtual QString errorString() const = 0;
    // Links that match replies: the senders of replies to earlier requests that the link
    // dropped since the last call, as late replies are counted.
    [[nodiscard]] virtual std::vector<std::uint8_t> takeUnmatched() { return {}; }
    // When bytes the line holds back are given up whether more come or not; none: it holds none.
    [[nodiscard]] virtual std::optional<TimePoint> releaseAt() const { return std::nullopt; }
    // Calls `onActivity` from the owning thread's event loop whenever bytes arrive or the line
    // is lost; false for a line that cannot (one on a virtual clock is waited on instead).
    // NOLINTNEXTLINE(performance-unnecessary-value-param): overriders keep the function
    [[nodiscard]] virtual bool setNotify(std::function<void()> /*onActivity*/) { return false; }
};

// A line the command line opens by name and may open again after an unplug.
class Link : public ByteLine {
public:
    // Opens what `name` leads to at the rate (ignored by links without one).
    [[nodiscard]] virtual OpenResult open(const QString& name, int baud) = 0;
    // Opens again by the name first given, at the rate last set.
    [[nodiscard]] virtual OpenResult reopen() = 0;
    [[nodiscard]] virtual bool isOpen() const = 0;
    [[nodiscard]] virtual bool setBaudRate(int baud) = 0;
    // The character format, kept for the next open and applied at once to an open line;
    // a link that carries no characters of its own (a TCP stream) takes any.
    [[nodiscard]] virtual bool setFormat(const LineFormat& format) {
        format_ = format;
        return true;
    }
    [[nodiscard]] const LineFormat& format() const { return format_; }
    virtual void close() = 0;

protected:
    LineFormat format_;
};

} // namespace kv
