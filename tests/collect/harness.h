#pragma once
// The servers the forwarders are tested against (Debian's Mosquitto and InfluxDB), each started
// on a free loopback port in a folder of its own and killed at the end, and waiting on a
// condition with a deadline on the one event loop.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <vector>

namespace collecttest {

// Generous: these run on small machines under sanitizers.
inline constexpr int kDeadlineMs = 30000;

// Runs the event loop until `ready` holds; false at the deadline.
bool waitFor(const std::function<bool()>& ready, int deadlineMs = kDeadlineMs);

// The program's full path (PATH, then /usr/sbin); scripts/deps installs what is missing first.
QString locate(const QString& program);
// A loopback port nobody listens on now.
int freePort();
// True once something accepts connections on the loopback port.
bool listening(int port);

// A program run in the background, killed when it goes.
class Server {
public:
    ~Server() { kill(); }
    void start(const QString& program, const QStringList& args);
    void kill();
    void pause(); // SIGSTOP: connections stay open, nothing is answered
    // Sends `sig` and waits for the end; the exit code, 128 + the signal's number when it was
    // one, or -1 at the deadline.
    int stop(int sig);
    void signal(int sig);
    [[nodiscard]] bool running() const { return process_.state() != QProcess::NotRunning; }
    [[nodiscard]] QString output() const { return QString::fromLocal8Bit(out_); }

private:
    QProcess process_;
    QByteArray out_;
};

void writeFile(const QString& path, const QByteArray& text);

struct Message {
    qint64 atMs = 0; // since the subscriber started
    bool retained = false;
    QString topic;
    QByteArray payload;
};

// mosquitto_sub on every topic, one message a line; `args` adds a login or a kept session.
class Subscriber {
public:
    explicit Subscriber(int port, const QStringList& args = {});
    ~Subscriber();
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;
    // Publishes probes until one comes back: everything the broker took before has arrived.
    bool sync();
    // The messages on topics that start with `prefix`, without the probes.
    [[nodiscard]] std::vector<Message> on(const QString& prefix) const;
    [[nodiscard]] qint64 now() const { return clock_.elapsed(); }
    std::vector<Message> got;

private:
    QProcess p_;
    QElapsedTimer clock_;
    int port_;
    QStringList login_;
    int probes_ = 0;
};

} // namespace collecttest
