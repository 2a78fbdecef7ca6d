#pragma once
// The serial-port component over QSerialPort.

#include "serial/commport.h"

#include <QObject>

class QSerialPort;

namespace kv {

class QtSerialComm : public QObject, public SerialComm {
    Q_OBJECT
public:
    explicit QtSerialComm(QString programDir, QObject* parent = nullptr);
    ~QtSerialComm() override;

    bool setCommPort(int port) override;
    int commPort() const override { return port_; }
    bool setSettings(const QString& settings) override;
    bool portOpen() const override;
    bool setPortOpen(bool open) override;
    bool setInBufferCount(int count) override;
    bool setOutBufferCount(int count) override;
    int inBufferCount() const override { return static_cast<int>(buffer_.size()); }
    bool setSThreshold(int count) override { return count >= 0; }
    bool setInputLen(int count) override { return count >= 0; }
    bool setInputMode(int mode) override { return mode == 0 || mode == 1; }
    bool setRThreshold(int count) override;
    int rThreshold() const override { return threshold_; }
    bool output(const QByteArray& bytes) override;
    QByteArray input() override;
    int commEvent() const override { return event_; }

    // The device path the current port number resolves to.
    QString device() const;
    int baudRate() const { return rate_; }
    // True when a port component of this process has that device open (Windows tells no holder).
    static bool openHere(const QString& device);

private:
    // Everything the driver holds, shown to the observer on the way in.
    QByteArray readArrived();
    void onReadyRead();
    void onError(int error);
    void deviceLost();

    QString programDir_;
    QSerialPort* serial_;
    int port_ = 1;
    int rate_ = 9600;
    int threshold_ = 0;
    int event_ = 0;
    QByteArray buffer_;
};

} // namespace kv
