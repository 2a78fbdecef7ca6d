#include "serial/serialline.h"

#include "serial/commport.h"
#include "serial/eightn1.h"
#include "serial/portdiagnosis.h"

#include <QSerialPort>
#include <QThread>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <termios.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif

namespace kv {
namespace {

// A request of a few bytes is handed to the driver long before this.
constexpr int kWriteTimeoutMs = 2000;

} // namespace

SerialLine::SerialLine() : port_(std::make_unique<QSerialPort>()) {
    QObject::connect(port_.get(), &QSerialPort::readyRead, port_.get(), [this] { notify_.activity(); });
    QObject::connect(port_.get(), &QSerialPort::errorOccurred, port_.get(),
                     [this](QSerialPort::SerialPortError e) {
                         // A wait that ran out is no news; anything else may be the device gone.
                         if (e != QSerialPort::NoError && e != QSerialPort::TimeoutError) notify_.activity();
                     });
}

SerialLine::~SerialLine() {
    port_->disconnect(); // nothing is told from a line going away
    close();
}

OpenResult SerialLine::open(const QString& name, int baud) {
    close();
    name_ = name;
    baud_ = baud;
    // By the device itself, not the link: its lock then covers every name it has.
    const QString device = realDevice(name);
    // A pseudo terminal (a virtual sensor, socat) carries bytes at once, whatever the rate.
    ptyDevice_ = device.startsWith(QLatin1String("/dev/pts/"));
    port_->setPortName(device);
    if (!port_->open(QIODevice::ReadWrite))
        return openFailure(name, port_->error() == QSerialPort::PermissionError, port_->errorString());
    // The setting the window's port shares, then the parity and stop bits asked for.
    if (!setEightN1(*port_, baud) || !applyFormat()) {
        const QString reason = port_->errorString();
        port_->close();
        OpenResult r;
        r.failure = OpenFailure::Other;
        r.reason = QStringLiteral("%1 cannot be set to %2 baud, %3: %4")
                       .arg(name, QString::number(baud), formatName(format_), reason);
        return r;
    }
    port_->clear();
    lostReason_.clear();
    return {};
}

OpenResult SerialLine::reopen() {
    return open(name_, baud_);
}

bool SerialLine::isOpen() const {
    return port_->isOpen();
}

bool SerialLine::setBaudRate(int baud) {
    if (!port_->isOpen() || !port_->setBaudRate(baud)) return false;
    baud_ = baud;
    return true;
}

bool SerialLine::setFormat(const LineFormat& format) {
    const LineFormat before = format_;
    format_ = format;
    if (!port_->isOpen() || applyFormat()) return true;
    format_ = before;
    return false;
}

bool SerialLine::applyFormat() {
    const auto parity = format_.parity == Parity::Even  ? QSerialPort::EvenParity
                        : format_.parity == Parity::Odd ? QSerialPort::OddParity
                                                        : QSerialPort::NoParity;
    if (!port_->setStopBits(format_.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop))
        return false;
    const bool set = port_->setParity(parity);
#ifdef Q_OS_UNIX
    const int fd = static_cast<int>(port_->handle());
    // A pty's driver drops the parity bit, so QSerialPort, reading it back, refuses any parity;
    // there the flags that say it are pinned all the same.
    if (!set && !isPseudoTerminal(fd)) return false;
    if (!set) port_->clearError();
    return pinParity(fd, format_.parity);
#else
    return set;
#endif
}

bool isPseudoTerminal(int fd) {
#ifdef Q_OS_LINUX
    struct stat st {};
    // Unix 98 pty slaves have the majors 136 to 143.
    return ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
           major(st.st_rdev) <= 143;
#else
    Q_UNUSED(fd);
    return false;
#endif
}

bool pinParity(int fd, Parity parity) {
#ifdef Q_OS_UNIX
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return false;
    const auto inpck = static_cast<tcflag_t>(INPCK);
    const auto parodd = static_cast<tcflag_t>(PARODD);
    const auto parenb = static_cast<tcflag_t>(PARENB);
    if (parity == Parity::None) {
        t.c_iflag &= ~inpck;
        t.c_cflag &= ~(parodd | parenb);
    } else {
        t.c_iflag |= inpck;
        t.c_cflag |= parenb;
        if (parity == Parity::Odd)
            t.c_cflag |= parodd;
        else
            t.c_cflag &= ~parodd;
    }
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return false;
    termios got{};
    return ::tcgetattr(fd, &got) == 0 && (got.c_iflag & inpck) == (t.c_iflag & inpck) &&
           (got.c_cflag & parodd) == (t.c_cflag & parodd);
#else
    Q_UNUSED(fd);
    Q_UNUSED(parity);
    return true;
#endif
}

void SerialLine::close() {
    if (port_ && port_->isOpen()) port_->close();
}

QString SerialLine::errorString() const {
    return lostReason_.isEmpty() ? port_->errorString() : lostReason_;
}

bool isLostError(int serialPortError, bool open) {
    return !open || serialPortError == QSerialPort::ResourceError ||
           serialPortError == QSerialPort::ReadError;
}

bool SerialLine::lost() const {
    return isLostError(port_->error(), port_->isOpen());
}

void SerialLine::closeIfLost() {
    if (!port_->isOpen() || !lost()) return;
    lostReason_ = port_->errorString();
    port_->close();
}

QByteArray SerialLine::take() {
    if (!port_->isOpen()) return {};
    const LineNotify::Call call(notify_);
    // Bytes still with the system count as arrived: what came while nobody waited is heard
    // before the next request goes out, not after it.
    if (port_->bytesAvailable() == 0) port_->waitForReadyRead(0);
    QByteArray got = port_->readAll();
    closeIfLost();
    notify_.handedOver();
    return got;
}

bool SerialLine::write(const QByteArray& bytes) {
    if (!port_->isOpen()) return false;
    const LineNotify::Call call(notify_);
    if (port_->write(bytes) != bytes.size() || !port_->waitForBytesWritten(kWriteTimeoutMs)) {
        // A write that fails on an open port means the device is gone.
        lostReason_ = port_->errorString();
        port_->close();
        return false;
    }
    return true;
}

void SerialLine::waitReadable(TimePoint deadline) {
    const int ms = waitMs(deadline - now());
    if (ms <= 0) return;
    if (!port_->isOpen()) {
        QThread::msleep(static_cast<unsigned long>(ms));
        return;
    }
    if (port_->bytesAvailable() > 0) return;
    const LineNotify::Call call(notify_);
    port_->waitForReadyRead(ms);
    closeIfLost();
    notify_.handedOver(); // the caller takes what came next
}

LinkFacts SerialLine::facts() const {
    LinkFacts f;
    f.frameSilenceNs = nanosOfMs(frameSilenceMs(baud_, format_)).count();
    f.characterNs = nanosOfMs(lineTimeMs(1, baud_, format_)).count();
    f.wireTimed = !ptyDevice_;
    return f;
}

OpenResult openFailure(const QString& device, bool driverSaysPermission, const QString& driverReason) {
    OpenResult r = diagnosePort(device);
    if (r.failure != OpenFailure::None && r.failure != OpenFailure::Busy) return r;
    // The driver refuses a device in use as a permission problem; anything else it says is its own.
    if (driverSaysPermission) {
        r.failure = OpenFailure::Busy;
        r.reason = driverReason;
        return r;
    }
    r.failure = OpenFailure::Other;
    r.holder.clear();
    r.reason = QStringLiteral("%1 cannot be opened: %2").arg(device, driverReason);
    return r;
}

} // namespace kv
