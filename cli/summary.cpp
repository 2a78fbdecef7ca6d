#include "cli/summary.h"

#include "cli/readings.h"
#include "sensor/records.h"

#include <QString>
#include <QStringList>

#include <algorithm>

namespace kv::cli {
namespace {

double lossPercent(int measurements, int failed) {
    return measurements > 0 ? 100.0 * failed / measurements : 0.0;
}

QString countsLine(const Stats& s, int measurements, int failed) {
    return QStringLiteral(
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
        .arg(QString::number(lossPercent(measurements, failed), 'f', 1));
}

QString sensorLine(const SensorSummary& s, int width) {
    QString text =
        QStringLiteral("address %1: %2 measurements, %3 requests, %4 replies, %5 timeouts, loss %6 %, ")
            .arg(s.address, width)
            .arg(s.measurements)
            .arg(s.stats.requests)
            .arg(s.stats.replies)
            .arg(s.stats.timeouts)
            .arg(QString::number(lossPercent(s.measurements, s.failed), 'f', 1));
    if (s.stats.latenciesMs.empty()) {
        text += QStringLiteral("latency ms: no replies");
    } else {
        const std::vector<double>& v = s.stats.latenciesMs;
        text += QStringLiteral("latency ms median %1, p95 %2, max %3")
                    .arg(msText(sensor::percentile(v, 50)), msText(sensor::percentile(v, 95)),
                         msText(*std::max_element(v.begin(), v.end())));
    }
    if (s.stats.late > 0) text += QStringLiteral(", %1 late replies").arg(s.stats.late);
    return text + QLatin1Char('\n');
}

void put(const QString& text, std::FILE* to) {
    std::fputs(text.toUtf8().constData(), to);
    std::fflush(to);
}

} // namespace

void printSummary(const Stats& s, int measurements, int failed, std::FILE* to) {
    QString text = countsLine(s, measurements, failed);
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
        const std::vector<double>& v = s.latenciesMs;
        const auto [min, max] = std::minmax_element(v.begin(), v.end());
        text += QStringLiteral("latency ms: min %1, median %2, p95 %3, max %4\n")
                    .arg(msText(*min), msText(sensor::percentile(v, 50)), msText(sensor::percentile(v, 95)),
                         msText(*max));
    } else {
        text += QStringLiteral("latency ms: no replies\n");
    }
    put(text, to);
}

void printSensorSummaries(const std::vector<SensorSummary>& sensors, std::FILE* to) {
    QString text;
    QStringList silent;
    const int width = static_cast<int>(QString::number(sensors.empty() ? 0 : sensors.back().address).size());
    for (const SensorSummary& s : sensors) {
        text += sensorLine(s, width);
        // Anything at all heard from the address counts as an answer, even a bad or late one.
        const Stats& c = s.stats;
        if (s.measurements > 0 && c.replies + c.crcErrors + c.exceptions + c.badReplies + c.late == 0)
            silent << QString::number(s.address);
    }
    if (!silent.isEmpty()) text += QStringLiteral("never answered: %1\n").arg(silent.join(QLatin1Char(',')));
    put(text, to);
}

} // namespace kv::cli
