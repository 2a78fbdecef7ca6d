// The monitor's own judgement of exchanges, its pairing of bytes into exchanges, the
// bounded table, statistics and log, and that watching changes nothing in the window.
#include "app/monitorkey.h"
#include "monitor/monitor.h"
#include "support/windowfixture.h"

#include <QLabel>
#include <QLineSeries>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTemporaryFile>

using namespace kv;
using namespace kv::test;
using namespace kv::mon;

namespace {

Exchange judged(const char* request, const char* reply) {
    Exchange ex;
    ex.request = hex(request);
    ex.reply = hex(reply);
    judge(ex);
    return ex;
}

// Runs the posted pairing step.
void settle() {
    QCoreApplication::processEvents();
}

} // namespace

TEST(Judge, SortsRepliesByWhatIsWrongWithThem) {
    const char* read = "01 03 00 00 00 02 C4 0B";
    const Exchange ok = judged(read, "01 03 04 09 29 09 69 EE 19");
    EXPECT_EQ(ok.status, Status::Ok);
    EXPECT_EQ(ok.decoded, QStringLiteral("水分 23.45 %, 温度 24.09 ℃"));

    EXPECT_EQ(judged(read, "01 03 04 09 29 09 69 EE 18").status, Status::CrcError);
    // A sound frame from device 2 (CRCs in this file from an independent calculator).
    EXPECT_EQ(judged(read, "02 03 04 09 29 09 69 DD 19").status, Status::OtherAddress);
    const Exchange exception = judged(read, "01 83 04 40 F3");
    EXPECT_EQ(exception.status, Status::Exception);
    EXPECT_EQ(exception.exceptionCode, 4);
    EXPECT_EQ(statusText(exception), QStringLiteral("异常 04 SERVER DEVICE FAILURE"));
    EXPECT_EQ(statusText(judged(read, "01 83 02 C0 F1")), QStringLiteral("异常 02 ILLEGAL DATA ADDRESS"));
    EXPECT_EQ(judged(read, "01 03 04 09").status, Status::Incomplete);
    EXPECT_EQ(judged(read, "").status, Status::NoReply);
    // A whole frame that carries one register where two were asked for.
    EXPECT_EQ(judged(read, "01 03 02 09 29 7F CA").status, Status::Incomplete);
    // Function 4 answered as function 3.
    EXPECT_EQ(judged("01 04 00 00 00 02 71 CB", "01 03 04 09 29 09 69 EE 19").status, Status::WrongFunction);
}

TEST(Judge, KnowsThisSensorsAddressRepliesAndTheAnyDeviceRead) {
    // A read to 250 is answered by whoever is connected.
    const Exchange anyDevice = judged("FA 03 00 00 00 01 91 81", "07 03 02 00 07 71 86");
    EXPECT_EQ(anyDevice.status, Status::Ok);
    EXPECT_TRUE(anyDevice.decoded.startsWith(QStringLiteral("地址 7"))) << anyDevice.decoded.toStdString();
    // The same reply to a read sent to device 1 comes from another address.
    EXPECT_EQ(judged("01 03 00 00 00 01 84 0A", "07 03 02 00 07 71 86").status, Status::OtherAddress);
    // Address change: the short reply "old 06 01 new CRC" and the standard echo.
    const QByteArray request = hex("01 06 0B 00 00 05 4B ED");
    EXPECT_EQ(expectedReplyLength(request, hex("01 06 01")), 6);
    EXPECT_EQ(expectedReplyLength(request, hex("01 06 0B")), 8);
    EXPECT_EQ(expectedReplyLength(request, hex("01 86")), 5);
    const Exchange echo = judged("01 06 0B 00 00 05 4B ED", "01 06 0B 00 00 05 4B ED");
    EXPECT_EQ(echo.status, Status::Ok);
    EXPECT_EQ(echo.decoded, QStringLiteral("新地址 5"));
}

TEST(Judge, ExceptionsShowTheirCodeAndStandardName) {
    const Exchange busy = judged("01 03 00 00 00 02 C4 0B", "01 83 06 C1 32");
    EXPECT_EQ(busy.status, Status::Exception);
    EXPECT_EQ(statusText(busy), QStringLiteral("异常 06 SERVER DEVICE BUSY"));
    const Exchange gateway = judged("01 03 00 00 00 02 C4 0B", "01 83 0B 00 F7");
    EXPECT_EQ(statusText(gateway), QStringLiteral("异常 0B GATEWAY TARGET DEVICE FAILED TO RESPOND"));
}

