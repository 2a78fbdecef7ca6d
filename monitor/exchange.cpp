#include "monitor/exchange.h"

#include "modbus/codec.h"
#include "sensor/protocol.h"
#include "sensor/records.h"
#include "sensor/values.h"

#include <QCoreApplication>

namespace kv::mon {
namespace {

using sensor::ReplyStatus;

Status statusOf(ReplyStatus s) {
    switch (s) {
    case ReplyStatus::Ok:
        return Status::Ok;
    // A whole frame announcing fewer registers than asked is a reply cut short as well.
    case ReplyStatus::Short:
    case ReplyStatus::BadByteCount:
        return Status::Incomplete;
    // Bytes past the reply's end (only when judged apart from the tracker): no CRC closes it.
    case ReplyStatus::Long:
    case ReplyStatus::BadCrc:
        return Status::CrcError;
    case ReplyStatus::WrongAddress:
        return Status::OtherAddress;
    case ReplyStatus::WrongFunction:
        return Status::WrongFunction;
    case ReplyStatus::BadEcho:
        return Status::BadEcho;
    case ReplyStatus::Exception:
        return Status::Exception;
    }
    return Status::Incomplete;
}

QString registerValue(int reg, std::uint16_t raw) {
    switch (reg) {
    case sensor::REG_MOISTURE:
        return QCoreApplication::translate("Monitor", "水分 %1 %").arg(sensor::hundredthsText(raw));
    case sensor::REG_TEMPERATURE:
        return QCoreApplication::translate("Monitor", "温度 %1 ℃")
            .arg(sensor::hundredthsText(sensor::temperatureHundredths(raw)));
    case sensor::REG_RESISTANCE:
        return QCoreApplication::translate("Monitor", "电阻 %1 Ω").arg(sensor::hundredthsText(raw));
    default:
        if (const int i = sensor::parameterReadAt(reg); i >= 0)
            return QCoreApplication::translate("Monitor", "参数%1 = %2").arg(i).arg(raw);
        return QCoreApplication::translate("Monitor", "寄存器%1 = %2").arg(reg).arg(raw);
    }
}

void decode(Exchange& ex, const sensor::Expectation& expect, const sensor::Reply& r) {
    QStringList parts;
    switch (expect.kind) {
    case sensor::ReplyKind::Read:
        // Whoever answers the address read names itself; its register is that address again.
        if (expect.anyAddress) {
            parts << QCoreApplication::translate("Monitor", "地址 %1").arg(r.address);
            break;
        }
        for (std::size_t k = 0; k < r.registers.size(); ++k) {
            const int reg = expect.start + static_cast<int>(k);
            parts << registerValue(reg, r.registers[k]);
            if (reg == sensor::REG_MOISTURE) ex.moisture = sensor::moisturePercent(r.registers[k]);
            if (reg == sensor::REG_TEMPERATURE) ex.temperature = sensor::temperatureCelsius(r.registers[k]);
        }
        break;
    case sensor::ReplyKind::WriteEcho: {
        const int reg = expect.request[2] << 8 | expect.request[3];
        if (const int i = sensor::parameterWrittenAt(reg); i >= 0)
            parts << QCoreApplication::translate("Monitor", "参数%1 ← %2").arg(i).arg(r.value);
        else
            parts << QCoreApplication::translate("Monitor", "寄存器%1 ← %2").arg(reg).arg(r.value);
        break;
    }
    case sensor::ReplyKind::AddressChange:
        parts << QCoreApplication::translate("Monitor", "新地址 %1").arg(r.value);
        break;
    case sensor::ReplyKind::Other:
        break;
    }
    ex.decoded = parts.join(QStringLiteral(", "));
}

QString exceptionStatus(const Exchange& ex, const QString& wording) {
    return wording.arg(FormatHex(static_cast<std::uint8_t>(ex.exceptionCode)),
                       sensor::exceptionName(static_cast<std::uint8_t>(ex.exceptionCode)).toUpper());
}

} // namespace

void judge(Exchange& ex) {
    ex.exceptionCode = 0;
    ex.decoded.clear();
    ex.moisture = ex.temperature = std::numeric_limits<double>::quiet_NaN();
    if (ex.request.isEmpty()) {
        ex.status = Status::Unsolicited;
        return;
    }
    if (ex.reply.isEmpty()) {
        ex.status = Status::NoReply;
        return;
    }
    const sensor::Expectation expect = sensor::expectFor(ex.request);
    const sensor::Reply r = sensor::checkReply(ex.reply, expect);
    ex.status = statusOf(r.status);
    if (ex.status == Status::Exception) ex.exceptionCode = r.exceptionCode;
    if (ex.status == Status::Ok) decode(ex, expect, r);
}

QString statusText(const Exchange& ex) {
    switch (ex.status) {
    case Status::Ok:
        return QCoreApplication::translate("Monitor", "正常");
    case Status::CrcError:
        return QCoreApplication::translate("Monitor", "CRC错误");
    case Status::OtherAddress:
        return QCoreApplication::translate("Monitor", "其他地址应答");
    case Status::WrongFunction:
        return QCoreApplication::translate("Monitor", "功能码不符");
    case Status::Exception:
        return exceptionStatus(ex, QCoreApplication::translate("Monitor", "异常 %1 %2"));
    case Status::BadEcho:
        return QCoreApplication::translate("Monitor", "回显不符");
    case Status::Incomplete:
        return QCoreApplication::translate("Monitor", "不完整");
    case Status::NoReply:
        return QCoreApplication::translate("Monitor", "下次请求前无应答");
    case Status::Unsolicited:
        return QCoreApplication::translate("Monitor", "无请求的字节");
    }
    return QString();
}

QString statusFullWording(const Exchange& ex) {
    // Only the exception's status is shortened in a translation, to keep to its column.
    const char* const source = "异常 %1 %2";
    const QString full = QCoreApplication::translate("Monitor", "异常 %1 %2", "full wording");
    return ex.status == Status::Exception && full != QString::fromUtf8(source) ? exceptionStatus(ex, full)
                                                                               : QString();
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
                       sensor::csvField(statusText(ex)),
                       sensor::csvField(ex.decoded)}
        .join(QLatin1Char(','));
}

} // namespace kv::mon
