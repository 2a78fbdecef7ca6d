#include "device/configuration.h"

#include "modbus/fieldnum.h"
#include "sensor/protocol.h"
#include "sensor/values.h"
#include "window/window.h"

#include <QCoreApplication>

#include <cmath>

namespace kv {
namespace {

QString valueWrong() {
    return QCoreApplication::translate("Configuration", "你输入的值有误!");
}
QString addressRange() {
    return QCoreApplication::translate("Configuration", "请指定正确的设备地址，正确值范围为1-35");
}

// One register at start + offset, the reply going to the field readTarget names. The offsets
// are the sensor's registers: the start field is added as the window always did.
void sendRegisterRead(Window& w, int readTarget, int offset) {
    w.SendBuf.clear();
    w.txtState->clear();
    w.ReadTarget = static_cast<qint16>(readTarget);

    if (!w.readyForRead())
        return;

    Frame frame = w.readRequest();
    if (const auto start = num::readNumber(w.txtStartID->text()))
        frame[3] = num::byteOr0(num::floorOf(*start + offset));
    frame[5] = 1;
    w.sendRead(frame, CmdRegisterRead);
}

// Writes and address requests are sealed, expected and shown whether or not the port
// is open, but go out only on an open one; a closed one gets the red lamp.
void sendOrShowClosed(Window& w, Frame& frame, qint16 recLen, int threshold) {
    w.seal(frame);
    w.RecLen = recLen;
    w.MSComm1->setRThreshold(threshold);
    w.showRequest(frame);
    if (w.MSComm1->portOpen()) {
        w.bringToFront(w.imgConnected);
        w.MSComm1->output(toBytes(frame));
    } else {
        w.bringToFront(w.imgNotConnected);
    }
}

} // namespace

void readParameter(Window& w, int i) { sendRegisterRead(w, i, sensor::parameterReadRegister(i)); }

void readResistance(Window& w, int readTarget) { sendRegisterRead(w, readTarget, sensor::REG_RESISTANCE); }

void writeParameter(Window& w, int i) {
    QLineEdit* box = w.txtsetValue(i);
    if (!box)
        return;
    // The frame must never carry a truncated value: one that cannot become the register is refused.
    const sensor::Encoded value = sensor::encodeParameter(i, box->text());
    if (value.error != sensor::EncodeError::None) {
        w.message(valueWrong());
        return;
    }
    const auto address = num::asByte(num::floorOf(w.txtStationID->text()));
    if (!address) {
        w.message(QCoreApplication::translate("Configuration", "你输入的设备地址格式有误!"));
        return;
    }

    w.CmdType = CmdParameterWrite;
    w.SendBuf.clear();
    w.txtState->clear();
    w.preparePort();

    Frame frame = sensor::parameterWriteRequest(*address, i, value.raw);
    sendOrShowClosed(w, frame, 6, 6);
}

void readAddress(Window& w) {
    w.CmdType = CmdAddressRead;
    w.txtState->clear();
    w.SendBuf.clear();
    w.preparePort();

    Frame frame = sensor::addressReadRequest();
    // The event waits for the whole 7-byte reply: one cut at 6 bytes would lack its
    // CRC and could never be taken as sound.
    sendOrShowClosed(w, frame, 7, 7);
}

void changeAddress(Window& w) {
    const auto present = num::readNumber(w.txtSetID(0)->text());
    if (!present) {
        w.message(QCoreApplication::translate("Configuration", "你输入的原设备地址格式有误!"));
        return;
    }
    const auto target = num::readNumber(w.txtSetID(1)->text());
    if (!target) {
        w.message(QCoreApplication::translate("Configuration", "你输入的目标设备地址格式有误!"));
        return;
    }
    const double a = std::floor(*present);
    const double b = std::floor(*target);
    if (a == 0 || b == 0) {
        w.message(addressRange());
        return;
    }
    if (b > 35) {
        w.message(addressRange() + QLatin1Char('!'));
        return;
    }
    // A byte cannot carry these; refuse rather than send a wrong address.
    if (a < 0 || a > 255 || b < 0) {
        w.message(addressRange());
        return;
    }

    w.CmdType = CmdAddressChange;
    w.txtState->clear();
    w.preparePort();

    Frame frame = sensor::addressChangeRequest(static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b));
    sendOrShowClosed(w, frame, 6, 6);
    w.AddressChangeSent = frame;
}

void computeCalibration(Window& w) {
    const auto RL = num::readNumber(w.txtRL->text());
    const auto RH = num::readNumber(w.TXTRH->text());
    const auto RA = num::readNumber(w.txtRA->text());
    const auto RB = num::readNumber(w.txtRB->text());
    if (!RL || !RH || !RA || !RB) {
        w.message(QCoreApplication::translate("Configuration",
                                              "你输入的电阻值格式有误，RL、RH、RA、RB都必须是数字!"));
        return;
    }
    if (!(*RB - *RA > 0)) {
        w.message(QCoreApplication::translate("Configuration", "除数不能为零"));
        return;
    }
    // A divisor a hair above zero, or huge resistances, give results no register and no
    // binary32 can hold.
    const auto c = sensor::calibrate(*RL, *RH, *RA, *RB);
    if (!c) {
        w.message(QCoreApplication::translate("Configuration", "计算结果超出范围，请检查输入的电阻值!"));
        return;
    }
    w.txtsetValue(sensor::PARAM_LA)->setText(QString::number(c->slope, 'f', 0));
    w.txtsetValue(sensor::PARAM_OF)->setText(QString::number(c->offset, 'f', 0));
}

} // namespace kv