TEST(Tracker, PairsChunksIntoExchangesAndTimesThemToTheLastByte) {
    Tracker tracker;
    std::vector<Exchange> got;
    tracker.onExchanges = [&](const std::vector<Exchange>& done) {
        got.insert(got.end(), done.begin(), done.end());
    };

    tracker.bytesWritten(hex("01 03 00 00 00 02 C4 0B"));
    tracker.bytesArrived(hex("01 03 04"));
    settle();
    EXPECT_TRUE(got.empty()); // not complete yet
    QElapsedTimer gap;
    gap.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return gap.elapsed() >= 20; }, 1000));
    // The rest of the reply, and two stray bytes in the same chunk.
    tracker.bytesArrived(hex("09 29 09 69 EE 19 AA BB"));
    // Then a request that is never answered, and one answered by halves only.
    tracker.bytesWritten(hex("01 03 00 00 00 02 C4 0B"));
    tracker.bytesWritten(hex("01 03 00 00 00 02 C4 0B"));
    tracker.bytesArrived(hex("01 03 04 09"));
    tracker.bytesWritten(hex("01 83 00 00 00 02 C4 0B"));
    settle();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].status, Status::Ok);
    EXPECT_EQ(got[0].reply, hex("01 03 04 09 29 09 69 EE 19"));
    EXPECT_GE(got[0].responseMs, 20.0);
    EXPECT_LT(got[0].responseMs, 5000.0);
    EXPECT_EQ(got[1].status, Status::Unsolicited);
    EXPECT_EQ(got[1].reply, hex("AA BB"));
    EXPECT_EQ(got[2].status, Status::NoReply);
    EXPECT_LT(got[2].responseMs, 0);
    EXPECT_EQ(got[3].status, Status::Incomplete);
    EXPECT_EQ(got[3].reply, hex("01 03 04 09"));
    // The last request is still open; finishing writes it out.
    tracker.finish();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[4].status, Status::NoReply);
    EXPECT_LE(got[0].time, got[4].time);
}

TEST(TrafficTable, KeepsOnlyTheNewestRows) {
    TrafficModel model(100);
    std::vector<Exchange> batch(30);
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 30; ++i)
            batch[static_cast<std::size_t>(i)].request = QByteArray(1, static_cast<char>(round * 30 + i));
        model.append(batch);
    }
    ASSERT_EQ(model.rowCount(), 100);
    EXPECT_EQ(static_cast<quint8>(model.at(0).request.at(0)), 50);
    EXPECT_EQ(static_cast<quint8>(model.at(99).request.at(0)), 149);
    // One batch larger than the table keeps its newest part.
    std::vector<Exchange> big(250);
    big.back().request = "last";
    model.append(big);
    EXPECT_EQ(model.rowCount(), 100);
    EXPECT_EQ(model.at(99).request, "last");
    EXPECT_EQ(TrafficModel::kDefaultLimit, 10000);
}

TEST(TrafficTable, SavesCsvWithQuotedFields) {
    TrafficModel model;
    Exchange ex = judged("01 03 00 00 00 02 C4 0B", "01 03 04 09 29 09 69 EE 19");
    ex.time = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 67));
    ex.responseMs = 12.34;
    model.append({ex});
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("t.csv"));
    ASSERT_EQ(model.saveCsv(path), QString());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(
        QString::fromUtf8(f.readAll()),
        QStringLiteral("time,request,reply,response_ms,status,decoded\r\n"
                       "2026-01-02 03:04:05.067,01 03 00 00 00 02 C4 0B,01 03 04 09 29 09 69 EE 19,12.3,正常,"
                       "\"水分 23.45 %, 温度 24.09 ℃\"\r\n"));
    EXPECT_FALSE(model.saveCsv(dir.filePath(QStringLiteral("no/such/folder/t.csv"))).isEmpty());
}

TEST(Statistics, CountsKindsLossAndNearestRankPercentiles) {
    Statistics stats;
    std::vector<Exchange> list;
    for (int i = 1; i <= 20; ++i) {
        Exchange ex;
        ex.request = "r";
        ex.reply = "x";
        ex.status = Status::Ok;
        ex.responseMs = i;
        list.push_back(ex);
    }
    Exchange lost;
    lost.request = "r";
    lost.status = Status::NoReply;
    list.push_back(lost);
    list.push_back(lost);
    Exchange stray;
    stray.status = Status::Unsolicited;
    list.push_back(stray);
    stats.add(list);
    EXPECT_EQ(stats.requests(), 22);
    EXPECT_EQ(stats.replies(), 20);
    EXPECT_EQ(stats.count(Status::NoReply), 2);
    EXPECT_EQ(stats.count(Status::Unsolicited), 1);
    EXPECT_NEAR(stats.lossPercent(), 100.0 * 2 / 22, 1e-9);
    EXPECT_EQ(stats.median(), 10);
    EXPECT_EQ(stats.p95(), 19);
    EXPECT_EQ(stats.max(), 20);
    stats.clear();
    EXPECT_EQ(stats.median(), -1);
    EXPECT_EQ(stats.lossPercent(), 0);
}

