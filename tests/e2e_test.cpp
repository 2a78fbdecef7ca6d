// The real window and the QSerialPort component against the virtual sensor on a pty,
// driven through the window's own buttons.
#include "support/toolagainstsim.h"

#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <functional>
#include <memory>

using namespace kv;
using namespace kv::test;

namespace {

constexpr int kDeadline = 10000;

// Callendar-Van Dusen for t >= 0, restated here as the reference for true resistances.
double pt100(double t) { return 100.0 * (1 + 3.9083e-3 * t - 5.775e-7 * t * t); }

} // namespace

class EndToEnd : public ToolAgainstSim {
protected:
    // Clicks and waits until the reply has been handled (green lamp, counter moved) and
    // the sensor has sent all of it: a reply longer than its threshold (a write's echo)
    // is handled before its tail has come, and a tail still on the line when the next
    // request goes out would count towards that request's reply. Once sent, the tail is
    // either taken or discarded by the receiver, or discarded by the next request.
    bool clickAndAwaitReply(QPushButton* b) {
        const qint32 before = w->RxCount;
        const int replies = sim.repliesSent();
        b->click();
        return waitLive([&] {
            return w->RxCount > before && w->lampInFront() == w->imgConnected && sim.repliesSent() > replies;
        });
    }

    // Waits in a running event loop, as the tool's own loop runs, so that a reply paced
    // byte by byte reaches the receiver in the pieces a real line gives (qWaitFor
    // sleeps between its looks and hands over whole replies).
    static bool waitLive(const std::function<bool()>& done, int ms = kDeadline) {
        QEventLoop loop;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, &loop, [&] {
            if (done()) loop.quit();
        });
        look.start(1);
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        if (!done()) loop.exec();
        return done();
    }

};

TEST_F(EndToEnd, StartUpThenASingleMeasurementShowsItsValue) {
    startSim({"--moisture", "30", "--temperature", "25"});
    startTool();
    EXPECT_TRUE(w->CommReady);
    EXPECT_EQ(port->baudRate(), 19200);
    ASSERT_TRUE(clickAndAwaitReply(w->comDoOnce));
    EXPECT_EQ(w->txtCommand->text(), "01 03 00 00 00 02 C4 0B ");
    EXPECT_TRUE(w->txtState->toPlainText().startsWith(" 01 03 04 0B B8")) << w->txtState->toPlainText();
    EXPECT_EQ(w->txtValue(0)->text(), "30.00");
    EXPECT_NEAR(w->txtValue(1)->text().toDouble(), 25.0, 5.0); // uncalibrated, a little off
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(EndToEnd, CycleRunsWithBothCountersMoving) {
    startSim();
    startTool();
    w->txtTimerSet->setText(QStringLiteral("100"));
    w->cmdOneM->click();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return w->lblCounter->text().toInt() >= 5 && w->lblErrCounter->text().toInt() >= 4; }, kDeadline));
    w->cmdStopOnce->click();
    EXPECT_FALSE(w->Timer2->isActive());
    const double moisture = w->txtValue(0)->text().toDouble();
    EXPECT_GT(moisture, 0.0);
    EXPECT_LE(moisture, 100.0);
}

