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
        .arg(s.lateTotal())
        .arg(QString::number(lossPercent(measurements, failed), 'f', 1));
}

// "longest silence 61.2 s from 2026-12-08T21:59:37.123Z (3 measurements unanswered)"; empty
// when every measurement was answered.
QString silenceText(const SensorSummary& s, const WallClock& clock) {
    const Silence& q = s.longestSilence;
    if (q.ns <= 0) return {};
    return QStringLiteral("longest silence %1 s from %2 (%3 measurement(s) unanswered%4)")
        .arg(QString::number(static_cast<double>(q.ns) / 1e9, 'f', 1), clock.textAt(q.fromNs))
        .arg(q.unanswered)
        .arg(q.untilTheEnd ? QStringLiteral(", until the end of the run") : QString());
}

QString sensorLine(const SensorSummary& s, int width, const WallClock& clock) {
    QString text = QStringLiteral("address %1: %2 measurements, %3 requests, %4 replies, %5 timeouts, ")
                       .arg(s.address, width)
                       .arg(s.measurements)
                       .arg(s.stats.requests)
                       .arg(s.stats.replies)
                       .arg(s.stats.timeouts);
    // Its requests the port went away under, which its requests count too.
    if (s.stats.lost > 0) text += QStringLiteral("%1 lost with the port, ").arg(s.stats.lost);
    text += QStringLiteral("loss %1 %, ").arg(QString::number(lossPercent(s.measurements, s.failed), 'f', 1));
    if (s.stats.latenciesMs.empty()) {
        text += QStringLiteral("latency ms: no replies");
    } else {
        const std::vector<double>& v = s.stats.latenciesMs;
        text += QStringLiteral("latency ms median %1, p95 %2, max %3")
                    .arg(msText(sensor::percentile(v, 50)), msText(sensor::percentile(v, 95)),
                         msText(*std::max_element(v.begin(), v.end())));
    }
    if (s.stats.lateTotal() > 0) text += QStringLiteral(", %1 late replies").arg(s.stats.lateTotal());
    if (s.stats.noise > 0) text += QStringLiteral(", %1 noise bursts").arg(s.stats.noise);
    if (s.stats.implausible > 0) text += QStringLiteral(", %1 implausible").arg(s.stats.implausible);
    if (const QString silence = silenceText(s, clock); !silence.isEmpty())
        text += QStringLiteral(", ") + silence;
    return text + QLatin1Char('\n');
}

void put(const QString& text, std::FILE* to) {
    std::fputs(text.toUtf8().constData(), to);
    std::fflush(to);
}

} // namespace

void printSummary(const Stats& s, int measurements, int failed, std::FILE* to) {
    QString text = countsLine(s, measurements, failed);
    if (s.implausible > 0)
        text += QStringLiteral(
                    "implausible: %1 measurement(s) beyond what the sensor can report (kv7702r --help)\n")
                    .arg(s.implausible);
    if (s.noise > 0 || s.syncs > 0)
        text +=
            QStringLiteral("line: %1 noise bursts, %2 syncs (reads that resynchronised before a request)\n")
                .arg(s.noise)
                .arg(s.syncs);
    if (s.outages > 0)
        text += QStringLiteral("port lost %1 time(s), %2 s without it\n")
                    .arg(s.outages)
                    .arg(QString::number(s.lostMs / 1000.0, 'f', 1));
    if (s.reconnectsEnded + s.reconnectsUnanswered > 0)
        text += QStringLiteral("connection made anew %1 time(s): %2 ended by the other end between "
                               "requests, %3 after requests in a row went unanswered\n")
                    .arg(s.reconnectsEnded + s.reconnectsUnanswered)
                    .arg(s.reconnectsEnded)
                    .arg(s.reconnectsUnanswered);
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

void printSensorSummaries(const std::vector<SensorSummary>& sensors, const WallClock& clock, std::FILE* to) {
    QString text;
    QStringList silent;
    const int width = static_cast<int>(QString::number(sensors.empty() ? 0 : sensors.back().address).size());
    for (const SensorSummary& s : sensors) {
        text += sensorLine(s, width, clock);
        // Anything at all heard from the address counts as an answer, even a bad or late one.
        const Stats& c = s.stats;
        if (s.measurements > 0 && c.replies + c.crcErrors + c.exceptions + c.badReplies + c.lateTotal() == 0)
            silent << QString::number(s.address);
    }
    if (!silent.isEmpty()) text += QStringLiteral("never answered: %1\n").arg(silent.join(QLatin1Char(',')));
    put(text, to);
}

void printSilence(const SensorSummary& sensor, const WallClock& clock, std::FILE* to) {
    const QString silence = silenceText(sensor, clock);
    if (!silence.isEmpty()) put(silence + QLatin1Char('\n'), to);
}

} // namespace kv::cli
