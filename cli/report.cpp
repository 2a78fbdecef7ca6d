#include "cli/report.h"
#include "sensor/values.h"

#include <QDateTime>
#include <QRegularExpression>

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

QString moistureText(const sensor::Reply& measurement) {
    return sensor::hundredthsText(measurement.registers[0]);
}

QString temperatureText(const sensor::Reply& measurement) {
    return sensor::hundredthsText(sensor::temperatureHundredths(measurement.registers[1]));
}

QString measurementText(const sensor::Reply& measurement) {
    return QStringLiteral("moisture %1 %, temperature %2 C")
        .arg(moistureText(measurement), temperatureText(measurement));
}
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

// A backslash before each of `special`; a line break, which the protocol cannot carry
// inside a name or value, becomes an escaped blank.
QString escaped(QString s, QLatin1String special) {
    s.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    QString out;
    out.reserve(s.size() + 8);
    for (QChar c : s) {
        if (special.contains(c)) out += QLatin1Char('\\');
        out += c;
    }
    return out;
}

} // namespace

QString shellWord(const QString& text) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./:@%+=-]+$"));
    if (plain.match(text).hasMatch()) return text;
    QString q = text;
    q.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + q + QLatin1Char('\'');
}

QString timestampUtc() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

void stampNow(Reading& r) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    r.time = now.toString(Qt::ISODateWithMs);
    r.unixMs = now.toMSecsSinceEpoch();
}

QString csvHeader(bool withPort) {
    return withPort
               ? QStringLiteral("time,port,address,moisture_percent,temperature_celsius,latency_ms,status")
               : QStringLiteral("time,address,moisture_percent,temperature_celsius,latency_ms,status");
}

QString influxKey(const QString& s) {
    return escaped(s, QLatin1String(", ="));
}

QString influxString(const QString& s) {
    QString q = s;
    q.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('"'), QStringLiteral("\\\""));
    q.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

QString influxLine(const Reading& r) {
    // Tags in key order, as the database sorts them anyway.
    QString line = QStringLiteral("soil,address=") + QString::number(r.address);
    if (!r.port.isEmpty()) line += QStringLiteral(",port=") + influxKey(r.port);
    QStringList fields;
    if (r.ok) {
        fields << QStringLiteral("moisture=") + r.moisture << QStringLiteral("temperature=") + r.temperature;
    }
    if (r.latencyMs) fields << QStringLiteral("latency_ms=") + ms(*r.latencyMs);
    fields << QStringLiteral("status=") + influxString(r.status);
    return line + QLatin1Char(' ') + fields.join(QLatin1Char(',')) + QLatin1Char(' ') +
           QString::number(r.unixMs * 1000000);
}

bool ReadingWriter::write(const Reading& r) {
    QString line;
    if (header_) {
        header_ = false;
        if (format_ == Csv)
            line = csvHeader(withPort_) + QLatin1Char('\n');
        else if (format_ == Table)
            line = (withPort_ ? QStringLiteral("port  ") : QString()) +
                   QStringLiteral("%1  %2  %3  %4  %5  %6\n")
                       .arg(QStringLiteral("time"), -24)
                       .arg(QStringLiteral("address"), 7)
                       .arg(QStringLiteral("moisture %"), 10)
                       .arg(QStringLiteral("temperature C"), 13)
                       .arg(QStringLiteral("latency ms"), 10)
                       .arg(QStringLiteral("status"));
    }
    const QString latency = r.latencyMs ? ms(*r.latencyMs) : QString();
    switch (format_) {
    case Csv: {
        // Joined rather than formatted: a port or status may itself hold "%1".
        QStringList fields{r.time};
        if (withPort_) fields << csvField(r.port);
        fields << QString::number(r.address) << r.moisture << r.temperature << latency << csvField(r.status);
        line += fields.join(QLatin1Char(',')) + QLatin1Char('\n');
        break;
    }
    case Json:
        line += QStringLiteral("{\"time\":") + jsonString(r.time) + QStringLiteral(",\"port\":") +
                jsonString(r.port) + QStringLiteral(",\"address\":") + QString::number(r.address) +
                QStringLiteral(",\"moisture_percent\":") + (r.ok ? r.moisture : QStringLiteral("null")) +
                QStringLiteral(",\"temperature_celsius\":") +
                (r.ok ? r.temperature : QStringLiteral("null")) + QStringLiteral(",\"latency_ms\":") +
                (latency.isEmpty() ? QStringLiteral("null") : latency) + QStringLiteral(",\"status\":") +
                jsonString(r.status) + QStringLiteral("}\n");
        break;
    case Influx:
        line += influxLine(r) + QLatin1Char('\n');
        break;
    case Table:
        if (withPort_) line += r.port + QStringLiteral("  ");
        line += QStringLiteral("%1  %2  %3  %4  %5  %6\n")
                    .arg(r.time, -24)
                    .arg(r.address, 7)
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
    if (s.noise > 0 || s.syncs > 0)
        text +=
            QStringLiteral("line: %1 noise bursts, %2 syncs (reads that resynchronised before a request)\n")
                .arg(s.noise)
                .arg(s.syncs);
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

void printSensorSummaries(const std::vector<SensorSummary>& sensors, std::FILE* to) {
    QString text;
    QStringList silent;
    const int width = static_cast<int>(QString::number(sensors.empty() ? 0 : sensors.back().address).size());
    for (const SensorSummary& s : sensors) {
        const double loss = s.measurements > 0 ? 100.0 * s.failed / s.measurements : 0.0;
        text +=
            QStringLiteral("address %1: %2 measurements, %3 requests, %4 replies, %5 timeouts, loss %6 %, ")
                .arg(s.address, width)
                .arg(s.measurements)
                .arg(s.stats.requests)
                .arg(s.stats.replies)
                .arg(s.stats.timeouts)
                .arg(QString::number(loss, 'f', 1));
        if (s.stats.latenciesMs.empty()) {
            text += QStringLiteral("latency ms: no replies");
        } else {
            std::vector<double> sorted = s.stats.latenciesMs;
            std::sort(sorted.begin(), sorted.end());
            text += QStringLiteral("latency ms median %1, p95 %2, max %3")
                        .arg(ms(percentile(sorted, 50)), ms(percentile(sorted, 95)), ms(sorted.back()));
        }
        if (s.stats.late > 0) text += QStringLiteral(", %1 late replies").arg(s.stats.late);
        text += QLatin1Char('\n');
        // Anything at all heard from the address counts as an answer, even a bad or late one.
        const Stats& c = s.stats;
        if (s.measurements > 0 && c.replies + c.crcErrors + c.exceptions + c.badReplies + c.late == 0)
            silent << QString::number(s.address);
    }
    if (!silent.isEmpty()) text += QStringLiteral("never answered: %1\n").arg(silent.join(QLatin1Char(',')));
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