TEST_F(EndToEnd, EveryParameterReadWrittenAndReadAgain) {
    startSim({"--moisture", "30", "--temperature", "25"});
    startTool();
    const char* newValues[] = {"1.2000", "150", "9000", "100", "10100", "5100"};
    for (int i = 0; i <= 5; ++i) {
        ASSERT_TRUE(clickAndAwaitReply(w->cmdREAD(i))) << i;
        const QString original = w->txtsetValue(i)->text();
        w->txtsetValue(i)->setText(QString::fromLatin1(newValues[i]));
        ASSERT_TRUE(clickAndAwaitReply(w->cmdSet(i))) << i;
        // The echo of a write single register carries the frame back (at least the
        // six bytes of the threshold).
        EXPECT_EQ(w->txtState->toPlainText().trimmed().left(17), w->txtCommand->text().left(17)) << i;
        w->txtsetValue(i)->setText(QStringLiteral("?"));
        ASSERT_TRUE(clickAndAwaitReply(w->cmdREAD(i))) << i;
        EXPECT_EQ(w->txtsetValue(i)->text(), QString::fromLatin1(newValues[i])) << i << " was " << original.toStdString();
    }
    // Register 8 answers with the PT100 resistance, so parameter 6 reads as one.
    ASSERT_TRUE(clickAndAwaitReply(w->cmdREAD(6)));
    EXPECT_NEAR(w->txtsetValue(6)->text().toDouble() / 100, pt100(25), 2.0);
    w->txtsetValue(6)->setText(QStringLiteral("2"));
    ASSERT_TRUE(clickAndAwaitReply(w->cmdSet(6)));
    EXPECT_TRUE(boxes.shown.empty()) << boxes.texts();
}

TEST_F(EndToEnd, AddressReadAndChangeThenMeasureAtTheNewAddress) {
    startSim({"--address", "3", "--moisture", "42"});
    startTool();
    ASSERT_TRUE(clickAndAwaitReply(w->cmdReadAdd));
    EXPECT_EQ(w->txtSetID(0)->text(), "3");
    EXPECT_EQ(w->txtStationID->text(), "3");
    w->txtSetID(1)->setText(QStringLiteral("7"));
    ASSERT_TRUE(clickAndAwaitReply(w->cmdChangeID));
    EXPECT_TRUE(w->txtCommand->text().startsWith("03 06 0B 00 00 07 "));
    EXPECT_EQ(w->txtStationID->text(), "7");
    ASSERT_TRUE(clickAndAwaitReply(w->comDoOnce));
    EXPECT_TRUE(w->txtCommand->text().startsWith("07 03 00 00 00 02"));
    EXPECT_TRUE(w->txtState->toPlainText().startsWith(" 07 03 04")) << w->txtState->toPlainText();
    EXPECT_EQ(w->txtValue(0)->text(), "42.00");
}

TEST_F(EndToEnd, AddressChangeAnsweredEitherWayMovesTheToolToTheNewAddress) {
    // The designed 6-byte reply carries the new address in byte 3; a standard slave
    // echoes the request instead, whose byte 3 is 0.
    for (const bool echo : {false, true}) {
        SCOPED_TRACE(echo ? "echo" : "6-byte reply");
        startSim(echo ? QStringList{"--address-echo", "--moisture", "42"} : QStringList{"--moisture", "42"});
        startTool();
        w->txtSetID(0)->setText(QStringLiteral("1"));
        w->txtSetID(1)->setText(QStringLiteral("5"));
        ASSERT_TRUE(clickAndAwaitReply(w->cmdChangeID));
        EXPECT_EQ(w->txtCommand->text(), "01 06 0B 00 00 05 4B ED ");
        EXPECT_TRUE(w->txtState->toPlainText().startsWith(echo ? " 01 06 0B 00 00 05" : " 01 06 01 05"))
            << w->txtState->toPlainText();
        EXPECT_EQ(w->txtSetID(0)->text(), "5");
        EXPECT_EQ(w->txtStationID->text(), "5");
        ASSERT_TRUE(clickAndAwaitReply(w->comDoOnce));
        EXPECT_EQ(w->txtCommand->text(), "05 03 00 00 00 02 C5 8F ");
        EXPECT_TRUE(w->txtState->toPlainText().startsWith(" 05 03 04")) << w->txtState->toPlainText();
        EXPECT_EQ(w->txtValue(0)->text(), "42.00");
        EXPECT_TRUE(boxes.shown.empty()) << boxes.texts();
        window.reset();
        port.reset();
        sim.stop();
    }
}

