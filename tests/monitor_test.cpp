// The monitor's own judgement of exchanges, its pairing of bytes into exchanges, the
// bounded table, statistics and log, and that watching changes nothing in the window.
#include "app/monitorkey.h"
#include "app/monitormodule.h"
#include "monitor/monitorwindow.h"
#include "support/windowfixture.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineSeries>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QSignalSpy>
#include <QTemporaryDir>
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
    // A parameter write acknowledged with another value than was written.
    EXPECT_EQ(judged("01 06 0A 00 3A 98 99 18", "01 06 0A 00 3A 97 D9 1C").status, Status::BadEcho);
    EXPECT_EQ(statusText(judged("01 06 0A 00 3A 98 99 18", "01 06 0A 00 3A 97 D9 1C")),
              QStringLiteral("回显不符"));
}

TEST(Judge, ScalesTheMeasurementLikeTheWindowAndTheCommandLine) {
    struct Case {
        const char* reply;
        const char* decoded;
        double temperature;
    };
    // Above 30000 the temperature register is negative.
    const Case cases[] = {
        {"01 03 04 09 29 75 31 CF 23", "水分 23.45 %, 温度 -355.35 ℃", -355.35},
        {"01 03 04 09 29 FF 38 68 45", "水分 23.45 %, 温度 -2.00 ℃", -2.0},
        {"01 03 04 09 29 00 00 28 67", "水分 23.45 %, 温度 0.00 ℃", 0.0},
    };
    for (const Case& c : cases) {
        const Exchange ex = judged("01 03 00 00 00 02 C4 0B", c.reply);
        EXPECT_EQ(ex.decoded, QString::fromUtf8(c.decoded));
        EXPECT_DOUBLE_EQ(ex.moisture, 23.45) << c.reply;
        EXPECT_DOUBLE_EQ(ex.temperature, c.temperature) << c.reply;
    }
    // The address read carries no measurement, whatever its register holds.
    const Exchange who = judged("FA 03 00 00 00 01 91 81", "07 03 02 00 07 71 86");
    EXPECT_TRUE(std::isnan(who.moisture));
    EXPECT_EQ(who.decoded, QStringLiteral("地址 7"));
}

