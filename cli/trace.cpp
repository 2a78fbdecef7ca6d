#include "cli/trace.h"

#include <QDateTime>

namespace kv::cli {
namespace {

using Direction = line::LineEvent::Direction;

const char* directionName(Direction d) {
    switch (d) {
    case Direction::Sent:
        return "tx";
    case Direction::Heard:
        return "rx";
    case Direction::Ended:
        break;
    }
    return "--";
}

QString hex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString latencyText(double ms) {
    return QString::number(ms, 'f', 1);
}

} // namespace

QString WallClock::textAt(qint64 atNs) const {
    return QDateTime::fromMSecsSinceEpoch(unixMsAt(atNs), Qt::UTC).toString(Qt::ISODateWithMs);
}

QString traceText(const line::LineEvent& e, const WallClock& clock) {
    QString text = clock.textAt(e.atNs) + QLatin1Char(' ') + QLatin1String(directionName(e.direction)) +
                   QLatin1Char(' ') + QLatin1String(line::verdictName(e.verdict));
    if (e.direction == Direction::Sent) text += QStringLiteral(" to %1").arg(e.address);
    if (e.latencyMs) text += QLatin1Char(' ') + latencyText(*e.latencyMs) + QStringLiteral(" ms");
    if (e.attempt > 0) text += QStringLiteral(" (retry %1)").arg(e.attempt);
    if (e.direction == Direction::Ended) text += QStringLiteral(" (address %1)").arg(e.address);
    if (!e.bytes.isEmpty()) text += QStringLiteral(": ") + hex(e.bytes);
    return text;
}

QString traceJson(const line::LineEvent& e, const WallClock& clock) {
    return QStringLiteral("{\"time\":\"%1\",\"dir\":\"%2\",\"verdict\":\"%3\",\"address\":%4,\"try\":%5,"
                          "\"latency_ms\":%6,\"hex\":\"%7\"}")
        .arg(clock.textAt(e.atNs), QLatin1String(directionName(e.direction)),
             QLatin1String(line::verdictName(e.verdict)))
        .arg(e.address)
        .arg(e.attempt)
        .arg(e.latencyMs ? latencyText(*e.latencyMs) : QStringLiteral("null"), hex(e.bytes));
}

void TraceWriter::write(const line::LineEvent& e) {
    if (!ok_) return;
    const QByteArray line =
        (format_ == JsonLines ? traceJson(e, clock_) : traceText(e, clock_)).toUtf8() + '\n';
    // Flushed line by line: a trace is read while the run goes on, or after it crashed.
    ok_ = std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), to_) ==
              static_cast<std::size_t>(line.size()) &&
          std::fflush(to_) == 0;
}

} // namespace kv::cli
