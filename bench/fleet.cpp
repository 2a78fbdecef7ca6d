// Prints how long one round of `kv7702r read --address 1-8` takes on a bus of eight
// virtual sensors at 19200 baud, against the line's own time for those eight exchanges
// (request and reply bytes at the rate, with and without the 3.5 characters of silence
// before each request) and against a bare poller in the same run: a loop that writes each
// request and reads its 9-byte reply, with no retries, silence or checks.
// The sensors answer at once (--turnaround 0), so what remains is the line and the tool.
// Then a round of five sensors of which one never answers (--timeout 300 --retries 0), the
// other four in 5 ms, against the line's own time: four exchanges, and the silent sensor's
// timeout and grace. `fleet_bench PROGRAM` measures another kv7702r build the same way.

#include "modbus/codec.h"
#include "sensor/protocol.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kSensors = 8;
constexpr int kRounds = 50;
constexpr int kSilentRounds = 20;
constexpr int kBaud = 19200;
constexpr double kBitsPerByte = 10;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Rounds of the bare poller, in ms each; empty when the line failed.
std::vector<double> barePoller(const QString& link) {
    const int fd = ::open(link.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return {};
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B19200);
    cfsetospeed(&t, B19200);
    tcsetattr(fd, TCSANOW, &t);
    std::vector<QByteArray> requests;
    for (int a = 1; a <= kSensors; ++a)
        requests.push_back(kv::toBytes(kv::sensor::measurementRequest(static_cast<std::uint8_t>(a))));
    std::vector<double> rounds;
    for (int r = 0; r < kRounds; ++r) {
        QElapsedTimer clock;
        clock.start();
        for (const QByteArray& request : requests) {
            if (::write(fd, request.constData(), static_cast<size_t>(request.size())) != request.size()) {
                ::close(fd);
                return {};
            }
            int got = 0;
            char buf[64];
            while (got < 9) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 1000) <= 0) {
                    ::close(fd);
                    return {};
                }
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n <= 0) {
                    ::close(fd);
                    return {};
                }
                got += static_cast<int>(n);
            }
        }
        rounds.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
    }
    ::close(fd);
    return rounds;
}

// Rounds of kv7702r read over sensors 1..sensors, in ms each, from the times of each round's
// first row; `silent` sensors among them make its exit code 3.
std::vector<double> cliRounds(const QString& program, const QString& link, int sensors, int count,
                              const QStringList& extra = {}, bool silent = false) {
    QProcess p;
    p.start(program,
            QStringList{QStringLiteral("read"), QStringLiteral("--port"), link, QStringLiteral("--rate"),
                        QString::number(kBaud), QStringLiteral("--address"),
                        QStringLiteral("1-%1").arg(sensors), QStringLiteral("--count"),
                        QString::number(count + 1), QStringLiteral("--csv"), QStringLiteral("-")} +
                extra);
    const bool ran = p.waitForFinished(600000);
    const QList<QByteArray> rows = p.readAllStandardOutput().split('\n');
    if (!ran || p.exitCode() != (silent ? 3 : 0)) {
        std::fprintf(stderr, "kv7702r read failed (exit %d): %s\n", p.exitCode(),
                     p.readAllStandardError().constData());
        for (const QByteArray& row : rows)
            if (!row.endsWith(",ok") && !row.isEmpty()) std::fprintf(stderr, "  %s\n", row.constData());
        return {};
    }
    std::vector<qint64> starts;
    for (int i = 1; i + 1 < rows.size(); i += sensors)
        starts.push_back(
            QDateTime::fromString(QString::fromLatin1(rows[i].split(',').value(0)), Qt::ISODateWithMs)
                .toMSecsSinceEpoch());
    std::vector<double> rounds;
    for (std::size_t i = 1; i < starts.size(); ++i)
        rounds.push_back(static_cast<double>(starts[i] - starts[i - 1]));
    return rounds;
}

