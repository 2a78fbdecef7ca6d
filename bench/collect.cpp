// Prints what `kv7702r collect` costs against `kv7702r read --influx` on the same fleet in the
// same run: DTUS DTUs (kv7702r-sim --dial, one process each) of 8 sensors, a round every 10 s, for
// each of the two, the collector committing every reading to its spool and forwarding it to
// Mosquitto and InfluxDB (both started here on loopback), read writing line protocol to
// /dev/null. Then the drain of a backlog of BACKLOG readings (one hour of 200 DTUs: 576,000),
// written straight into a spool, by a collector started with both servers up, no DTU dialling in
// and drain_per_second 100000: readings per second into each server and the time to catch up.
//   collect_bench [DTUS [MEASURE_SECONDS [BACKLOG]]]    default 200 30 576000

#include "collect/spool.h"
#include "procfigures.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <pwd.h>
#include <vector>

namespace {

using kvbench::cpuSeconds;
using kvbench::freePort;
using kvbench::rssMiB;

constexpr int kSensors = 8;
constexpr int kEveryMs = 10000;

QString program(const QString& name) {
    QString p = QStandardPaths::findExecutable(name);
    return p.isEmpty() ? QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin")}) : p;
}

bool writeFile(const QString& path, const QByteArray& text) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Polls `ready` every 200 ms; false after `seconds`.
template <typename F> bool within(int seconds, F ready) {
    QElapsedTimer t;
    t.start();
    while (!ready()) {
        if (t.elapsed() > qint64(seconds) * 1000) return false;
        QThread::msleep(200);
    }
    return true;
}

void end(QProcess& p, int sig) {
    if (p.state() == QProcess::NotRunning) return;
    ::kill(static_cast<pid_t>(p.processId()), sig);
    if (!p.waitForFinished(15000)) p.kill();
    p.waitForFinished(5000);
}

// Mosquitto and InfluxDB on loopback ports in `dir`.
struct Servers {
    int mqtt = freePort();
    int influx = freePort();
    QProcess mosquitto, influxd;

