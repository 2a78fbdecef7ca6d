#include "serial/rtuline.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSerialPort>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kv {

RtuLine::RtuLine() : port_(std::make_unique<QSerialPort>()) {}

RtuLine::~RtuLine() {
    close();
}

OpenResult RtuLine::open(const QString& device, int baud) {
    close();
    port_->setPortName(device);
    if (!port_->open(QIODevice::ReadWrite))
        return diagnoseOpenFailure(device, port_->error() == QSerialPort::PermissionError,
                                   port_->errorString());
    const bool configured = port_->setBaudRate(baud) && port_->setDataBits(QSerialPort::Data8) &&
                            port_->setParity(QSerialPort::NoParity) &&
                            port_->setStopBits(QSerialPort::OneStop) &&
                            port_->setFlowControl(QSerialPort::NoFlowControl);
    if (!configured) {
        const QString reason = port_->errorString();
        port_->close();
        return {OpenFailure::Other,
                QStringLiteral("%1 cannot be set to %2 baud, 8N1: %3").arg(device).arg(baud).arg(reason),
                {}};
    }
    port_->clear();
    return {};
}

bool RtuLine::setBaudRate(int baud) {
    return port_->isOpen() && port_->setBaudRate(baud);
}

void RtuLine::close() {
    if (port_ && port_->isOpen()) port_->close();
}

QString RtuLine::errorString() const {
    return port_->errorString();
}

RtuLine::Exchange RtuLine::exchange(const QByteArray& request,
                                    const std::function<int(const QByteArray&)>& lengthOf, int timeoutMs,
                                    const std::function<bool()>& stop) {
    Exchange ex;
    if (!port_->isOpen()) {
        ex.outcome = Outcome::Lost;
        return ex;
    }
    // Bytes of an earlier, late reply must not be taken for this one.
    port_->readAll();
    port_->clear(QSerialPort::Input);
    QElapsedTimer clock;
    clock.start();
    if (port_->write(request) != request.size() || !port_->waitForBytesWritten(timeoutMs)) {
        ex.outcome = port_->error() == QSerialPort::ResourceError ? Outcome::Lost : Outcome::Timeout;
        return ex;
    }
    for (;;) {
        const int need = lengthOf(ex.reply);
        if (need > 0 && ex.reply.size() >= need) {
            ex.outcome = Outcome::Complete;
            break;
        }
        if (port_->error() == QSerialPort::ResourceError) {
            ex.outcome = Outcome::Lost;
            break;
        }
        if (stop && stop()) {
            ex.outcome = Outcome::Stopped;
            break;
        }
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0) {
            ex.outcome = Outcome::Timeout;
            break;
        }
        // Short slices keep Ctrl-C responsive on long timeouts.
        if (port_->waitForReadyRead(static_cast<int>(std::min<qint64>(left, 50))))
            ex.reply += port_->readAll();
    }
    ex.latencyMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    return ex;
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
        if (const group* g = ::getgrgid(st.st_gid)) r.group = QString::fromLocal8Bit(g->gr_name);
        r.reason = QStringLiteral("permission denied on %1").arg(device);
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
