#include "monitor/exchange.h"

#include "modbus/codec.h"
#include "sensor/protocol.h"

namespace kv::mon {
namespace {

constexpr int kRead = MODBUS_FC_READ_HOLDING_REGISTERS;
constexpr int kReadInput = 4;
constexpr int kWriteRegister = MODBUS_FC_WRITE_SINGLE_REGISTER;
constexpr int kAnyDevice = sensor::ADDRESS_READ_DEVICE; // answered by every sensor, with its own address
constexpr int kAddressRegister = sensor::REG_ADDRESS;
constexpr int kFirstParameterWrite = sensor::REG_PARAMETER_WRITE;
constexpr int kLastParameterWrite = sensor::parameterWriteRegister(sensor::PARAMETER_COUNT - 1);
constexpr int kExceptionFlag = sensor::MODBUS_EXCEPTION_FLAG;

int byteAt(const QByteArray& b, int i) {
    return static_cast<quint8>(b.at(i));
}
int wordAt(const QByteArray& b, int i) {
    return byteAt(b, i) << 8 | byteAt(b, i + 1);
}

QString fixed2(int hundredths) {
    return QString::number(hundredths / 100.0, 'f', 2);
}

QString registerValue(int reg, int raw) {
    switch (reg) {
    case 0:
        return QStringLiteral("水分 %1 %").arg(fixed2(raw));
    case 1:
        return QStringLiteral("温度 %1 ℃").arg(fixed2(static_cast<qint16>(raw)));
    case 8:
        return QStringLiteral("电阻 %1 Ω").arg(fixed2(raw));
    default:
        if (reg >= 2 && reg <= 7) return QStringLiteral("参数%1 = %2").arg(reg - 2).arg(raw);
        return QStringLiteral("寄存器%1 = %2").arg(reg).arg(raw);
    }
}

QString decode(const QByteArray& request, const QByteArray& reply) {
    const int function = byteAt(request, 1);
    const int reg = wordAt(request, 2);
    QStringList parts;
    if (function == kRead || function == kReadInput) {
        if (byteAt(request, 0) == kAnyDevice) parts << QStringLiteral("地址 %1").arg(byteAt(reply, 0));
        const int count = byteAt(reply, 2) / 2;
        for (int k = 0; k < count; ++k)
            parts << registerValue(reg + k, wordAt(reply, 3 + 2 * k));
    } else if (function == kWriteRegister) {
        if (reg == kAddressRegister)
            parts << QStringLiteral("新地址 %1").arg(reply.size() == 6 ? byteAt(reply, 3) : wordAt(reply, 4));
        else if (reg >= kFirstParameterWrite && reg <= kLastParameterWrite && reg % 2 == 0)
            parts
                << QStringLiteral("参数%1 ← %2").arg((reg - kFirstParameterWrite) / 2).arg(wordAt(reply, 4));
        else
            parts << QStringLiteral("寄存器%1 ← %2").arg(reg).arg(wordAt(reply, 4));
    }
    return parts.join(QStringLiteral(", "));
}

QString csvField(const QString& text) {
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

int expectedReplyLength(const QByteArray& request, const QByteArray& replySoFar) {
    if (request.size() < 6) return 0;
    const int function = byteAt(request, 1);
    if (replySoFar.size() >= 2 && byteAt(replySoFar, 1) == (function | kExceptionFlag)) return 5;
    if (function == kRead || function == kReadInput) return 5 + 2 * wordAt(request, 4);
    if (function == kWriteRegister) {
        // This sensor answers an address change with "old 06 01 new CRC" unless it echoes.
        if (wordAt(request, 2) == kAddressRegister && replySoFar.size() >= 3 && byteAt(replySoFar, 2) == 0x01)
            return 6;
        return 8;
    }
    return 0;
}

void judge(Exchange& ex) {
    ex.exceptionCode = 0;
    ex.decoded.clear();
    if (ex.request.isEmpty()) {
        ex.status = Status::Unsolicited;
        return;
    }
    if (ex.reply.isEmpty()) {
        ex.status = Status::NoReply;
        return;
    }
    const int expected = expectedReplyLength(ex.request, ex.reply);
    if ((expected > 0 && ex.reply.size() < expected) || ex.reply.size() < 4) {
        ex.status = Status::Incomplete;
        return;
    }
    if (!crcClosesFrame(ex.reply, ex.reply.size())) {
        ex.status = Status::CrcError;
        return;
    }
    const int address = byteAt(ex.request, 0);
    const int function = byteAt(ex.request, 1);
    if (byteAt(ex.reply, 0) != address && !(address == kAnyDevice && function != kWriteRegister)) {
        ex.status = Status::OtherAddress;
        return;
    }
    if (byteAt(ex.reply, 1) == (function | kExceptionFlag)) {
        ex.status = Status::Exception;
        ex.exceptionCode = byteAt(ex.reply, 2);
        return;
    }
    if (byteAt(ex.reply, 1) != function) {
        ex.status = Status::WrongFunction;
        return;
    }
    if ((function == kRead || function == kReadInput) && byteAt(ex.reply, 2) != 2 * wordAt(ex.request, 4)) {
        ex.status = Status::Incomplete;
        return;
    }
    ex.status = Status::Ok;
    ex.decoded = decode(ex.request, ex.reply);
}

QString statusText(const Exchange& ex) {
    switch (ex.status) {
    case Status::Ok:
        return QStringLiteral("正常");
    case Status::CrcError:
        return QStringLiteral("CRC错误");
    case Status::OtherAddress:
        return QStringLiteral("其他地址应答");
    case Status::WrongFunction:
        return QStringLiteral("功能码不符");
    case Status::Exception:
        return QStringLiteral("异常 %1 %2")
            .arg(FormatHex(static_cast<std::uint8_t>(ex.exceptionCode)),
                 sensor::exceptionName(static_cast<std::uint8_t>(ex.exceptionCode)).toUpper());
    case Status::Incomplete:
        return QStringLiteral("不完整");
    case Status::NoReply:
        return QStringLiteral("下次请求前无应答");
    case Status::Unsolicited:
        return QStringLiteral("无请求的字节");
    }
    return QString();
}

QString hexText(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString csvHeader() {
    return QStringLiteral("time,request,reply,response_ms,status,decoded");
}

QString csvLine(const Exchange& ex) {
    const QString ms = ex.responseMs < 0 ? QString() : QString::number(ex.responseMs, 'f', 1);
    return QStringList{ex.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")),
                       hexText(ex.request),
                       hexText(ex.reply),
                       ms,
                       csvField(statusText(ex)),
                       csvField(ex.decoded)}
        .join(QLatin1Char(','));
}

} // namespace kv::mon
