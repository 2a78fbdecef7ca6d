#include "harness.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>

namespace collecttest {

bool waitFor(const std::function<bool()>& ready, int deadlineMs) {
    const QDeadlineTimer deadline(deadlineMs);
    // Wakes the loop to look again when the condition changes without an event of its own.
    QTimer tick;
    tick.start(20);
    while (!ready()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

QString locate(const QString& program) {
    QString found = QStandardPaths::findExecutable(program);
    if (found.isEmpty()) found = QStandardPaths::findExecutable(program, {QStringLiteral("/usr/sbin")});
    return found;
}

int freePort() {
    QTcpServer s;
    return s.listen(QHostAddress::LocalHost, 0) ? s.serverPort() : -1;
}

bool listening(int port) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, quint16(port));
    waitFor(
        [&] {
            return s.state() == QAbstractSocket::ConnectedState ||
                   s.state() == QAbstractSocket::UnconnectedState;
        },
        5000);
    return s.state() == QAbstractSocket::ConnectedState;
}

void Server::start(const QString& program, const QStringList& args) {
    process_.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&process_, &QProcess::readyReadStandardOutput,
                     [this] { out_ += process_.readAllStandardOutput(); });
    process_.start(locate(program), args);
    ASSERT_TRUE(process_.waitForStarted(kDeadlineMs))
        << program.toStdString() << ": " << process_.errorString().toStdString();
}

void Server::kill() {
    if (process_.state() == QProcess::NotRunning) return;
    ::kill(pid_t(process_.processId()), SIGKILL);
    process_.waitForFinished(kDeadlineMs);
}

void Server::pause() {
    ::kill(pid_t(process_.processId()), SIGSTOP);
}

void Server::signal(int sig) {
    if (running()) ::kill(pid_t(process_.processId()), sig);
}

int Server::stop(int sig) {
    signal(sig);
    if (running() && !waitFor([&] { return !running(); })) return -1;
    return process_.exitStatus() == QProcess::CrashExit ? 128 + sig : process_.exitCode();
}

void writeFile(const QString& path, const QByteArray& text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(text);
}

Subscriber::Subscriber(int port, const QStringList& args) : port_(port) {
    // A login goes with the probes too; a kept session's client id does not.
    for (int i = 0; i + 1 < args.size(); ++i)
        if (args[i] == QLatin1String("-u") || args[i] == QLatin1String("-P"))
            login_ << args[i] << args[i + 1];
    clock_.start();
    QObject::connect(&p_, &QProcess::readyReadStandardOutput, [this] {
        while (p_.canReadLine()) {
            QByteArray l = p_.readLine();
            l.chop(1);
            const int a = l.indexOf(' '), b = l.indexOf(' ', a + 1);
            if (a < 0 || b < 0) continue;
            got.push_back({clock_.elapsed(), l.left(a) == "1", QString::fromUtf8(l.mid(a + 1, b - a - 1)),
                           l.mid(b + 1)});
        }
    });
    p_.start(
        locate(QStringLiteral("mosquitto_sub")),
        QStringList{"-h", "127.0.0.1", "-p", QString::number(port), "-q", "1", "-t", "#", "-F", "%r %t %p"} +
            args);
}

Subscriber::~Subscriber() {
    p_.kill();
    p_.waitForFinished();
}

bool Subscriber::sync() {
    const QByteArray token = "probe" + QByteArray::number(++probes_);
    return waitFor([&] {
        QProcess::execute(locate(QStringLiteral("mosquitto_pub")),
                          QStringList{"-h", "127.0.0.1", "-p", QString::number(port_), "-q", "1", "-t",
                                      "kvtest-probe", "-m", QString::fromLatin1(token)} +
                              login_);
        return waitFor([&] { return !got.empty() && got.back().payload == token; }, 300);
    });
}

std::vector<Message> Subscriber::on(const QString& prefix) const {
    std::vector<Message> out;
    for (const Message& m : got)
        if (m.topic.startsWith(prefix)) out.push_back(m);
    return out;
}

} // namespace collecttest

int main(int argc, char** argv) {
    // A home of this process alone, as tests/support/home_main.cpp gives the other programs.
    QTemporaryDir home;
    if (!home.isValid()) return 2;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral(".config"))));
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // The servers come from scripts/deps, as on a fresh machine; a test never skips for want of them.
    const QStringList needed{QStringLiteral("mosquitto"), QStringLiteral("mosquitto_sub"),
                             QStringLiteral("mosquitto_pub"), QStringLiteral("mosquitto_passwd"),
                             QStringLiteral("influxd")};
    if (std::any_of(needed.begin(), needed.end(),
                    [](const QString& p) { return collecttest::locate(p).isEmpty(); }))
        QProcess::execute(QStringLiteral("/bin/bash"), {QStringLiteral(KV_SOURCE_DIR "/scripts/deps")});
    return RUN_ALL_TESTS();
}