// Virtual sensors 1..n on a line of their own, answering after turnaroundMs.
bool startSensors(QProcess& sim, const QString& link, int n, int turnaroundMs) {
    QStringList simArgs{QStringLiteral("--link"), link, QStringLiteral("--turnaround"),
                        QString::number(turnaroundMs)};
    for (int a = 1; a <= n; ++a)
        simArgs << QStringLiteral("--address") << QString::number(a);
    sim.start(QStringLiteral(KV_SIM_BINARY), simArgs);
    if (sim.waitForReadyRead(10000)) return true;
    std::fprintf(stderr, "the virtual sensors did not start\n");
    return false;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString program = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(KV_CLI_BINARY);
    QTemporaryDir dir;
    const QString link = QDir(dir.path()).filePath(QStringLiteral("ttyBus"));
    QProcess sim;
    if (!startSensors(sim, link, kSensors, 0)) return 1;

    const int requestBytes = 8;
    const int replyBytes = 9;
    const double charMs = kBitsPerByte * 1000.0 / kBaud;
    const double wire = kSensors * (requestBytes + replyBytes) * charMs;
    const double wireWithSilence = wire + kSensors * 3.5 * charMs;
    const std::vector<double> bare = barePoller(link);
    const std::vector<double> cli = cliRounds(program, link, kSensors, kRounds);
    sim.terminate();
    sim.waitForFinished(5000);
    if (bare.empty() || cli.empty()) return 1;

    const double b = median(bare);
    const double c = median(cli);
    std::printf("%d sensors at %d baud, %d request + %d reply bytes each, %d rounds\n", kSensors, kBaud,
                requestBytes, replyBytes, kRounds);
    std::printf("%-50s %7.1f ms\n", "the line's own time for the 8 exchanges", wire);
    std::printf("%-50s %7.1f ms\n", "  with 3.5 characters of silence before each", wireWithSilence);
    std::printf("%-50s %7.1f ms  (%.2f x the line's time)\n", "bare poller, one round (median)", b, b / wire);
    std::printf("%-50s %7.1f ms  (%.2f x the line's time, %.2f x the bare poller)  min %.0f  max %.0f\n",
                "kv7702r read --address 1-8, one round (median)", c, c / wire, c / b,
                *std::min_element(cli.begin(), cli.end()), *std::max_element(cli.begin(), cli.end()));

    // Five sensors, the fifth never answering.
    constexpr int kAnswering = 4;
    constexpr int kTurnaroundMs = 5;
    constexpr int kTimeoutMs = 300;
    const QString silentLink = QDir(dir.path()).filePath(QStringLiteral("ttySilent"));
    QProcess four;
    if (!startSensors(four, silentLink, kAnswering, kTurnaroundMs)) return 1;
    const std::vector<double> silent = cliRounds(program, silentLink, kAnswering + 1, kSilentRounds,
                                                 {QStringLiteral("--timeout"), QString::number(kTimeoutMs),
                                                  QStringLiteral("--retries"), QStringLiteral("0")},
                                                 true);
    four.terminate();
    four.waitForFinished(5000);
    if (silent.empty()) return 1;
    const double exchanges = kAnswering * ((requestBytes + replyBytes) * charMs + kTurnaroundMs);
    const double own = exchanges + (kAnswering + 1) * 3.5 * charMs + kTimeoutMs + kTimeoutMs / 2.0;
    const double s = median(silent);
    std::printf("\n%d sensors answering in %d ms and one silent, --timeout %d --retries 0, %d rounds\n",
                kAnswering, kTurnaroundMs, kTimeoutMs, kSilentRounds);
    std::printf("%-50s %7.1f ms  (4 exchanges %.1f, silence %.1f, timeout %d, grace %d)\n",
                "the line's own time for the round", own, exchanges, (kAnswering + 1) * 3.5 * charMs,
                kTimeoutMs, kTimeoutMs / 2);
    std::printf("%-50s %7.1f ms  (%.2f x the line's time)  min %.0f  max %.0f\n",
                "kv7702r read --address 1-5, one round (median)", s, s / own,
                *std::min_element(silent.begin(), silent.end()),
                *std::max_element(silent.begin(), silent.end()));
    return 0;
}