    bool start(const QString& dir) {
        const passwd* me = getpwuid(getuid());
        const QString mconf = QDir(dir).filePath(QStringLiteral("mosquitto.conf"));
        writeFile(mconf, "listener " + QByteArray::number(mqtt) +
                             " 127.0.0.1\nallow_anonymous true\npersistence false\nuser " +
                             QByteArray(me ? me->pw_name : "root") + "\n");
        mosquitto.setStandardOutputFile(QProcess::nullDevice());
        mosquitto.setStandardErrorFile(QDir(dir).filePath(QStringLiteral("mosquitto.err")));
        mosquitto.start(program(QStringLiteral("mosquitto")), {QStringLiteral("-c"), mconf});
        const QByteArray data = QFile::encodeName(QDir(dir).filePath(QStringLiteral("influx")));
        const QString iconf = QDir(dir).filePath(QStringLiteral("influxdb.conf"));
        writeFile(iconf,
                  "reporting-disabled = true\nbind-address = \"127.0.0.1:" + QByteArray::number(freePort()) +
                      "\"\n[meta]\n  dir = \"" + data + "/meta\"\n[data]\n  dir = \"" + data +
                      "/data\"\n  wal-dir = \"" + data +
                      "/wal\"\n  query-log-enabled = false\n[http]\n  bind-address = \"127.0.0.1:" +
                      QByteArray::number(influx) +
                      "\"\n  log-enabled = false\n  max-body-size = 0\n[monitor]\n  store-enabled = false\n");
        influxd.setStandardOutputFile(QProcess::nullDevice());
        influxd.setStandardErrorFile(QDir(dir).filePath(QStringLiteral("influxd.err")));
        influxd.start(program(QStringLiteral("influxd")),
                      {QStringLiteral("run"), QStringLiteral("-config"), iconf});
        const QString base = QStringLiteral("http://127.0.0.1:%1").arg(influx);
        return within(60,
                      [&] {
                          return QProcess::execute(program(QStringLiteral("curl")),
                                                   {QStringLiteral("-sf"), QStringLiteral("-o"),
                                                    QStringLiteral("/dev/null"),
                                                    base + QStringLiteral("/ping")}) == 0;
                      }) &&
               QProcess::execute(program(QStringLiteral("curl")),
                                 {QStringLiteral("-sf"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                                  QStringLiteral("-XPOST"), base + QStringLiteral("/query"),
                                  QStringLiteral("--data-urlencode"),
                                  QStringLiteral("q=CREATE DATABASE fleet")}) == 0;
    }
    ~Servers() {
        end(mosquitto, SIGTERM);
        end(influxd, SIGTERM);
    }
};

QByteArray configHead(const Servers& s, const QString& spool, int drainPerSecond) {
    return "[spool]\npath = \"" + QFile::encodeName(spool) +
           "\"\ndrain_per_second = " + QByteArray::number(drainPerSecond) +
           "\n[mqtt]\nhost = \"127.0.0.1\"\nport = " + QByteArray::number(s.mqtt) +
           "\ntopic = \"fleet\"\n[influx]\nurl = \"http://127.0.0.1:" + QByteArray::number(s.influx) +
           "\"\ndatabase = \"fleet\"\n";
}

QByteArray dtuBus(int listen, const QString& dtu, int sensors) {
    QByteArray t = "[[bus]]\nname = \"" + dtu.toUtf8() +
                   "\"\nport = \"listen://127.0.0.1:" + QByteArray::number(listen) + "\"\ndtu = \"" +
                   dtu.toUtf8() + "\"\nheartbeat = \"HB\"\nevery_ms = " + QByteArray::number(kEveryMs) + "\n";
    for (int a = 1; a <= sensors; ++a)
        t += "[[bus.sensor]]\naddress = " + QByteArray::number(a) + "\n";
    return t;
}

struct Status {
    qint64 lastSeq = 0;
    std::map<QString, qint64> owed;
};

Status status(const QString& config) {
    QProcess p;
    p.start(QStringLiteral(KV_CLI_BINARY),
            {QStringLiteral("collect"), QStringLiteral("--config"), config, QStringLiteral("--status")});
    p.waitForFinished(30000);
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    Status s;
    static const QRegularExpression last(QStringLiteral("last reading number (\\d+)"));
    static const QRegularExpression owed(QStringLiteral("forwarder (\\w+): (\\d+) reading"));
    s.lastSeq = last.match(out).captured(1).toLongLong();
    for (auto it = owed.globalMatch(out); it.hasNext();) {
        const auto m = it.next();
        s.owed[m.captured(1)] = m.captured(2).toLongLong();
    }
    return s;
}

// What /proc says the process wrote so far: write system calls and bytes to storage.
std::pair<qint64, qint64> ioOf(qint64 pid) {
    qint64 calls = 0, bytes = 0;
    for (const QByteArray& line : readFile(QStringLiteral("/proc/%1/io").arg(pid)).split('\n')) {
        if (line.startsWith("syscw:")) calls = line.mid(6).trimmed().toLongLong();
        if (line.startsWith("write_bytes:")) bytes = line.mid(12).trimmed().toLongLong();
    }
    return {calls, bytes};
}

// strace's count of these calls by the process and its threads over `seconds`.
std::map<QString, qint64> syscalls(qint64 pid, int seconds, const QString& out) {
    QProcess strace;
    strace.setStandardOutputFile(QProcess::nullDevice());
    strace.setStandardErrorFile(QProcess::nullDevice());
    strace.start(program(QStringLiteral("strace")),
                 {QStringLiteral("-c"), QStringLiteral("-f"), QStringLiteral("-e"),
                  QStringLiteral("trace=fsync,fdatasync,pwrite64,write"), QStringLiteral("-o"), out,
                  QStringLiteral("-p"), QString::number(pid)});
    std::map<QString, qint64> calls;
    if (!strace.waitForStarted(5000)) return calls;
    QThread::msleep(static_cast<unsigned long>(seconds) * 1000);
    end(strace, SIGINT);
    // "% time seconds usecs/call calls [errors] syscall"
    static const QRegularExpression row(
        QStringLiteral("^\\s*[\\d.]+\\s+[\\d.]+\\s+\\d+\\s+(\\d+)\\s+(?:\\d+\\s+)?(\\w+)$"));
    for (const QByteArray& line : readFile(out).split('\n'))
        if (const auto m = row.match(QString::fromUtf8(line)); m.hasMatch())
            calls[m.captured(2)] = m.captured(1).toLongLong();
    return calls;
}

std::vector<std::unique_ptr<QProcess>> dialIn(int listen, int dtus, int seedFrom) {
    std::vector<std::unique_ptr<QProcess>> sims;
    for (int i = 0; i < dtus; ++i) {
        auto sim = std::make_unique<QProcess>();
        sim->setStandardOutputFile(QProcess::nullDevice());
        sim->setStandardErrorFile(QProcess::nullDevice());
        sim->start(QStringLiteral(KV_SIM_BINARY),
                   kvbench::dtuArgs(listen, QStringLiteral("DTU-%1").arg(i, 4, 10, QLatin1Char('0')),
                                    seedFrom + i, kSensors));
        sims.push_back(std::move(sim));
    }
    return sims;
}

bool live(int dtus, int seconds, const QString& dir, Servers& servers) {
    const int toCollect = freePort();
    const int toRead = freePort();
    const QString config = QDir(dir).filePath(QStringLiteral("live.toml"));
    QByteArray text = configHead(servers, QDir(dir).filePath(QStringLiteral("live.db")), 20);
    for (int i = 0; i < dtus; ++i)
        text += dtuBus(toCollect, QStringLiteral("DTU-%1").arg(i, 4, 10, QLatin1Char('0')), kSensors);
    writeFile(config, text);
    const QString collectErr = QDir(dir).filePath(QStringLiteral("collect.err"));
    const QString readErr = QDir(dir).filePath(QStringLiteral("read.err"));
    QProcess collector, reader;
    collector.setStandardOutputFile(QProcess::nullDevice());
    collector.setStandardErrorFile(collectErr);
    collector.start(QStringLiteral(KV_CLI_BINARY),
                    {QStringLiteral("collect"), QStringLiteral("--config"), config});
    reader.setStandardOutputFile(QProcess::nullDevice());
    reader.setStandardErrorFile(readErr);
    reader.start(QStringLiteral(KV_CLI_BINARY),
                 {QStringLiteral("read"), QStringLiteral("--port"),
                  QStringLiteral("listen://127.0.0.1:%1").arg(toRead), QStringLiteral("--address"),
                  QStringLiteral("1-%1").arg(kSensors), QStringLiteral("--every"), QString::number(kEveryMs),
                  QStringLiteral("--heartbeat"), QStringLiteral("HB"), QStringLiteral("--influx")});
    if (!collector.waitForStarted(5000) || !reader.waitForStarted(5000)) return false;
    if (!within(30, [&] { return readFile(collectErr).contains("for DTUs"); })) {
        std::printf("the collector did not start:\n%s\n", readFile(collectErr).constData());
        return false;
    }
    auto forCollector = dialIn(toCollect, dtus, 1);
    auto forReader = dialIn(toRead, dtus, 1);
    const bool joined = within(180, [&] {
        return readFile(collectErr).count("its DTU dialled in from") >= dtus &&
               readFile(readErr).count(" dialled in\n") >= dtus;
    });
    if (!joined) {
        std::printf("not every DTU dialled in within 3 minutes\n");
    } else {
        // One whole round behind them all: from there on the load is steady.
        QThread::msleep(kEveryMs);
        const qint64 cpid = collector.processId(), rpid = reader.processId();
        const double c0 = cpuSeconds(cpid), r0 = cpuSeconds(rpid);
        const qint64 seq0 = status(config).lastSeq;
        const auto io0 = ioOf(cpid);
        QElapsedTimer clock;
        clock.start();
        QThread::msleep(static_cast<unsigned long>(seconds) * 1000);
        const double wall = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        const double c = cpuSeconds(cpid) - c0, r = cpuSeconds(rpid) - r0;
        const qint64 readings = status(config).lastSeq - seq0;
        const auto io1 = ioOf(cpid);
        const double perSecond = static_cast<double>(readings) / wall;
        const Status after = status(config);
        // Then strace, whose stops would have weighed on the CPU figures above.
        const int traced = std::min(seconds, 20);
        const qint64 seqT = status(config).lastSeq;
        const auto calls = syscalls(cpid, traced, QDir(dir).filePath(QStringLiteral("strace.txt")));
        const double tracedReadings = std::max<qint64>(1, status(config).lastSeq - seqT);

        std::printf("\nlive: %d DTUs x %d sensors every %d s for each program, measured over %.0f s\n", dtus,
                    kSensors, kEveryMs / 1000, wall);
        std::printf("%-28s %12s %12s %9s %16s\n", "", "readings/s", "CPU % core", "RSS MiB",
                    "CPU us/reading");
        std::printf("%-28s %12.1f %12.2f %9.1f %16.1f\n", "kv7702r collect", perSecond, 100 * c / wall,
                    rssMiB(cpid), readings > 0 ? 1e6 * c / static_cast<double>(readings) : 0.0);
        // read's rows go to /dev/null uncounted: the same fleet and schedule, so the collector's rate.
        std::printf("%-28s %12.1f %12.2f %9.1f %16.1f\n", "kv7702r read --influx", perSecond, 100 * r / wall,
                    rssMiB(rpid), readings > 0 ? 1e6 * r / static_cast<double>(readings) : 0.0);
        std::printf("durability's cost, collector CPU / read CPU: %.2f\n", r > 0 ? c / r : 0.0);
        std::printf(
            "spool per reading (strace over %d s, %lld readings): pwrite64 %.2f, fsync %.2f, fdatasync "
            "%.2f, write %.2f\n",
            traced, static_cast<long long>(tracedReadings),
            calls.count("pwrite64") ? calls.at("pwrite64") / tracedReadings : 0.0,
            calls.count("fsync") ? calls.at("fsync") / tracedReadings : 0.0,
            calls.count("fdatasync") ? calls.at("fdatasync") / tracedReadings : 0.0,
            calls.count("write") ? calls.at("write") / tracedReadings : 0.0);
        std::printf(
            "/proc io per reading: %.2f write calls (sockets too), %.0f bytes to storage\n",
            readings > 0 ? static_cast<double>(io1.first - io0.first) / static_cast<double>(readings) : 0.0,
            readings > 0 ? static_cast<double>(io1.second - io0.second) / static_cast<double>(readings)
                         : 0.0);
        std::printf("owed at the end of the measurement: mqtt %lld, influx %lld\n",
                    static_cast<long long>(after.owed.count("mqtt") ? after.owed.at("mqtt") : -1),
                    static_cast<long long>(after.owed.count("influx") ? after.owed.at("influx") : -1));
        std::fflush(stdout);
    }
    end(collector, SIGTERM);
    end(reader, SIGINT);
    for (auto* sims : {&forCollector, &forReader})
        for (auto& sim : *sims)
            end(*sim, SIGTERM);
    return joined;
}

// The backlog written straight into a spool: `count` readings of 1600 sensors every 10 s, the
// newest now; the seconds it took.
double fill(const QString& path, qint64 count, int dtus) {
    QString why;
    auto spool = kv::collect::Spool::open(path, {count * 2, 0},
                                          {QStringLiteral("mqtt"), QStringLiteral("influx")}, &why);
    if (!spool) {
        std::printf("cannot open %s: %s\n", qPrintable(path), qPrintable(why));
        return -1;
    }
    QElapsedTimer t;
    t.start();
    const int sensors = std::max(1, dtus) * kSensors;
    const qint64 rounds = (count + sensors - 1) / sensors;
    const qint64 first = QDateTime::currentMSecsSinceEpoch() - rounds * kEveryMs;
    std::vector<kv::collect::Record> batch;
    for (qint64 i = 0; i < count; ++i) {
        const int dtu = static_cast<int>((i % sensors) / kSensors),
                  address = static_cast<int>(i % kSensors) + 1;
        const qint64 ms = first + (i / sensors) * kEveryMs + (i % sensors);
        const QString port = QStringLiteral("127.0.0.1:4001/DTU-%1").arg(dtu, 4, 10, QLatin1Char('0'));
        const QString time = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
        kv::collect::Record r;
        r.unixMs = ms;
        r.sensor = QStringLiteral("DTU-%1/%2").arg(dtu, 4, 10, QLatin1Char('0')).arg(address);
        r.ok = true;
        r.json =
            QStringLiteral(
                "{\"time\":\"%1\",\"port\":\"%2\",\"address\":%3,\"moisture_percent\":31.25,"
                "\"temperature_celsius\":18.40,\"latency_ms\":21.3,\"status\":\"ok\",\"bus\":\"DTU-%4\"}")
                .arg(time, port)
                .arg(address)
                .arg(dtu, 4, 10, QLatin1Char('0'))
                .toUtf8();
        r.influx = QStringLiteral("soil,address=%1,port=%2 moisture=31.25,temperature=18.40,latency_ms=21.3,"
                                  "status=\"ok\" %3")
                       .arg(address)
                       .arg(port)
                       .arg(ms * 1000000)
                       .toUtf8();
        batch.push_back(std::move(r));
        if (batch.size() == 1000 || i + 1 == count) {
            if (!spool->append(batch, &why)) {
                std::printf("the spool refused: %s\n", qPrintable(why));
                return -1;
            }
            batch.clear();
        }
    }
    return static_cast<double>(t.nsecsElapsed()) / 1e9;
}

void drain(qint64 backlog, int dtus, const QString& dir, Servers& servers) {
    const QString spool = QDir(dir).filePath(QStringLiteral("backlog.db"));
    const double filled = fill(spool, backlog, dtus);
    if (filled < 0) return;
    const QString config = QDir(dir).filePath(QStringLiteral("drain.toml"));
    // A bus is required; no DTU dials in to this one.
    writeFile(config, configHead(servers, spool, 100000) + dtuBus(freePort(), QStringLiteral("nobody"), 1));
    const QString err = QDir(dir).filePath(QStringLiteral("drain.err"));
    QProcess collector;
    collector.setStandardOutputFile(QProcess::nullDevice());
    collector.setStandardErrorFile(err);
    QElapsedTimer clock;
    clock.start();
    collector.start(QStringLiteral(KV_CLI_BINARY),
                    {QStringLiteral("collect"), QStringLiteral("--config"), config});
    if (!collector.waitForStarted(5000)) return;
    const qint64 pid = collector.processId();
    std::map<QString, double> doneAt;
    double peakRss = 0;
    // Polled every 200 ms: the catch-up times are that precise.
    within(3600, [&] {
        peakRss = std::max(peakRss, rssMiB(pid));
        const Status s = status(config);
        for (const auto& [name, owed] : s.owed)
            if (owed == 0 && !doneAt.count(name))
                doneAt[name] = static_cast<double>(clock.elapsed()) / 1000.0;
        return doneAt.size() == 2 || collector.state() == QProcess::NotRunning;
    });
    const double cpu = cpuSeconds(pid);
    const double wall = static_cast<double>(clock.elapsed()) / 1000.0;
    end(collector, SIGTERM);
    std::printf("\ndrain: %lld readings written straight into a spool in %.1f s (%.0f/s); a collector with "
                "drain_per_second 100000:\n",
                static_cast<long long>(backlog), filled, static_cast<double>(backlog) / filled);
    std::printf("%-10s %16s %14s\n", "server", "caught up in s", "readings/s");
    for (const char* name : {"mqtt", "influx"}) {
        if (!doneAt.count(QString::fromLatin1(name))) {
            std::printf("%-10s %16s\n", name, "never");
            continue;
        }
        const double s = doneAt.at(QString::fromLatin1(name));
        std::printf("%-10s %16.1f %14.0f\n", name, s, static_cast<double>(backlog) / s);
    }
    std::printf("collector: %.0f %% of a core over the drain, RSS peak %.1f MiB\n", 100 * cpu / wall,
                peakRss);
    if (doneAt.size() < 2) std::printf("%s\n", readFile(err).right(2000).constData());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int dtus = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const int seconds = argc > 2 ? std::max(5, std::atoi(argv[2])) : 30;
    const qint64 backlog = argc > 3 ? std::max(1LL, std::atoll(argv[3])) : 576000;
    QTemporaryDir dir;
    Servers servers;
    if (!dir.isValid() || !servers.start(dir.path())) {
        std::printf("Mosquitto or InfluxDB did not start (scripts/deps installs them)\n");
        return 1;
    }
    live(dtus, seconds, dir.path(), servers);
    drain(backlog, dtus, dir.path(), servers);
    return 0;
}
