#pragma once
// The virtual sensor as a child process, linked as COMn in a folder.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QtTest/QTest>

namespace kv::test {

class SimProcess {
public:
    SimProcess() {
        QObject::connect(&process_, &QProcess::readyRead, [this] { output_ += process_.readAll(); });
    }
    ~SimProcess() { stop(); }

    // Starts kv7702r-sim and waits for its "ready" line.
    bool start(const QString& link, const QStringList& extra = {}) {
        stop();
        output_.clear();
        process_.setProgram(QStringLiteral(KV_SIM_BINARY));
        process_.setArguments(QStringList{QStringLiteral("--link"), link, QStringLiteral("--verbose")} + extra);
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start();
        if (!process_.waitForStarted(5000))
            return false;
        return QTest::qWaitFor([this] { return output_.contains("ready ") || process_.state() == QProcess::NotRunning; },
                               10000) &&
               output_.contains("ready ");
    }

    void stop() {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    // Request lines ("<<") the sensor has logged so far.
    int requestsSeen() const { return static_cast<int>(output_.count("<<")); }
    // Replies (">>") the sensor has finished sending so far.
    int repliesSent() const { return static_cast<int>(output_.count(">>")); }
    QByteArray output() const { return output_; }

private:
    QProcess process_;
    QByteArray output_;
};

} // namespace kv::test