TEST_F(EndToEnd, TwoPointCalibrationCorrectsTheTemperature) {
    // Low point: the probe in ice water.
    startSim({"--temperature", "0", "--moisture", "30"});
    startTool();
    ASSERT_TRUE(clickAndAwaitReply(w->cmdRead0));
    const double RA = w->txtRA->text().toDouble();
    EXPECT_GT(RA, 90.0);

    // High point: the sensor is moved to a hot bath; its line drops and comes back, and
    // the operator picks the port again.
    sim.stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !port->portOpen(); }, kDeadline));
    startSim({"--temperature", "100", "--moisture", "30"});
    emit w->Combo1->activated(w->Combo1->currentIndex());
    ASSERT_TRUE(port->portOpen());
    ASSERT_TRUE(clickAndAwaitReply(w->txtRead100));
    const double RB = w->txtRB->text().toDouble();
    EXPECT_GT(RB, RA + 30);

    w->txtRL->setText(QString::number(pt100(0), 'f', 2));
    w->TXTRH->setText(QString::number(pt100(100), 'f', 2));
    w->cmdCatalute->click();
    ASSERT_TRUE(boxes.shown.empty()) << boxes.texts();
    EXPECT_NE(w->txtsetValue(4)->text(), "1");
    EXPECT_NE(w->txtsetValue(5)->text(), "1");

    ASSERT_TRUE(clickAndAwaitReply(w->comDoOnce));
    const double before = w->txtValue(1)->text().toDouble();
    ASSERT_TRUE(clickAndAwaitReply(w->cmdSet(4)));
    ASSERT_TRUE(clickAndAwaitReply(w->cmdSet(5)));
    ASSERT_TRUE(clickAndAwaitReply(w->comDoOnce));
    const double after = w->txtValue(1)->text().toDouble();
    EXPECT_NEAR(after, 100.0, 0.1);
    EXPECT_GT(std::abs(before - 100.0), std::abs(after - 100.0));
}

TEST_F(EndToEnd, SaveReopensAtTheChosenRateAndTheSensorStillAnswers) {
    startSim({"--moisture", "30"});
    startTool();
    w->Combo2->setCurrentIndex(1);
    w->cmdCom->click();
    EXPECT_EQ(boxes.texts(), QStringList{"串口设置保存成功"});
    EXPECT_EQ(port->baudRate(), 9600);
    QFile f(QDir(dir.path()).filePath(QStringLiteral("comm.set")));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("4,9600\r\n"));
    ASSERT_TRUE(clickAndAwaitReply(w->comDoOnce));
    EXPECT_EQ(w->txtValue(0)->text(), "30.00");
}

TEST_F(EndToEnd, WrongRateStaysSilentUntilSaved) {
    startSim({"--baud", "9600", "--moisture", "30"});
    startTool();
    w->comDoOnce->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return sim.requestsSeen() >= 1; }, kDeadline));
    EXPECT_EQ(w->lampInFront(), w->ImgYellow);
    w->Combo2->setCurrentIndex(1);
    w->cmdCom->click();
    ASSERT_TRUE(clickAndAwaitReply(w->comDoOnce));
    EXPECT_EQ(w->txtValue(0)->text(), "30.00");
}

class EndToEndFaults : public EndToEnd {};

TEST_F(EndToEndFaults, CorruptedAndExceptionRepliesAreShownButNeverValues) {
    // An exception reply is shorter than any threshold here; trailing noise brings it up.
    const QStringList faults[] = {{"--bad-crc", "1"}, {"--exception", "1", "--garbage", "4"}};
    for (const QStringList& fault : faults) {
        SCOPED_TRACE(fault.join(' ').toStdString());
        startSim(fault + QStringList{"--moisture", "30"});
        startTool();
        const QString moisture = w->txtValue(0)->text();
        for (QPushButton* b : {w->comDoOnce, w->cmdREAD(2)}) {
            const qint32 before = w->RxCount;
            b->click();
            ASSERT_TRUE(waitLive([&] { return w->RxCount > before; }));
            EXPECT_FALSE(w->txtState->toPlainText().isEmpty());
            EXPECT_EQ(w->lampInFront(), w->ImgYellow);
        }
        EXPECT_EQ(w->txtValue(0)->text(), moisture);
        EXPECT_EQ(w->txtsetValue(2)->text(), "100");
        window.reset();
        port.reset();
        sim.stop();
    }
}

