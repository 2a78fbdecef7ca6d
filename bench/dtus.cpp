// Prints what one `kv7702r read --port listen://…` costs serving 10, 50 and 200 DTUs (or the
// sizes given), 8 sensors behind each, a round every 10 s: the share of one core it takes,
// its resident memory and the rows it writes per second, and the CPU time per row against the
// smallest size in the same run, so that the cost's growth shows.
// The DTUs are virtual sensors dialling in (`kv7702r-sim --dial`), one process each, with
// registrations and a heartbeat every 5 s; they answer at 9600 baud as a bus would.
//   dtus_bench [MEASURE_SECONDS [SIZE...]]    default 30 s, sizes 10 50 200
// KV7702R_PROGRAM names another kv7702r build to measure the same way.

#include "procfigures.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

using kvbench::cpuSeconds;
using kvbench::freePort;
using kvbench::rssMiB;

constexpr int kSensors = 8;
constexpr int kEveryMs = 10000;

int linesOf(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? static_cast<int>(f.readAll().count('\n')) : 0;
}

struct Figures {
    int dtus = 0;
    double rowsPerSecond = 0;
    double coreShare = 0;
    double rss = 0;
    double cpuPerRowUs = 0;
    bool ok = false;
};

Figures measure(int dtus, int seconds, const QString& dir) {
    Figures out;
    out.dtus = dtus;
    const int port = freePort();
    const QString csv = QDir(dir).filePath(QStringLiteral("rows-%1.csv").arg(dtus));
    const QString err = QDir(dir).filePath(QStringLiteral("tool-%1.err").arg(dtus));
    QProcess tool;
    tool.setStandardErrorFile(err);
    tool.setStandardOutputFile(QProcess::nullDevice());
    tool.start(qEnvironmentVariable("KV7702R_PROGRAM", QStringLiteral(KV_CLI_BINARY)),
               {QStringLiteral("read"), QStringLiteral("--port"),
                QStringLiteral("listen://127.0.0.1:%1").arg(port), QStringLiteral("--address"),
                QStringLiteral("1-%1").arg(kSensors), QStringLiteral("--every"), QString::number(kEveryMs),
                QStringLiteral("--heartbeat"), QStringLiteral("HB"), QStringLiteral("--csv"), csv});
    if (!tool.waitForStarted(5000)) return out;
    std::vector<std::unique_ptr<QProcess>> sims;
    for (int i = 0; i < dtus; ++i) {
        const QStringList args =
            kvbench::dtuArgs(port, QStringLiteral("DTU-%1").arg(i, 4, 10, QLatin1Char('0')), i + 1, kSensors);
        auto sim = std::make_unique<QProcess>();
        sim->setStandardOutputFile(QProcess::nullDevice());
        sim->setStandardErrorFile(QProcess::nullDevice());
        sim->start(QStringLiteral(KV_SIM_BINARY), args);
        sims.push_back(std::move(sim));
    }
    // Every DTU registered and one whole round behind them: from there on the load is steady.
    QElapsedTimer waited;
    waited.start();
    auto dialled = [&] {
        QFile f(err);
        return f.open(QIODevice::ReadOnly) ? static_cast<int>(f.readAll().count(" dialled in\n")) : 0;
    };
    while (dialled() < dtus && waited.elapsed() < 120000)
        QThread::msleep(200);
    if (dialled() >= dtus) {
        QThread::msleep(kEveryMs);
        const qint64 pid = tool.processId();
        const double cpu0 = cpuSeconds(pid);
        const int rows0 = linesOf(csv);
        QElapsedTimer clock;
        clock.start();
        QThread::msleep(static_cast<unsigned long>(seconds) * 1000);
        const double wall = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        const double cpu = cpuSeconds(pid) - cpu0;
        const int rows = linesOf(csv) - rows0;
        out.rowsPerSecond = rows / wall;
        out.coreShare = 100.0 * cpu / wall;
        out.rss = rssMiB(pid);
        out.cpuPerRowUs = rows > 0 ? 1e6 * cpu / rows : 0;
        out.ok = rows > 0;
    }
    ::kill(static_cast<pid_t>(tool.processId()), SIGINT);
    if (!tool.waitForFinished(10000)) tool.kill();
    for (auto& sim : sims) {
        sim->terminate();
        if (!sim->waitForFinished(5000)) sim->kill();
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 30;
    std::vector<int> sizes;
    for (int i = 2; i < argc; ++i)
        sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {10, 50, 200};
    QTemporaryDir dir;
    std::printf("kv7702r read --port listen://, %d sensors per DTU, a round every %d s, measured over %d s\n",
                kSensors, kEveryMs / 1000, seconds);
    std::printf("%6s  %10s  %12s  %8s  %14s  %s\n", "DTUs", "rows/s", "CPU % core", "RSS MiB",
                "CPU us per row", "per row vs smallest");
    double base = 0;
    for (int dtus : sizes) {
        const Figures f = measure(dtus, seconds, dir.path());
        if (!f.ok) {
            std::printf("%6d  not all DTUs dialled in, or no rows\n", dtus);
            continue;
        }
        if (base == 0) base = f.cpuPerRowUs;
        std::printf("%6d  %10.1f  %12.2f  %8.1f  %14.1f  %.2f\n", f.dtus, f.rowsPerSecond, f.coreShare, f.rss,
                    f.cpuPerRowUs, base > 0 ? f.cpuPerRowUs / base : 0.0);
        std::fflush(stdout);
    }
    return 0;
}
