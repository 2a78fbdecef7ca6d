// Prints how long kv7702r takes to find a sensor whose rate and address are unknown:
// through the address read to device 250 (the usual case), and by a full sweep of
// addresses 1-247 at 19200 baud when the sensor does not answer the address read; also
// against sensors that answer after 60 and 250 ms, as real ones do.
// The baseline is the program's start-up alone (--version), measured in the same run.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Timed {
    double ms = 0;
    int code = -1;
    QByteArray out;
};

Timed runCli(const QStringList& args) {
    QProcess p;
    QElapsedTimer t;
    t.start();
    p.start(QStringLiteral(KV_CLI_BINARY), args);
    p.waitForFinished(600000);
    Timed r;
    r.ms = static_cast<double>(t.nsecsElapsed()) / 1e6;
    r.code = p.exitCode();
    r.out = p.readAllStandardOutput();
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Times `rounds` runs of kv7702r against a sim started with simArgs; false on a failed run.
bool bench(const char* what, const QStringList& simArgs, const QStringList& cliArgs, int rounds,
           double baseline) {
    QTemporaryDir dir;
    const QString link = QDir(dir.path()).filePath(QStringLiteral("ttyKV"));
    QProcess sim;
    sim.start(QStringLiteral(KV_SIM_BINARY), QStringList{QStringLiteral("--link"), link} + simArgs);
    if (!sim.waitForReadyRead(10000)) {
        std::fprintf(stderr, "%s: the sim did not start\n", what);
        return false;
    }
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        const Timed r = runCli(QStringList{QStringLiteral("scan"), QStringLiteral("--port"), link} + cliArgs);
        if (r.code != 0 || !r.out.contains("found: ")) {
            std::fprintf(stderr, "%s: scan failed (exit %d): %s\n", what, r.code, r.out.constData());
            return false;
        }
        ms.push_back(r.ms);
    }
    sim.terminate();
    sim.waitForFinished(5000);
    const double m = median(ms);
    std::printf("%-52s median %8.1f ms  (%.1f x start-up)  min %.1f  max %.1f\n", what, m, m / baseline,
                *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()));
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::vector<double> startup;
    for (int i = 0; i < 5; ++i)
        startup.push_back(runCli({QStringLiteral("--version")}).ms);
    const double baseline = median(startup);
    std::printf("%-52s median %8.1f ms\n", "start-up alone (kv7702r --version)", baseline);

    const QStringList full; // every rate of the list, no early stop
    bool ok = true;
    ok &= bench("scan, sensor at 4800 baud, address 37", {"--baud", "4800", "--address", "37"}, full, 5,
                baseline);
    ok &= bench("scan, sensor at 9600 baud, address 121", {"--baud", "9600", "--address", "121"}, full, 5,
                baseline);
    ok &= bench("scan, sensor at 19200 baud, address 247", {"--baud", "19200", "--address", "247"}, full, 5,
                baseline);
    ok &= bench("scan --first, sensor at 19200 baud, address 247", {"--baud", "19200", "--address", "247"},
                {QStringLiteral("--first")}, 5, baseline);
    ok &= bench("scan, 60 ms turnaround, 9600 baud, address 37",
                {"--baud", "9600", "--address", "37", "--turnaround", "60"}, full, 5, baseline);
    ok &= bench("scan, 250 ms turnaround, 9600 baud, address 37",
                {"--baud", "9600", "--address", "37", "--turnaround", "250"}, full, 3, baseline);
    ok &= bench("sweep 1-247 at 19200, 60 ms turnaround, no address read",
                {"--baud", "19200", "--address", "200", "--turnaround", "60", "--no-address-read"},
                {QStringLiteral("--rates"), "19200"}, 1, baseline);
    ok &= bench("sweep 1-247 at 19200 (address read unanswered)",
                {"--baud", "19200", "--address", "247", "--no-address-read"},
                {QStringLiteral("--rates"), "19200"}, 1, baseline);
    return ok ? 0 : 1;
}