TEST(Judge, KnowsThisSensorsAddressRepliesAndTheAnyDeviceRead) {
    // A read to 250 is answered by whoever is connected.
    const Exchange anyDevice = judged("FA 03 00 00 00 01 91 81", "07 03 02 00 07 71 86");
    EXPECT_EQ(anyDevice.status, Status::Ok);
    EXPECT_TRUE(anyDevice.decoded.startsWith(QStringLiteral("地址 7"))) << anyDevice.decoded.toStdString();
    // No sensor has address 0.
    EXPECT_EQ(judged("FA 03 00 00 00 01 91 81", "00 03 02 00 00 85 84").status, Status::OtherAddress);
    // The same reply to a read sent to device 1 comes from another address.
    EXPECT_EQ(judged("01 03 00 00 00 01 84 0A", "07 03 02 00 07 71 86").status, Status::OtherAddress);
    // Address change: the short reply "old 06 01 new CRC", which must name the new address,
    // and the standard echo.
    EXPECT_EQ(judged("01 06 0B 00 00 05 4B ED", "01 06 01 06 60 4B").status, Status::BadEcho);
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
    qint64 now = 0;
    const QDateTime start(QDate(2026, 1, 2), QTime(3, 4, 5));
    Tracker tracker(
        nullptr, [&now] { return now; }, start);
    std::vector<Exchange> got;
    tracker.onExchanges = [&](const std::vector<Exchange>& done) {
        got.insert(got.end(), done.begin(), done.end());
    };

    now = 7'000'000;
    tracker.bytesWritten(hex("01 03 00 00 00 02 C4 0B"));
    tracker.bytesArrived(hex("01 03 04"));
    settle();
    EXPECT_TRUE(got.empty()); // not complete yet
    now += 20'500'000;
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
    EXPECT_DOUBLE_EQ(got[0].responseMs, 20.5);
    EXPECT_EQ(got[0].time, start.addMSecs(7));
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
    EXPECT_EQ(got[4].time, start.addMSecs(27));
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
    const QByteArray saved = f.readAll();
    EXPECT_TRUE(saved.startsWith("\xEF\xBB\xBFtime,"));
    EXPECT_EQ(
        QString::fromUtf8(saved.mid(3)),
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

TEST(Trend, ShowsTheChosenSpanInMinutes) {
    MonitorWindow m;
    auto* span = m.findChild<QComboBox*>(QStringLiteral("span"));
    ASSERT_NE(span, nullptr);
    const QDateTime now = QDateTime::currentDateTime();
    for (const int secondsAgo : {3000, 900, 300, 30, 0})
        m.addTrendPoint({now.addSecs(-secondsAgo), 20.0, 21.0});
    // 1 minute, the default 10 minutes, 60 minutes.
    const int shown[] = {2, 3, 5};
    ASSERT_EQ(span->count(), 3);
    EXPECT_EQ(span->currentIndex(), 1);
    for (int i = 0; i < 3; ++i) {
        span->setCurrentIndex(i);
        m.refresh();
        EXPECT_EQ(m.moistureSeries()->count(), shown[i]) << i;
        EXPECT_EQ(m.temperatureSeries()->count(), shown[i]) << i;
    }
}

TEST(MonitorPlacement, BesideTheMainWindowWhereThereIsRoomElseShifted) {
    struct Case {
        QRect screen, main;
        QRect expected;
    };
    const QSize monitor(1100, 760);
    const Case cases[] = {
        // Right of it, top edges level (or as near as the screen allows).
        {{0, 0, 2560, 1440}, {100, 100, 1033, 560}, {1141, 100, 1100, 760}},
        {{0, 0, 2560, 1440}, {100, 900, 1033, 560}, {1141, 680, 1100, 760}},
        // Left of it.
        {{0, 0, 2560, 1440}, {1400, 100, 1033, 560}, {292, 100, 1100, 760}},
        // Below it.
        {{0, 0, 1920, 1440}, {400, 0, 1033, 560}, {400, 568, 1100, 760}},
        // A second screen to the left of the first.
        {{-1920, 0, 1920, 1440}, {-1920, 0, 1033, 560}, {-1920, 568, 1100, 760}},
        // No room: shifted, the main window's title bar and left edge left uncovered.
        {{0, 0, 1920, 1080}, {0, 0, 1033, 560}, {64, 64, 1100, 760}},
        {{0, 0, 1366, 768}, {0, 0, 1033, 560}, {64, 64, 1100, 704}},
        {{0, 0, 1920, 1080}, {1000, 600, 1033, 560}, {1064, 664, 856, 416}},
    };
    for (const Case& c : cases) {
        const QRect r = monitorPlacement(c.screen, c.main, monitor);
        EXPECT_EQ(r, c.expected) << c.main.x() << "," << c.main.y() << " on " << c.screen.width();
        EXPECT_TRUE(c.screen.contains(r)) << c.main.x();
    }
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
        const QByteArray text = f.readAll();
        EXPECT_EQ(text.count("\r\n"), 2 + run);
        // The byte-order mark opens a new file; an append adds none.
        EXPECT_TRUE(text.startsWith("\xEF\xBB\xBFtime,")) << run;
        EXPECT_EQ(text.count("\xEF\xBB\xBF"), 1) << run;
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
        Monitor monitor(port, windowMaker());
        monitor.show();
        ASSERT_TRUE(monitor.watching());
        if (closeIt) {
            windowOf(monitor)->close();
            settle();
            EXPECT_FALSE(monitor.watching());
        }
        session();
        EXPECT_EQ(port.writes, baseWrites) << closeIt;
        EXPECT_EQ(port.ops, baseOps) << closeIt;
        EXPECT_EQ(texts(), baseTexts) << closeIt;
        if (!closeIt) {
            // Meanwhile the monitor saw every exchange, the short exception included.
            MonitorWindow* m = windowOf(monitor);
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

// F2 opens the monitor, its window made here or by the tool's module beside the program; where
// the module is missing, a message says why, nothing opens and nothing is watched.
TEST_F(Watching, F2OpensTheMonitorOrSaysWhyItCannot) {
    const QTemporaryDir empty; // a program folder without the module
    const std::pair<const char*, ViewMaker> makers[] = {
        {"linked", windowMaker()},
        {"module", monitorModule(QCoreApplication::applicationDirPath())},
        {"missing", monitorModule(empty.path())}};
    for (const auto& [how, maker] : makers) {
        SCOPED_TRACE(how);
        const bool made = std::string(how) != "missing";
        boxes.shown.clear();
        Monitor monitor(port, maker);
        bindMonitorKey(window.get(), monitor, boxes);
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        EXPECT_EQ(windowOf(monitor), nullptr);
        QTest::keyClick(w->txtStationID, Qt::Key_F2);
        EXPECT_EQ(windowOf(monitor) != nullptr, made);
        EXPECT_EQ(monitor.watching(), made);
        if (made) {
            EXPECT_TRUE(windowOf(monitor)->isVisible());
            EXPECT_TRUE(messages().isEmpty());
        } else {
            ASSERT_EQ(messages().size(), 1);
            EXPECT_TRUE(messages().first().startsWith(
                QStringLiteral("通讯监视器无法打开：kv7702r-monitor is not in ")));
            EXPECT_TRUE(messages().first().contains(QDir::cleanPath(empty.path())))
                << messages().first().toStdString();
        }
        delete window->findChild<QShortcut*>(QStringLiteral("monitorKey")); // F2 bound once at a time
    }
}
