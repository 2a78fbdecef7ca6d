#include "serial/eightn1.h"

#include <QSerialPort>

namespace kv {

bool setEightN1(QSerialPort& port, int baud) {
    return port.setBaudRate(baud) && port.setDataBits(QSerialPort::Data8) &&
           port.setParity(QSerialPort::NoParity) && port.setStopBits(QSerialPort::OneStop) &&
           port.setFlowControl(QSerialPort::NoFlowControl);
}

} // namespace kv