TEST_F(EndToEndFaults, SilenceLeavesTheYellowLamp) {
    startSim({"--silence", "1"});
    startTool();
    w->comDoOnce->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return sim.requestsSeen() >= 1; }, kDeadline));
    EXPECT_EQ(w->lampInFront(), w->ImgYellow);
    EXPECT_TRUE(w->txtState->toPlainText().isEmpty());
    EXPECT_EQ(w->RxCount, 0);
}

TEST_F(EndToEndFaults, SplitReplyStillArrivesInOnePiece) {
    startSim({"--split", "3", "--split-gap", "40", "--moisture", "30"});
    startTool();
    ASSERT_TRUE(clickAndAwaitReply(w->comDoOnce));
    EXPECT_EQ(w->RxCount, 1);
    EXPECT_EQ(w->txtState->toPlainText().size(), 27) << w->txtState->toPlainText();
    EXPECT_EQ(w->txtValue(0)->text(), "30.00");
}

TEST_F(EndToEndFaults, SensorVanishingClosesThePortAndTheNextRequestSaysSo) {
    startSim();
    startTool();
    sim.stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !port->portOpen(); }, kDeadline));
    w->comDoOnce->click();
    EXPECT_EQ(boxes.texts(), QStringList{"打开串口出错，请确定串口是否已被占用"});
    EXPECT_EQ(w->lampInFront(), w->imgNotConnected);
    EXPECT_FALSE(w->CommReady);
}

#ifdef Q_OS_UNIX
// The program itself, ended by a signal as a session's end or `kill` ends it: it must let
// the port go as closing its window does, so that no lock file of it is left behind.
TEST_F(ToolAgainstSim, TheProgramEndsOnTerminationSignalsAndLetsThePortGo) {
    startSim();
    const QString exe = QDir(dir.path()).filePath(QStringLiteral("kv7702r-tool"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(KV_TOOL_BINARY), exe));
    // QSerialPort's lock: LCK.. and the device's name under /dev, in the first lock folder it may write.
    const QString name = QFileInfo(link()).canonicalFilePath().mid(5).replace(QLatin1Char('/'), QLatin1Char('_'));
    QStringList locks;
    for (const char* folder : {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp", "/tmp", "/var/tmp",
                               "/var/lock/lockdev", "/run/lock"})
        locks << QStringLiteral("%1/LCK..%2").arg(QLatin1String(folder), name);
    const auto lockedBy = [&](qint64 pid) {
        for (const QString& path : locks) {
            QFile lock(path);
            if (lock.open(QIODevice::ReadOnly) && lock.readLine().trimmed() == QByteArray::number(pid)) return true;
        }
        return false;
    };
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        QProcess tool;
        tool.start(exe, {});
        ASSERT_TRUE(tool.waitForStarted(kDeadline)) << sig;
        const qint64 pid = tool.processId();
        ASSERT_TRUE(QTest::qWaitFor([&] { return lockedBy(pid) || tool.state() == QProcess::NotRunning; }, kDeadline));
        ASSERT_TRUE(lockedBy(pid)) << sig << tool.readAllStandardError().toStdString();
        ::kill(static_cast<pid_t>(pid), sig);
        ASSERT_TRUE(tool.waitForFinished(kDeadline)) << sig;
        EXPECT_EQ(tool.exitStatus(), QProcess::NormalExit) << sig;
        EXPECT_EQ(tool.exitCode(), 0) << sig;
        EXPECT_FALSE(lockedBy(pid)) << sig;
    }
}
#endif
