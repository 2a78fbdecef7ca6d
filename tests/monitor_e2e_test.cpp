// The monitor against the virtual sensor: the real window, port and monitor.
#include "monitor/monitorwindow.h"
#include "support/toolagainstsim.h"

#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

using namespace kv;
using namespace kv::test;
using namespace kv::mon;

namespace {

constexpr int kDeadline = 20000;

// The replies the sensor says it sent (">>" lines of its log), as bytes.
std::vector<QByteArray> simReplies(const QByteArray& log) {
    std::vector<QByteArray> out;
    static const QRegularExpression line(QStringLiteral(">> ([0-9A-F ]+)"));
    auto it = line.globalMatch(QString::fromLatin1(log));
    while (it.hasNext())
        out.push_back(hex(it.next().captured(1).trimmed().toLatin1().constData()));
    return out;
}

} // namespace

class MonitorAgainstSensor : public ToolAgainstSim {
protected:
    void start(const QStringList& simOptions) {
        startSim(simOptions);
        if (HasFatalFailure()) return;
        startTool();
        if (HasFatalFailure()) return;
        monitor = std::make_unique<Monitor>(*port, windowMaker());
    }

    // The table as it stands after a refresh.
    int rows() {
        if (!windowOf(*monitor)) return 0;
        windowOf(*monitor)->refresh();
        return windowOf(*monitor)->model().rowCount();
    }
    const Exchange& row(int i) const { return windowOf(*monitor)->model().at(i); }

    void cycle(int periodMs) {
        w->txtTimerSet->setText(QString::number(periodMs));
        w->cmdOneM->click();
    }

    std::unique_ptr<Monitor> monitor;
};

TEST_F(MonitorAgainstSensor, CyclingGivesTheTrendTheSensorsValuesAndOneRowPerExchange) {
    start({"--moisture", "23.45", "--temperature", "21.5"});
    monitor->show();
    // Long enough for each reply to come before the next request even on a busy machine;
    // at 50 ms a late reply is paired with the next request, as on a real line.
    cycle(200);
    ASSERT_TRUE(QTest::qWaitFor([&] { return rows() >= 15; }, kDeadline));
    w->cmdStopOnce->click();
    // Every reply the sensor sent is one row, and nothing else is.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            QCoreApplication::processEvents();
            return static_cast<int>(simReplies(sim.output()).size()) == rows() &&
                   row(rows() - 1).status == Status::Ok;
        },
        kDeadline))
        << rows() << " rows, sensor replies " << simReplies(sim.output()).size();
    const std::vector<QByteArray> replies = simReplies(sim.output());
    for (int i = 0; i < rows(); ++i) {
        EXPECT_EQ(row(i).status, Status::Ok) << i;
        EXPECT_EQ(row(i).reply, replies[static_cast<std::size_t>(i)]) << i;
        // 9 bytes at 19200 baud take 4.7 ms; the sensor waits 5 ms before it answers.
        EXPECT_GT(row(i).responseMs, 4.0) << i;
        EXPECT_LT(row(i).responseMs, 1000.0) << i;
        if (i > 0) {
            EXPECT_GE(row(i).time, row(i - 1).time);
        }
    }
    // The temperature the sensor reports (its own register 1) is what the trend holds.
    const QByteArray& first = replies.front();
    const double reported =
        static_cast<qint16>(static_cast<quint8>(first[5]) << 8 | static_cast<quint8>(first[6])) / 100.0;
    const auto& trend = windowOf(*monitor)->trend();
    ASSERT_EQ(static_cast<int>(trend.size()), rows());
    for (const TrendPoint& p : trend) {
        EXPECT_DOUBLE_EQ(p.moisture, 23.45);
        EXPECT_DOUBLE_EQ(p.temperature, reported);
    }
    EXPECT_EQ(windowOf(*monitor)->statistics().requests(), rows());
    EXPECT_GT(windowOf(*monitor)->statistics().median(), 4.0);
}

