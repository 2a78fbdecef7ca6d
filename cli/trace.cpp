#include "cli/trace.h"

#include "cli/console.h"
#include "cli/readings.h"
#include "line/clock.h"

#include <cerrno>
#include <cstring>

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

QString latencyText(Nanos latency) {
    return QString::number(msOf(latency), 'f', 1);
}

} // namespace

QString traceText(const line::LineEvent& e, const WallClock& clock, const QString& port) {
    QString text = clock.textAt(line::nsAt(e.at)) + QLatin1Char(' ') +
                   (port.isEmpty() ? QString() : port + QLatin1Char(' ')) +
                   QLatin1String(directionName(e.direction)) + QLatin1Char(' ') +
                   QLatin1String(line::verdictName(e.verdict));
    if (e.direction == Direction::Sent) text += QStringLiteral(" to %1").arg(e.address);
    if (e.latency) text += QLatin1Char(' ') + latencyText(*e.latency) + QStringLiteral(" ms");
    if (e.attempt > 0) text += QStringLiteral(" (retry %1)").arg(e.attempt);
    if (e.direction == Direction::Ended) text += QStringLiteral(" (address %1)").arg(e.address);
    if (!e.bytes.isEmpty()) text += QStringLiteral(": ") + hex(e.bytes);
    return text;
}

QString traceJson(const line::LineEvent& e, const WallClock& clock, const QString& port) {
    // Joined rather than formatted: a port may itself hold "%1".
    QString json = QStringLiteral("{\"time\":\"") + clock.textAt(line::nsAt(e.at)) + QLatin1Char('"');
    if (!port.isEmpty()) json += QStringLiteral(",\"port\":") + jsonString(port);
    return json +
           QStringLiteral(",\"dir\":\"%1\",\"verdict\":\"%2\",\"address\":%3,\"try\":%4,\"latency_ms\":%5,"
                          "\"hex\":\"%6\"}")
               .arg(QLatin1String(directionName(e.direction)), QLatin1String(line::verdictName(e.verdict)))
               .arg(e.address)
               .arg(e.attempt)
               .arg(e.latency ? latencyText(*e.latency) : QStringLiteral("null"), hex(e.bytes));
}

void TraceWriter::write(const line::LineEvent& e, const QString& port) {
    if (!ok_) return;
    const QByteArray line =
        (format_ == JsonLines ? traceJson(e, clock_, port) : traceText(e, clock_, port)).toUtf8() + '\n';
    // Flushed line by line: a trace is read while the run goes on, or after it crashed.
    ok_ = std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), to_) ==
              static_cast<std::size_t>(line.size()) &&
          std::fflush(to_) == 0;
}

TraceSink::~TraceSink() {
    if (file_) std::fclose(file_);
}

bool TraceSink::open(const std::string& target, const WallClock& clock) {
    target_ = target;
    if (target == "-") {
        writer_.emplace(TraceWriter::Text, stderr, clock);
        return true;
    }
    // Appended to, as a CSV log is: an earlier trace is never lost.
    file_ = std::fopen(target.c_str(), "a");
    if (!file_) {
        error(QStringLiteral("--trace: cannot write %1: %2")
                  .arg(QString::fromStdString(target), QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    writer_.emplace(TraceWriter::JsonLines, file_, clock);
    return true;
}

void TraceSink::write(const line::LineEvent& e, const QString& port) {
    if (!writer_ || !writer_->ok()) return;
    writer_->write(e, port);
    if (!writer_->ok())
        error(QStringLiteral("--trace: cannot write %1: %2; the trace stops here")
                  .arg(QString::fromStdString(target_), QString::fromLocal8Bit(std::strerror(errno))));
}

} // namespace kv::cli
