#pragma once
// What the process benchmarks read of a running program (its CPU time, its resident memory) and
// the free loopback port they serve DTUs on.

#include <QFile>
#include <QString>
#include <QStringList>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kvbench {

inline int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

// CPU seconds a process has run so far, to the nanosecond (the scheduler's count; /proc's
// stat counts in ticks of 10 ms, too coarse for an idle poller).
inline double cpuSeconds(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/schedstat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    return f.readAll().split(' ').first().toDouble() / 1e9;
}

inline double rssMiB(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

// kv7702r-sim dialling in as a DTU registering as `name`, sensors 1..sensors behind it, a heartbeat
// "HB" every 5 s, dialling again 200 ms after a loss.
inline QStringList dtuArgs(int port, const QString& name, int seed, int sensors) {
    QStringList args{QStringLiteral("--dial"),
                     QStringLiteral("127.0.0.1:%1").arg(port),
                     QStringLiteral("--registration"),
                     name,
                     QStringLiteral("--heartbeat"),
                     QStringLiteral("HB"),
                     QStringLiteral("--heartbeat-every"),
                     QStringLiteral("5"),
                     QStringLiteral("--redial-after"),
                     QStringLiteral("200"),
                     QStringLiteral("--seed"),
                     QString::number(seed)};
    for (int a = 1; a <= sensors; ++a)
        args << QStringLiteral("--address") << QString::number(a);
    return args;
}

} // namespace kvbench
