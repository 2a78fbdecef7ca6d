#include "device/configuration.h"

#include "window/window.h"
#include "modbus/fieldnum.h"

#include <cmath>
#include <limits>

namespace kv {
namespace {

constexpr std::uint16_t kParameterWriteBase = 0x0A00;
constexpr std::uint16_t kAddressRegister = 0x0B00;
constexpr std::uint8_t kAnyDeviceAddress = 250;

const QString kValueWrong = QStringLiteral("你输入的值有误!");
const QString kAddressRange = QStringLiteral("请指定正确的设备地址，正确值范围为1-35");

// One register at start + offset, the reply going to the field readTarget names.
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
    w.sendRead(frame, 2);
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

// The 16-bit register value of a parameter write, or nothing when the text cannot
// become one: the frame must never carry a truncated value.
std::optional<long long> parameterRegister(const QString& text, int i) {
    const auto typed = num::readSingle(text);
    if (!typed || *typed > 65535.0f || *typed < -65535.0f)
        return std::nullopt;
    float v = *typed;
    if (i == 0)
        v = v * 10000.0f;
    if (v < 0)
        v = v + 65536.0f;
    const auto r = num::roundEven(static_cast<double>(v));
    if (!r || *r < 0 || *r > 65535)
        return std::nullopt;
    return r;
}

} // namespace

void readParameter(Window& w, int i) { sendRegisterRead(w, i, i + 2); }

void readResistance(Window& w, int readTarget) { sendRegisterRead(w, readTarget, 8); }

void writeParameter(Window& w, int i) {
    QLineEdit* box = w.txtsetValue(i);
    if (!box)
        return;
    const auto value = parameterRegister(box->text(), i);
    if (!value) {
        w.message(kValueWrong);
        return;
    }
    const auto address = num::asByte(num::floorOf(w.txtStationID->text()));
    if (!address) {
        w.message(QStringLiteral("你输入的设备地址格式有误!"));
        return;
    }

    w.CmdType = 3;
    w.SendBuf.clear();
    w.txtState->clear();
    w.preparePort();

    const std::uint16_t reg = static_cast<std::uint16_t>(kParameterWriteBase + 2 * i);
    Frame frame{*address, MODBUS_FC_WRITE_SINGLE_REGISTER, static_cast<std::uint8_t>(reg >> 8),
                static_cast<std::uint8_t>(reg & 0xFF), static_cast<std::uint8_t>(*value / 256),
                static_cast<std::uint8_t>(*value % 256)};
    sendOrShowClosed(w, frame, 6, 6);
}

void readAddress(Window& w) {
    w.CmdType = 6;
    w.txtState->clear();
    w.SendBuf.clear();
    w.preparePort();

    Frame frame{kAnyDeviceAddress, MODBUS_FC_READ_HOLDING_REGISTERS, 0x00, 0x00, 0x00, 0x01};
    // The event waits for the whole 7-byte reply: one cut at 6 bytes would lack its
    // CRC and could never be taken as sound.
    sendOrShowClosed(w, frame, 7, 7);
}

void changeAddress(Window& w) {
    const auto present = num::readNumber(w.txtSetID(0)->text());
    if (!present) {
        w.message(QStringLiteral("你输入的原设备地址格式有误!"));
        return;
    }
    const auto target = num::readNumber(w.txtSetID(1)->text());
    if (!target) {
        w.message(QStringLiteral("你输入的目标设备地址格式有误!"));
        return;
    }
    const double a = std::floor(*present);
    const double b = std::floor(*target);
    if (a == 0 || b == 0) {
        w.message(kAddressRange);
        return;
    }
    if (b > 35) {
        w.message(kAddressRange + QLatin1Char('!'));
        return;
    }
    // A byte cannot carry these; refuse rather than send a wrong address.
    if (a < 0 || a > 255 || b < 0) {
        w.message(kAddressRange);
        return;
    }

    w.CmdType = 5;
    w.txtState->clear();
    w.preparePort();

    const std::uint16_t reg = kAddressRegister;
    Frame frame{static_cast<std::uint8_t>(a), MODBUS_FC_WRITE_SINGLE_REGISTER, static_cast<std::uint8_t>(reg >> 8),
                static_cast<std::uint8_t>(reg & 0xFF), 0x00, static_cast<std::uint8_t>(b)};
    sendOrShowClosed(w, frame, 6, 6);
    w.AddressChangeSent = frame;
}

void computeCalibration(Window& w) {
    const auto RL = num::readNumber(w.txtRL->text());
    const auto RH = num::readNumber(w.TXTRH->text());
    const auto RA = num::readNumber(w.txtRA->text());
    const auto RB = num::readNumber(w.txtRB->text());
    if (!RL || !RH || !RA || !RB) {
        w.message(QStringLiteral("你输入的电阻值格式有误，RL、RH、RA、RB都必须是数字!"));
        return;
    }
    const double d1 = *RH - *RL;
    const double d2 = *RB - *RA;
    if (!(d2 > 0)) {
        w.message(QStringLiteral("除数不能为零"));
        return;
    }
    const double LA = d1 / d2;
    const double offsetOhm = *RH - LA * *RB;
    const double slope = std::floor(LA * 10000) + 0.0; // + 0.0 turns -0 into 0
    // A divisor a hair above zero, or huge resistances, give results no register and no
    // binary32 can hold.
    if (!std::isfinite(slope) || !(std::fabs(offsetOhm) <= std::numeric_limits<float>::max())) {
        w.message(QStringLiteral("计算结果超出范围，请检查输入的电阻值!"));
        return;
    }
    const float OF = static_cast<float>(offsetOhm);
    const double offset = std::floor(static_cast<double>(OF) * 100) + 5000;
    w.txtsetValue(4)->setText(QString::number(slope, 'f', 0));
    w.txtsetValue(5)->setText(QString::number(offset, 'f', 0));
}

} // namespace kv