TEST(CsvLogFile, AppendsBehindAHeaderWrittenOnce) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.csv"));
    Exchange ex = judged("01 03 00 00 00 02 C4 0B", "");
    ex.time = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 6));
    for (int run = 0; run < 2; ++run) {
        CsvLog log;
        ASSERT_EQ(log.open(path), QString());
        ASSERT_TRUE(log.append({ex}));
        // Already on disk while the log is still open.
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll().count("\r\n"), 2 + run);
    }
    CsvLog bad;
    EXPECT_FALSE(bad.open(dir.filePath(QStringLiteral("missing/log.csv"))).isEmpty());
    // A full disk is reported at once, not discovered later.
    CsvLog full;
    if (QFileInfo::exists(QStringLiteral("/dev/full"))) {
        EXPECT_FALSE(full.open(QStringLiteral("/dev/full")).isEmpty());
    }
}

// The window with the monitor attached over the fake port.
class Watching : public WindowTest {
protected:
    // A fixed session: measurement, exception, parameter read and write, address read.
    void session() {
        startOpen();
        click(w->comDoOnce);
        port.deliver(hex("01 03 04 09 29 09 69 EE 19"));
        click(w->comDoOnce);
        port.deliver(hex("01 83 04 40 F3")); // below the threshold: no receive event
        click(w->cmdREAD(2));
        port.deliver(hex("01 03 02 27 10 A2 78"));
        w->txtsetValue(0)->setText(QStringLiteral("1.5"));
        click(w->cmdSet(0));
        port.deliver(hex("01 06 0A 00 3A 98 99 18"));
        click(w->cmdReadAdd);
        port.deliver(hex("07 03 02 00 07 71 86"));
        settle();
    }

    // Every text the window shows, by control.
    QStringList texts() const {
        QStringList out;
        for (QLineEdit* e : window->findChildren<QLineEdit*>())
            out << e->objectName() + QLatin1Char('=') + e->text();
        for (QLabel* l : window->findChildren<QLabel*>())
            out << l->objectName() + QLatin1Char('=') + l->text();
        for (QPlainTextEdit* t : window->findChildren<QPlainTextEdit*>())
            out << t->objectName() + QLatin1Char('=') + t->toPlainText();
        return out;
    }
};

TEST_F(Watching, TheWindowIsTheSameWithTheMonitorOpenClosedOrNever) {
    session();
    const std::vector<QByteArray> baseWrites = port.writes;
    const QStringList baseTexts = texts();
    const QStringList baseOps = port.ops;
    ASSERT_EQ(baseWrites.size(), 5u);

    for (const bool closeIt : {false, true}) {
        port = FakeComm{};
        SetUp();
        Monitor monitor(*w, port);
        monitor.show();
        ASSERT_TRUE(monitor.watching());
        if (closeIt) {
            monitor.window()->close();
            settle();
            EXPECT_FALSE(monitor.watching());
            EXPECT_FALSE(w->decodedObserver);
        }
        session();
        EXPECT_EQ(port.writes, baseWrites) << closeIt;
        EXPECT_EQ(port.ops, baseOps) << closeIt;
        EXPECT_EQ(texts(), baseTexts) << closeIt;
        if (!closeIt) {
            // Meanwhile the monitor saw every exchange, the short exception included.
            MonitorWindow* m = monitor.window();
            m->refresh();
            ASSERT_EQ(m->model().rowCount(), 5);
            EXPECT_EQ(m->model().at(0).status, Status::Ok);
            EXPECT_EQ(statusText(m->model().at(1)), QStringLiteral("异常 04 SERVER DEVICE FAILURE"));
            EXPECT_EQ(m->model().at(2).decoded, QStringLiteral("参数2 = 10000"));
            EXPECT_EQ(m->model().at(3).decoded, QStringLiteral("参数0 ← 15000"));
            EXPECT_TRUE(m->model().at(4).decoded.startsWith(QStringLiteral("地址 7")));
            ASSERT_EQ(m->trend().size(), 1u);
            EXPECT_DOUBLE_EQ(m->trend()[0].moisture, 23.45);
            EXPECT_DOUBLE_EQ(m->trend()[0].temperature, 24.09);
            m->refresh();
            EXPECT_EQ(m->moistureSeries()->count(), 1);
            EXPECT_TRUE(m->statisticsLine()->text().contains(QStringLiteral("请求 5")));
        }
    }
}

TEST_F(Watching, F2OpensTheMonitor) {
    Monitor monitor(*w, port);
    bindMonitorKey(window.get(), monitor);
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    EXPECT_EQ(monitor.window(), nullptr);
    QTest::keyClick(w->txtStationID, Qt::Key_F2);
    ASSERT_NE(monitor.window(), nullptr);
    EXPECT_TRUE(monitor.window()->isVisible());
    EXPECT_TRUE(monitor.watching());
}
