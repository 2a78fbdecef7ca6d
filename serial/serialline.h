#pragma once
// A serial port as a byte line: QSerialPort opened by the device a name leads to, 8N1,
// no flow control, with a failed open told apart as missing, busy or a permission problem
// (serial/portdiagnosis.h).

#include "serial/byteline.h"

#include <QElapsedTimer>

#include <memory>

class QSerialPort;

namespace kv {

class SerialLine final : public Link {
public:
    SerialLine();
    ~SerialLine() override;

    // Opens the device that `name` leads to (links followed, so that every name of one
    // device takes the same lock) at the rate, 8N1, no flow control.
    [[nodiscard]] OpenResult open(const QString& name, int baud) override;
    // A COMn link or a /dev/serial/by-id path finds a replugged adapter.
    [[nodiscard]] OpenResult reopen() override;
    [[nodiscard]] bool isOpen() const override;
    [[nodiscard]] bool setBaudRate(int baud) override;
    void close() override;

    [[nodiscard]] QByteArray take() override;
    [[nodiscard]] bool write(const QByteArray& bytes) override;
    void waitReadable(qint64 deadlineNs) override;
    [[nodiscard]] bool lost() const override;
    [[nodiscard]] qint64 nowNs() const override { return clock_.nsecsElapsed(); }
    [[nodiscard]] LinkFacts facts() const override;
    [[nodiscard]] QString errorString() const override;

private:
    // Closes a port that went away, keeping the driver's reason.
    void closeIfLost();

    std::unique_ptr<QSerialPort> port_;
    QString name_;
    int baud_ = 9600;
    QElapsedTimer clock_;
    QString lostReason_;
};

// Whether a QSerialPort error (its SerialPortError value) means the device is gone: a
// hung-up pty shows as a read error, an unplugged USB adapter as a resource error.
[[nodiscard]] bool isLostError(int serialPortError, bool open);

// Why a device did not open: what diagnosePort finds, else busy when the driver refused it
// as a permission problem, else the driver's reason.
[[nodiscard]] OpenResult openFailure(const QString& device, bool driverSaysPermission,
                                     const QString& driverReason);

} // namespace kv
