#include "cli/report.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define STDERR_FILENO 2
#else
#include <unistd.h>
#endif

namespace kv::cli {
namespace {

QString csvField(const QString& s) {
    if (!s.contains(QLatin1Char(',')) && !s.contains(QLatin1Char('"')) && !s.contains(QLatin1Char('\n')))
        return s;
    QString q = s;
    q.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

QString jsonString(const QString& s) {
    QString out = QStringLiteral("\"");
    for (QChar c : s) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\') + c;
        else if (c.unicode() < 0x20)
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + QLatin1Char('"');
}

QString ms(double v) {
    return QString::number(v, 'f', 1);
}

// Nearest-rank percentile of sorted values.
double percentile(const std::vector<double>& sorted, double p) {
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

} // namespace

QString timestampUtc() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

bool ReadingWriter::write(const Reading& r) {
    QString line;
    if (header_) {
        header_ = false;
        if (format_ == Csv)
            line = QStringLiteral("time,moisture_percent,temperature_celsius,latency_ms,status\n");
        else if (format_ == Table)
            line = QStringLiteral("%1  %2  %3  %4  %5\n")
                       .arg(QStringLiteral("time"), -24)
                       .arg(QStringLiteral("moisture %"), 10)
                       .arg(QStringLiteral("temperature C"), 13)
                       .arg(QStringLiteral("latency ms"), 10)
                       .arg(QStringLiteral("status"));
    }
    const QString latency = r.latencyMs ? ms(*r.latencyMs) : QString();
    switch (format_) {
    case Csv:
        line += QStringLiteral("%1,%2,%3,%4,%5\n")
                    .arg(r.time, r.moisture, r.temperature, latency, csvField(r.status));
        break;
    case Json:
        line += QStringLiteral(
                    "{\"time\":%1,\"moisture_percent\":%2,\"temperature_celsius\":%3,\"latency_ms\":%4,"
                    "\"status\":%5}\n")
                    .arg(jsonString(r.time), r.ok ? r.moisture : QStringLiteral("null"),
                         r.ok ? r.temperature : QStringLiteral("null"),
                         latency.isEmpty() ? QStringLiteral("null") : latency, jsonString(r.status));
        break;
    case Table:
        line += QStringLiteral("%1  %2  %3  %4  %5\n")
                    .arg(r.time, -24)
                    .arg(r.ok ? r.moisture : QStringLiteral("-"), 10)
                    .arg(r.ok ? r.temperature : QStringLiteral("-"), 13)
                    .arg(latency.isEmpty() ? QStringLiteral("-") : latency, 10)
                    .arg(r.status);
        break;
    }
    const QByteArray bytes = line.toUtf8();
    const bool written = std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), to_) ==
                         static_cast<std::size_t>(bytes.size());
    // Flushed line by line, so a crash or an unplugged adapter loses nothing already measured.
    return std::fflush(to_) == 0 && written;
}

void printSummary(const Stats& s, int measurements, int failed, std::FILE* to) {
    const double loss = measurements > 0 ? 100.0 * failed / measurements : 0.0;
    QString text =
        QStringLiteral(
            "summary: %1 measurements, %2 requests (%3 retries), %4 replies, %5 timeouts, "
            "%6 CRC errors, %7 exceptions, %8 bad replies, %9 lost with the port, %10 late replies, "
            "loss %11 %\n")
            .arg(measurements)
            .arg(s.requests)
            .arg(s.retries)
            .arg(s.replies)
            .arg(s.timeouts)
            .arg(s.crcErrors)
            .arg(s.exceptions)
            .arg(s.badReplies)
            .arg(s.lost)
            .arg(s.late)
            .arg(QString::number(loss, 'f', 1));
    if (s.outages > 0)
        text += QStringLiteral("port lost %1 time(s), %2 s without it\n")
                    .arg(s.outages)
                    .arg(QString::number(s.lostMs / 1000.0, 'f', 1));
    if (!s.latenciesMs.empty()) {
        std::vector<double> sorted = s.latenciesMs;
        std::sort(sorted.begin(), sorted.end());
        text += QStringLiteral("latency ms: min %1, median %2, p95 %3, max %4\n")
                    .arg(ms(sorted.front()), ms(percentile(sorted, 50)), ms(percentile(sorted, 95)),
                         ms(sorted.back()));
    } else {
        text += QStringLiteral("latency ms: no replies\n");
    }
    std::fputs(text.toUtf8().constData(), to);
    std::fflush(to);
}

Progress::Progress(int total) : total_(std::max(total, 1)), enabled_(isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() {
    clear();
}

void Progress::step(const QString& what) {
    ++done_;
    if (!enabled_) return;
    constexpr int width = 30;
    const int filled = std::min(width, done_ * width / total_);
    const QString bar = QStringLiteral("\r[%1%2] %3% %4\x1b[K")
                            .arg(QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char('-')))
                            .arg(std::min(100, done_ * 100 / total_), 3)
                            .arg(what);
    std::fputs(bar.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::clear() {
    if (!drawn_) return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    drawn_ = false;
}

} // namespace kv::cli