TEST_F(MonitorAgainstSensor, FaultsShowAsTheirStatus) {
    struct Case {
        const char* option;
        Status status;
        const char* text;
    };
    const Case cases[] = {
        {"--bad-crc", Status::CrcError, "CRC错误"},
        {"--exception", Status::Exception, "异常 04 SERVER DEVICE FAILURE"},
        {"--silence", Status::NoReply, "下次请求前无应答"},
    };
    for (const Case& c : cases) {
        start({QString::fromLatin1(c.option), QStringLiteral("1")});
        monitor->show();
        const qint32 events = w->RxCount;
        // Three requests: the third one closes the second exchange even when nothing comes.
        for (int i = 0; i < 3; ++i) {
            w->comDoOnce->click();
            ASSERT_TRUE(QTest::qWaitFor(
                [&] { return sim.requestsSeen() > i && (c.status == Status::NoReply || rows() > i); },
                kDeadline));
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return rows() >= 2; }, kDeadline)) << c.option;
        for (int i = 0; i < rows(); ++i) {
            EXPECT_EQ(row(i).status, c.status) << c.option << " row " << i;
            EXPECT_EQ(statusText(row(i)), QString::fromUtf8(c.text));
        }
        if (c.status == Status::Exception) {
            EXPECT_EQ(w->RxCount, events) << "a 5-byte reply stays below the receive threshold";
        }
        monitor.reset();
        window.reset();
        port.reset();
        sim.stop();
    }
}

TEST_F(MonitorAgainstSensor, LogHoldsEveryExchangeUpToTheSensorsDeath) {
    start({"--moisture", "40"});
    const QString path = dir.filePath(QStringLiteral("traffic.csv"));
    ASSERT_EQ(monitor->startLog(path), QString());
    cycle(100);
    const auto logged = [&] {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return logged().count("\r\n") >= 16; }, kDeadline));
    sim.stop();
    // The tool notices the line is gone and stops sending.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w->CommReady; }, kDeadline));
    QCoreApplication::processEvents();

    // Read while the tool still runs: nothing waits in a buffer.
    const QList<QByteArray> lines = logged().split('\n');
    ASSERT_EQ(lines.front(), "\xEF\xBB\xBFtime,request,reply,response_ms,status,decoded\r");
    QByteArray loggedBytes;
    for (int i = 1; i < lines.size() - 1; ++i) {
        ASSERT_TRUE(lines[i].endsWith('\r')) << i;
        const QList<QByteArray> fields = lines[i].chopped(1).split(',');
        ASSERT_GE(fields.size(), 6) << lines[i].toStdString();
        loggedBytes += hex(fields[2].constData());
    }
    EXPECT_TRUE(lines.back().isEmpty()) << "the last line is whole";
    // Every byte the sensor sent is logged in order, however the line paired it with the
    // requests, save the reply still on its way when it died.
    QByteArray sentBytes;
    const std::vector<QByteArray> sent = simReplies(sim.output());
    ASSERT_GE(sent.size(), 15u);
    for (const QByteArray& reply : sent)
        sentBytes += reply;
    EXPECT_TRUE(sentBytes.startsWith(loggedBytes));
    EXPECT_LE(sentBytes.size() - loggedBytes.size(), sent.back().size());
}

TEST(MonitorWindowTable, HoldsTheNewestTenThousandExchanges) {
    MonitorWindow m;
    std::vector<Exchange> batch(10050);
    for (std::size_t i = 0; i < batch.size(); ++i)
        batch[i].request = QByteArray::number(static_cast<int>(i));
    m.addExchanges(batch);
    m.addExchanges(batch);
    m.refresh();
    ASSERT_EQ(m.model().rowCount(), 10000);
    EXPECT_EQ(m.model().at(0).request, "50");
    EXPECT_EQ(m.statistics().requests(), 20100);
}

TEST(MonitorWindowTable, PauseHoldsTheTableAndTrendWhileCountingGoesOn) {
    MonitorWindow m;
    auto* pause = m.findChild<QPushButton*>(QStringLiteral("pause"));
    ASSERT_NE(pause, nullptr);
    std::vector<Exchange> one(1);
    one[0].request = "r";
    m.addExchanges(one);
    m.addTrendPoint({QDateTime::currentDateTime(), 1.0, 2.0});
    pause->click();
    EXPECT_TRUE(m.paused());
    m.addExchanges(one);
    m.addTrendPoint({QDateTime::currentDateTime(), 3.0, 4.0});
    m.refresh();
    EXPECT_EQ(m.model().rowCount(), 1);
    EXPECT_EQ(m.trend().size(), 1u);
    EXPECT_EQ(m.statistics().requests(), 2);
    EXPECT_EQ(pause->text(), QStringLiteral("继续"));
    pause->click();
    m.addExchanges(one);
    m.refresh();
    EXPECT_EQ(m.model().rowCount(), 2);
    m.findChild<QPushButton*>(QStringLiteral("clear"))->click();
    EXPECT_EQ(m.model().rowCount(), 0);
    EXPECT_EQ(m.trend().size(), 0u);
    EXPECT_EQ(m.statistics().requests(), 0);
}
