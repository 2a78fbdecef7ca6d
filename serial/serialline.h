#pragma once
// A serial port as a byte line: QSerialPort opened by the device a name leads to, 8 data
// bits with the parity and stop bits set (8N1 unless told), no flow control, with a failed
// open told apart as missing, busy or a permission problem (serial/portdiagnosis.h).

#include "serial/byteline.h"
#include "serial/linenotify.h"

#include <memory>

class QSerialPort;

namespace kv {

class SerialLine final : public Link {
public:
    SerialLine();
    ~SerialLine() override;

    // Opens the device that `name` leads to (links followed, so that every name of one
    // device takes the same lock) at the rate and format, no flow control.
    [[nodiscard]] OpenResult open(const QString& name, int baud) override;
    // A COMn link or a /dev/serial/by-id path finds a replugged adapter.
    [[nodiscard]] OpenResult reopen() override;
    [[nodiscard]] bool isOpen() const override;
    [[nodiscard]] bool setBaudRate(int baud) override;
    [[nodiscard]] bool setFormat(const LineFormat& format) override;
    void close() override;

    [[nodiscard]] QByteArray take() override;
    [[nodiscard]] bool write(const QByteArray& bytes) override;
    void waitReadable(TimePoint deadline) override;
    [[nodiscard]] bool setNotify(std::function<void()> onActivity) override {
        notify_.set(std::move(onActivity));
        return true;
    }
    [[nodiscard]] bool lost() const override;
    [[nodiscard]] TimePoint now() const override { return LineClock::now(); }
    [[nodiscard]] LinkFacts facts() const override;
    [[nodiscard]] QString errorString() const override;

private:
    // Closes a port that went away, keeping the driver's reason.
    void closeIfLost();
    // Parity and stop bits on the open port.
    [[nodiscard]] bool applyFormat();

    std::unique_ptr<QSerialPort> port_;
    QString name_;
    int baud_ = 9600;
    bool ptyDevice_ = false;
    QString lostReason_;
    LineNotify notify_;
};

// Whether a QSerialPort error (its SerialPortError value) means the device is gone: a
// hung-up pty shows as a read error, an unplugged USB adapter as a resource error.
[[nodiscard]] bool isLostError(int serialPortError, bool open);

// Why a device did not open: what diagnosePort finds, else busy when the driver refused it
// as a permission problem, else the driver's reason.
[[nodiscard]] OpenResult openFailure(const QString& device, bool driverSaysPermission,
                                     const QString& driverReason);

// Sets the parity on a terminal with input parity checking exactly when the format has
// parity, and odd parity's flag only for odd: QSerialPort clears the check, so parity errors
// would pass, and leaves the odd flag set on a change back to none. A pty keeps both flags
// (its driver drops the parity bit itself), which is how a sensor on its other side reads the
// format. False when the terminal refuses them.
[[nodiscard]] bool pinParity(int fd, Parity parity);
// A pseudo terminal's slave (Linux); false elsewhere.
[[nodiscard]] bool isPseudoTerminal(int fd);

} // namespace kv
