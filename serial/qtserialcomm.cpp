#include "serial/qtserialcomm.h"

#include "serial/eightn1.h"

#include <QSerialPort>
#include <QTimer>

#include <algorithm>

namespace kv {
namespace {
QList<const QSerialPort*>& livePorts() {
    static QList<const QSerialPort*> ports;
    return ports;
}
} // namespace

QtSerialComm::QtSerialComm(QString programDir, QObject* parent)
    : QObject(parent), programDir_(std::move(programDir)), serial_(new QSerialPort(this)) {
    connect(serial_, &QSerialPort::readyRead, this, &QtSerialComm::onReadyRead);
    connect(serial_, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError e) { onError(static_cast<int>(e)); });
    livePorts().append(serial_);
}

QtSerialComm::~QtSerialComm() {
    livePorts().removeOne(serial_);
    if (serial_->isOpen())
        serial_->close();
}

bool QtSerialComm::openHere(const QString& device) {
    return std::any_of(livePorts().cbegin(), livePorts().cend(), [&](const QSerialPort* p) {
        return p->isOpen() && p->portName().compare(device, Qt::CaseInsensitive) == 0;
    });
}

QString QtSerialComm::device() const { return deviceForPort(port_, programDir_); }

bool QtSerialComm::setCommPort(int port) {
    if (serial_->isOpen() || port < 1 || port > 255)
        return false;
    port_ = port;
    return true;
}

bool QtSerialComm::setSettings(const QString& settings) {
    const int rate = parseLineSettings(settings);
    if (rate <= 0)
        return false;
    rate_ = rate;
    if (serial_->isOpen())
        return serial_->setBaudRate(rate_);
    return true;
}

bool QtSerialComm::portOpen() const { return serial_->isOpen(); }

bool QtSerialComm::setPortOpen(bool open) {
    if (!open) {
        if (serial_->isOpen())
            serial_->close();
        buffer_.clear();
        return true;
    }
    if (serial_->isOpen())
        return false;
    // By the device itself, not the link: its lock then covers every name it has.
    serial_->setPortName(realDevice(device()));
    if (!serial_->open(QIODevice::ReadWrite))
        return false;
    if (!setEightN1(*serial_, rate_)) {
        serial_->close();
        return false;
    }
    buffer_.clear();
    return true;
}

bool QtSerialComm::setInBufferCount(int count) {
    if (count != 0)
        return false;
    buffer_.clear();
    if (serial_->isOpen()) {
        // Bytes already in the driver's queue count as buffered too.
        readArrived();
        serial_->clear(QSerialPort::Input);
    }
    return true;
}

bool QtSerialComm::setOutBufferCount(int count) {
    if (count != 0)
        return false;
    if (serial_->isOpen())
        serial_->clear(QSerialPort::Output);
    return true;
}

bool QtSerialComm::setRThreshold(int count) {
    if (count < 0)
        return false;
    threshold_ = count;
    return true;
}

bool QtSerialComm::output(const QByteArray& bytes) {
    if (!serial_->isOpen())
        return false;
    // Out now, not when the event loop next gets round to it (after a repaint, say).
    const bool written = serial_->write(bytes) == bytes.size();
    serial_->flush();
    if (written)
        observeWritten(bytes);
    return written;
}

QByteArray QtSerialComm::input() {
    if (serial_->isOpen())
        buffer_ += readArrived();
    QByteArray out;
    out.swap(buffer_);
    return out;
}

QByteArray QtSerialComm::readArrived() {
    QByteArray bytes = serial_->readAll();
    observeArrived(bytes);
    return bytes;
}

void QtSerialComm::onReadyRead() {
    buffer_ += readArrived();
    if (threshold_ > 0 && buffer_.size() >= threshold_) {
        event_ = comEvReceive;
        raiseOnComm();
    }
}

void QtSerialComm::onError(int error) {
    // A tty whose device went away (adapter pulled, pty master closed) fails every
    // read with EIO, reported as a read or resource error, again and again.
    if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError) {
        // Closing inside the error signal re-enters QSerialPort; do it from the event loop.
        QTimer::singleShot(0, this, [this] { deviceLost(); });
    }
}

void QtSerialComm::deviceLost() {
    if (!serial_->isOpen())
        return;
    serial_->close();
    buffer_.clear();
    event_ = comEvCD;
    raiseOnComm();
}

} // namespace kv
