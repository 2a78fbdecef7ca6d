#include "serial/serialline.h"

#include "serial/commport.h"
#include "serial/portinfo.h"

#include <QFileInfo>
#include <QSerialPort>
#include <QThread>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kv {
namespace {

constexpr qint64 kNsPerMs = 1000000;
// A request of a few bytes is handed to the driver long before this.
constexpr int kWriteTimeoutMs = 2000;

} // namespace

SerialLine::SerialLine() : port_(std::make_unique<QSerialPort>()) {
    clock_.start();
}

SerialLine::~SerialLine() {
    close();
}

OpenResult SerialLine::open(const QString& name, int baud) {
    close();
    name_ = name;
    baud_ = baud;
    // By the device itself, not the link: its lock then covers every name it has.
    const QString device = realDevice(name);
    port_->setPortName(device);
    if (!port_->open(QIODevice::ReadWrite)) {
        OpenResult r =
            diagnoseOpenFailure(name, port_->error() == QSerialPort::PermissionError, port_->errorString());
        if (r.failure == OpenFailure::Busy) {
            r.holder = portFacts(device).holder;
            if (!r.holder.isEmpty()) r.reason = QStringLiteral("%1 is busy: %2 holds it").arg(name, r.holder);
        }
        return r;
    }
    const bool configured = port_->setBaudRate(baud) && port_->setDataBits(QSerialPort::Data8) &&
                            port_->setParity(QSerialPort::NoParity) &&
                            port_->setStopBits(QSerialPort::OneStop) &&
                            port_->setFlowControl(QSerialPort::NoFlowControl);
    if (!configured) {
        const QString reason = port_->errorString();
        port_->close();
        return {OpenFailure::Other,
                QStringLiteral("%1 cannot be set to %2 baud, 8N1: %3").arg(name).arg(baud).arg(reason),
                {},
                {}};
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
    QByteArray got = port_->readAll();
    closeIfLost();
    return got;
}

bool SerialLine::write(const QByteArray& bytes) {
    if (!port_->isOpen()) return false;
    if (port_->write(bytes) != bytes.size() || !port_->waitForBytesWritten(kWriteTimeoutMs)) {
        // A write that fails on an open port means the device is gone.
        lostReason_ = port_->errorString();
        port_->close();
        return false;
    }
    return true;
}

void SerialLine::waitReadable(qint64 deadlineNs) {
    const qint64 leftNs = deadlineNs - nowNs();
    if (leftNs <= 0) return;
    const auto ms = static_cast<int>(std::min<qint64>((leftNs + kNsPerMs - 1) / kNsPerMs, 60000));
    if (!port_->isOpen()) {
        QThread::msleep(static_cast<unsigned long>(ms));
        return;
    }
    if (port_->bytesAvailable() > 0) return;
    port_->waitForReadyRead(ms);
    closeIfLost();
}

LinkFacts SerialLine::facts() const {
    LinkFacts f;
    f.frameSilenceNs = static_cast<qint64>(frameSilenceMs(baud_) * kNsPerMs);
    f.characterNs = static_cast<qint64>(lineTimeMs(1, baud_) * kNsPerMs);
    return f;
}

OpenResult diagnoseOpenFailure(const QString& device, bool driverSaysPermission,
                               const QString& driverReason) {
    OpenResult r;
#ifdef Q_OS_UNIX
    struct stat st {};
    const QByteArray path = QFile::encodeName(device);
    if (::stat(path.constData(), &st) != 0) {
        if (errno == EACCES) {
            r.failure = OpenFailure::Permission;
            r.reason = QStringLiteral("permission denied on the path to %1").arg(device);
            return r;
        }
        r.failure = OpenFailure::Missing;
        r.reason = QStringLiteral("%1 does not exist (is the adapter plugged in?)").arg(device);
        return r;
    }
    if (::access(path.constData(), R_OK | W_OK) != 0 && errno == EACCES) {
        r.failure = OpenFailure::Permission;
        r.reason = QStringLiteral("permission denied on %1").arg(device);
        const group* g = ::getgrgid(st.st_gid);
        const passwd* owner = ::getpwuid(st.st_uid);
        const QString groupName = g ? QString::fromLocal8Bit(g->gr_name) : QString::number(st.st_gid);
        const QString ownerName = owner ? QString::fromLocal8Bit(owner->pw_name) : QString::number(st.st_uid);
        // Joining the group helps only when the group may read and write the device.
        if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
            r.group = groupName;
        else
            r.reason +=
                QStringLiteral(" (mode %1, owner %2, group %3, which may not read and write it); fix: "
                               "a udev rule that gives the device to the dialout group with mode "
                               "0660, or run as %2")
                    .arg(st.st_mode & 0777, 4, 8, QLatin1Char('0'))
                    .arg(ownerName, groupName);
        return r;
    }
#else
    if (!QFileInfo::exists(device) && !device.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) {
        r.failure = OpenFailure::Missing;
        r.reason = QStringLiteral("%1 does not exist").arg(device);
        return r;
    }
#endif
    if (driverSaysPermission) {
        r.failure = OpenFailure::Busy;
        r.reason = QStringLiteral("%1 is busy (another program holds it): %2").arg(device, driverReason);
        return r;
    }
    r.failure = OpenFailure::Other;
    r.reason = QStringLiteral("%1 cannot be opened: %2").arg(device, driverReason);
    return r;
}

} // namespace kv
