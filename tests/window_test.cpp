// The designed window, start-up, port choice, "保存设置" and the receive handler.
#include "serial/settingsfile.h"
#include "support/windowfixture.h"

#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest/QTest>

#include <functional>
#include <vector>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kv;
using namespace kv::test;

namespace {

template <class T> T* find(QWidget* top, const char* name) {
    return top->findChild<T*>(QString::fromUtf8(name));
}

} // namespace

class DesignedWindow : public WindowTest {};

TEST_F(DesignedWindow, CaptionSizeAndGroups) {
    EXPECT_TRUE(window->windowTitle().startsWith(QStringLiteral("KV7702R可变量程水分传感器工具软件-VQRN ")));
    // The designed client region; a scroll bar beside it reaches the rest.
    EXPECT_EQ(window->size(),
              QSize(1021 + window->scrollArea()->verticalScrollBar()->sizeHint().width(), 522));
    EXPECT_EQ(window->objectName(), "frmMain");
    struct G {
        const char* name;
        const char* caption;
        QRect rect;
    };
    const G groups[] = {
        {"frame3", "温度两点法校准", QRect(96, 752, 841, 201)},
        {"Frame12", "设备地址修改操作", QRect(456, 64, 561, 89)},
        {"Frame7", "参数", QRect(456, 160, 561, 233)},
        {"Frame1", "二次开发命令观察窗口", QRect(8, 400, 1009, 113)},
        {"Frame5", "串口设置", QRect(456, 8, 389, 52)},
        {"Frame2", "观察窗", QRect(8, 64, 433, 329)},
        {"Frame10", "MODBUS设置", QRect(8, 8, 425, 49)},
    };
    for (const G& g : groups) {
        auto* box = find<QGroupBox>(window.get(), g.name);
        ASSERT_NE(box, nullptr) << g.name;
        EXPECT_EQ(box->title(), QString::fromUtf8(g.caption));
        EXPECT_EQ(box->geometry(), g.rect) << g.name;
        EXPECT_EQ(box->parentWidget(), window->scrollArea()->widget());
    }
    // Below the designed bottom edge: out of view at the designed size.
    EXPECT_GT(w->frame3->y(), window->height());
    EXPECT_GT(w->Label4->y(), window->height());
    EXPECT_FALSE(w->Label4->text().isEmpty());
}

TEST_F(DesignedWindow, InitialTextsAndLists) {
    EXPECT_EQ(w->txtStationID->text(), "2");
    EXPECT_EQ(w->txtFunID->text(), "3");
    EXPECT_EQ(w->txtStartID->text(), "0");
    EXPECT_EQ(w->txtDataLength->text(), "2");
    EXPECT_EQ(w->txtTimerSet->text(), "1000");
    EXPECT_EQ(w->Combo1->count(), 16);
    EXPECT_EQ(w->Combo1->itemText(0), "COM1");
    EXPECT_EQ(w->Combo1->itemText(15), "COM16");
    EXPECT_EQ(w->Combo1->currentIndex(), -1);
    EXPECT_EQ(w->Combo1->currentText(), "COM4");
    EXPECT_TRUE(w->Combo1->isEditable());
    EXPECT_EQ(w->Combo2->count(), 4);
    EXPECT_EQ(w->Combo2->itemText(2), "14400");
    EXPECT_EQ(w->Combo2->currentIndex(), -1);
    EXPECT_EQ(w->Combo2->currentText(), "19200");
    EXPECT_EQ(w->lblCounter->text(), "0");
    EXPECT_EQ(w->lblErrCounter->text(), "0");
    EXPECT_EQ(w->lblErrCounter->toolTip(), "误码率");
    EXPECT_EQ(w->lblCounter->toolTip(), "测试统计");
    EXPECT_EQ(w->comDoOnce->text(), "单次");
    EXPECT_EQ(w->comDoOnce->font().family(), "宋体");
    EXPECT_TRUE(w->comDoOnce->font().bold());
    EXPECT_EQ(w->cmdCom->text(), "保存设置");
    EXPECT_EQ(w->txtsetValue(0)->text(), "1.0000");
    EXPECT_EQ(w->txtsetValue(1)->text(), "0.00");
    EXPECT_EQ(w->txtsetValue(6)->text(), "0");
    EXPECT_EQ(w->txtsetValue(4)->text(), "1");
    EXPECT_EQ(w->TXTRH->text(), "138.5");
    EXPECT_EQ(w->txtRL->text(), "100");
    EXPECT_EQ(w->Label2(7)->text(), "将地址       改为");
    EXPECT_EQ(w->Label8(3)->text(), "功 能 码");
    EXPECT_EQ(w->lblAlarm(0)->text(), "斜率   LA=");
    EXPECT_TRUE(w->txtCommand->text().isEmpty());
}

// Every device of the port list is shown in its entry's tool tip, gathered as the list
// opens so that asking udev about serial devices never holds the window back.
TEST_F(DesignedWindow, PortTipsAreGatheredAsTheListOpens) {
    window->show();
    EXPECT_TRUE(w->Combo1->itemData(0, Qt::ToolTipRole).isNull());
    w->Combo1->showPopup();
    w->Combo1->hidePopup();
    EXPECT_EQ(w->Combo1->itemData(0, Qt::ToolTipRole).toString().section('\n', 0, 0), "/dev/ttyS0");
    EXPECT_EQ(w->Combo1->itemData(15, Qt::ToolTipRole).toString().section('\n', 0, 0), "/dev/ttyS15");
}

TEST_F(DesignedWindow, ControlArraysKeepTheirGaps) {
    for (int i : {0, 1, 2, 3, 4, 5, 6}) {
        ASSERT_NE(w->txtsetValue(i), nullptr) << i;
        EXPECT_EQ(w->cmdREAD(i)->objectName(), QStringLiteral("cmdREAD(%1)").arg(i));
    }
    for (int i : {4, 5})
        EXPECT_EQ(w->cmdSet(i)->parentWidget(), w->frame3);
    for (int i : {0, 1, 2, 3, 6})
        EXPECT_EQ(w->cmdSet(i)->parentWidget(), w->Frame7);
    EXPECT_EQ(w->txtsetValue(7), nullptr);
    EXPECT_EQ(w->txtsetValue(-1), nullptr);
    for (int gap : {6, 8, 9})
        EXPECT_EQ(w->lblDanWei(gap), nullptr) << gap;
    for (int gap : {4, 8, 9, 10, 11, 12})
        EXPECT_EQ(w->Label2(gap), nullptr) << gap;
    for (int gap : {2, 3})
        EXPECT_EQ(w->lblAlarm(gap), nullptr) << gap;
    EXPECT_EQ(w->Label5(0), nullptr);
    EXPECT_NE(w->Label5(2), nullptr);
    EXPECT_EQ(w->Line1(0)->parentWidget(), w->Frame6);
    EXPECT_EQ(w->Line1(1)->parentWidget(), w->frame3);
    // The last row's name label is member 4 while its box and buttons are member 6.
    EXPECT_EQ(w->lblsetValue(4)->text(), "硬件量程设置");
    EXPECT_EQ(w->lblsetValue(4)->y(), w->txtsetValue(6)->y());
}

TEST_F(DesignedWindow, ValuePanelShowsOnlyTheMoistureRow) {
    window->show();
    w->PictureShow->setVisible(true);
    EXPECT_TRUE(w->txtValue(0)->isVisible());
    EXPECT_TRUE(w->lblDanWei(2)->isVisible());
    EXPECT_EQ(w->lblDanWei(0)->text(), "%");
    EXPECT_FALSE(w->txtValue(1)->isVisible());
    EXPECT_FALSE(w->lblDanWei(1)->isVisible());
    EXPECT_FALSE(w->lblDanWei(3)->isVisible());
    // Rows 2 and 3 lie below the panel's height and are clipped away.
    const QRect panel = w->PictureShow->rect();
    EXPECT_FALSE(panel.intersects(w->txtValue(2)->geometry()));
    EXPECT_FALSE(panel.intersects(w->txtValue(3)->geometry()));
    EXPECT_EQ(w->lblDanWei(5)->font().family(), "Perpetua Titling MT");
    EXPECT_EQ(w->txtValue(0)->font().pointSizeF(), 15.0);
}

TEST_F(DesignedWindow, LampsShareOneSpotWithOneInFront) {
    const QRect spot = w->imgConnected->geometry();
    EXPECT_EQ(w->ImgYellow->geometry(), spot);
    EXPECT_EQ(w->imgNotConnected->geometry().topLeft(), spot.topLeft());
    EXPECT_EQ(spot.topLeft(), QPoint(24, 0));
    for (QLabel* lamp : {w->imgConnected, w->ImgYellow, w->imgNotConnected}) {
        w->bringToFront(lamp);
        EXPECT_EQ(w->lampInFront(), lamp);
        EXPECT_EQ(lamp->toolTip(), "数据采集通讯状态指示");
    }
}

class StartUp : public WindowTest {};

TEST_F(StartUp, RestoresPortAndRateAndOpens) {
    loadWith("4,19200\r\n");
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(w->Combo1->currentIndex(), 3);
    EXPECT_EQ(w->Combo2->currentIndex(), 3);
    EXPECT_TRUE(port.open);
    EXPECT_EQ(port.port, 4);
    EXPECT_EQ(port.settings, "19200,N,8,1");
    EXPECT_EQ(port.threshold, 1);
    EXPECT_TRUE(w->CommReady);
    EXPECT_EQ(w->CommNum, 4);
    EXPECT_EQ(w->txtStationID->text(), "1");
    EXPECT_TRUE(w->PictureShow->isVisibleTo(window.get()));
    // Prepared before it is opened, in the designed order.
    const QStringList expected = {
        "CommPort=4",           "InputMode=1",  "InputLen=0",   "InBufferCount=0",      "OutBufferCount=0",
        "SThreshold=0",         "RThreshold=1", "InputMode=1",  "Settings=19200,N,8,1", "CommPort=4",
        "Settings=19200,N,8,1", "open",         "RThreshold=1", "InputMode=1"};
    EXPECT_EQ(port.ops, expected);
}

TEST_F(StartUp, ZeroOrNonNumericRateMeans9600) {
    loadWith("4,0\r\n");
    EXPECT_EQ(w->CommRate, 9600);
    EXPECT_EQ(w->Combo2->currentIndex(), 1);
    EXPECT_EQ(port.settings, "9600,N,8,1");
}

TEST_F(StartUp, ToleratesBlanksAndNonNumbers) {
    loadWith("  5 ,  abc\r\n");
    EXPECT_EQ(w->CommNum, 5);
    EXPECT_EQ(w->CommRate, 9600);
    EXPECT_TRUE(port.open);
}

TEST_F(StartUp, RateOutsideTheListOpensButSelectsNothing) {
    loadWith("3,2400\r\n");
    EXPECT_EQ(port.settings, "2400,N,8,1");
    EXPECT_EQ(w->Combo2->currentIndex(), -1);
    EXPECT_EQ(w->Combo1->currentText(), "COM3");
    click(w->cmdCom);
    EXPECT_EQ(readSettings(), QByteArray("3,4800\r\n"));
}

TEST_F(StartUp, MissingFileShowsPortZeroAndKeepsTheDesign) {
    window->load();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "请检查串口端口,串口端口0无法打开!");
    EXPECT_EQ(boxes.shown[0].title, "VQRN系统出错提示");
    EXPECT_EQ(boxes.shown[0].icon, Icon::None);
    EXPECT_FALSE(w->CommReady);
    EXPECT_FALSE(port.open);
    EXPECT_EQ(w->txtStationID->text(), "2");
    EXPECT_EQ(w->Combo1->currentIndex(), -1);
    EXPECT_EQ(w->Combo1->currentText(), "COM4");
    EXPECT_EQ(w->Combo2->currentIndex(), -1);
    EXPECT_EQ(w->Combo2->currentText(), "19200");
    // The operator can still choose a port and save.
    w->Combo1->setCurrentIndex(1);
    emit w->Combo1->activated(1);
    w->Combo2->setCurrentIndex(1);
    click(w->cmdCom);
    EXPECT_EQ(readSettings(), QByteArray("2,9600\r\n"));
}

TEST_F(StartUp, TooFewValuesOrARefusedPortFail) {
    loadWith("7\r\n");
    ASSERT_EQ(messages().size(), 1);
    EXPECT_EQ(messages()[0], "请检查串口端口,串口端口7无法打开!");
    EXPECT_EQ(w->txtStationID->text(), "2");

    boxes.shown.clear();
    window = std::make_unique<MainWindow>(port, boxes, dir.path());
    w = &window->context();
    loadWith("0,9600\r\n");
    ASSERT_EQ(messages().size(), 1);
    EXPECT_EQ(messages()[0], "请检查串口端口,串口端口0无法打开!");
    EXPECT_EQ(w->txtStationID->text(), "1"); // read before the port was refused
    EXPECT_FALSE(port.open);
}

TEST_F(StartUp, ValueBeyondSixteenBitsIsReportedHoweverWritten) {
    for (const char* content : {"4,40000\r\n", "4,1e20\r\n", "4,99999999999999999999\r\n"}) {
        SCOPED_TRACE(content);
        boxes.shown.clear();
        window = std::make_unique<MainWindow>(port, boxes, dir.path());
        w = &window->context();
        loadWith(content);
        EXPECT_EQ(messages(), QStringList{"请检查串口端口,串口端口4无法打开!"});
        EXPECT_FALSE(port.open);
        EXPECT_FALSE(w->CommReady);
    }
}

TEST_F(StartUp, PortBeyondTheListOpensNothing) {
    loadWith("20,9600\r\n");
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_FALSE(port.open);
    EXPECT_FALSE(w->CommReady);
    EXPECT_EQ(w->Combo1->currentIndex(), -1);
}

// Runs start-up with a guard: should it block, the guard unblocks it after the deadline,
// so the test fails instead of hanging. True when start-up ended on its own in time.
bool endsBeforeDeadline(MainWindow& window, const std::function<void()>& unblock) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false, blocked = false;
    std::thread guard([&] {
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(2), [&] { return done; })) {
            blocked = true;
            lock.unlock();
            unblock();
        }
    });
    window.load();
    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
    }
    cv.notify_one();
    guard.join();
    return !blocked;
}

TEST_F(StartUp, SettingsFileThatIsNoRegularFileIsUnreadable) {
    const QByteArray path = QFile::encodeName(settingsPath());
    int master = -1, slave = -1, listener = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const QString terminal = QString::fromLatin1(ptsname(master));
    struct Case {
        const char* what;
        std::function<void()> make;
        std::function<void()> unblock;
    };
    const std::vector<Case> cases = {
        {"named pipe", [&] { ASSERT_EQ(::mkfifo(path.constData(), 0600), 0); },
         [&] {
             // A writer that comes and goes ends a reader waiting in open or read.
             const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK);
             if (fd >= 0)
                 ::close(fd);
         }},
        {"link to a terminal", [&] { ASSERT_TRUE(QFile::link(terminal, settingsPath())); },
         [&] {
             ::close(master);
             master = -1;
         }},
        {"socket",
         [&] {
             listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un addr{};
             addr.sun_family = AF_UNIX;
             ASSERT_LT(path.size(), static_cast<int>(sizeof addr.sun_path));
             std::copy(path.begin(), path.end(), addr.sun_path);
             ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
             ::listen(listener, 1);
         },
         [] {}},
        {"link to /dev/zero", [&] { ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), settingsPath())); },
         [] {}},
        {"folder", [&] { ASSERT_TRUE(QDir().mkdir(settingsPath())); }, [] {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(path.constData());
        ::rmdir(path.constData());
        c.make();
        boxes.shown.clear();
        port.ops.clear();
        window = std::make_unique<MainWindow>(port, boxes, dir.path());
        w = &window->context();
        EXPECT_TRUE(endsBeforeDeadline(*window, c.unblock));
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].text, "请检查串口端口,串口端口0无法打开!");
        EXPECT_EQ(boxes.shown[0].title, "VQRN系统出错提示");
        EXPECT_FALSE(port.open);
        EXPECT_FALSE(w->CommReady);
        EXPECT_TRUE(port.ops.isEmpty());
    }
    if (master >= 0)
        ::close(master);
    ::close(slave);
    ::close(listener);
}

class PortChoice : public WindowTest {};

TEST_F(PortChoice, ReopensAtTheStoredRateEvenForTheSameEntry) {
    startOpen();
    w->Combo2->setCurrentIndex(2); // 14400 is applied only by a save
    w->Combo1->setCurrentIndex(1);
    emit w->Combo1->activated(1);
    EXPECT_EQ(port.port, 2);
    EXPECT_EQ(port.settings, "19200,N,8,1");
    EXPECT_EQ(w->CommNum, 2);
    EXPECT_TRUE(port.open);
    port.ops.clear();
    emit w->Combo1->activated(1);
    EXPECT_EQ(port.ops.first(), "close");
    EXPECT_TRUE(port.ops.contains("open"));
    EXPECT_EQ(readSettings(), QByteArray("4,19200\r\n"));
}

TEST_F(PortChoice, AFailedOpenStillSetsCommReady) {
    startOpen();
    port.openFails = true;
    w->CommReady = false;
    emit w->Combo1->activated(w->Combo1->currentIndex());
    EXPECT_FALSE(port.open);
    EXPECT_TRUE(w->CommReady);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(PortChoice, TypedTextChangesNothingEvenWithReturn) {
    startOpen();
    window->show();
    w->Combo1->lineEdit()->selectAll();
    QTest::keyClicks(w->Combo1->lineEdit(), QStringLiteral("COM5"));
    QTest::keyClick(w->Combo1->lineEdit(), Qt::Key_Return);
    QTest::keyClick(w->Combo1->lineEdit(), Qt::Key_Enter);
    EXPECT_TRUE(port.ops.isEmpty()) << port.ops;
    EXPECT_EQ(w->Combo1->currentIndex(), 3);
    EXPECT_EQ(w->Combo1->count(), 16);

    w->Combo2->lineEdit()->selectAll();
    QTest::keyClicks(w->Combo2->lineEdit(), QStringLiteral("9600"));
    QTest::keyClick(w->Combo2->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(w->Combo2->currentIndex(), 3);
    click(w->cmdCom);
    EXPECT_EQ(readSettings(), QByteArray("4,19200\r\n"));
}

TEST_F(PortChoice, ToolTipsFollowLinksInTheProgramFolder) {
    window->show();
    w->Combo1->showPopup();
    w->Combo1->hidePopup();
    EXPECT_EQ(w->Combo1->itemData(5, Qt::ToolTipRole).toString().section('\n', 0, 0), "/dev/ttyS5");
    const QString link = QDir(dir.path()).filePath(QStringLiteral("COM6"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), link));
    w->Combo1->showPopup();
    w->Combo1->hidePopup();
    EXPECT_TRUE(w->Combo1->itemData(5, Qt::ToolTipRole).toString().startsWith(link + " → /dev/null"));
}

TEST_F(PortChoice, NoSelectionClosesAndAsks) {
    startOpen();
    w->Combo1->setCurrentIndex(-1);
    emit w->Combo1->activated(-1);
    EXPECT_FALSE(port.open);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "请选择端口");
    EXPECT_EQ(boxes.shown[0].title, kAppTitle);
}

class SaveSettings : public WindowTest {};

TEST_F(SaveSettings, WritesExactlyTheLineAndReopens) {
    startOpen();
    w->Combo1->setCurrentIndex(1);
    w->Combo2->setCurrentIndex(1);
    click(w->cmdCom);
    EXPECT_EQ(readSettings().toHex(' '), QByteArray("32 2c 39 36 30 30 0d 0a"));
    EXPECT_EQ(port.settings, "9600,N,8,1");
    EXPECT_EQ(w->CommRate, 9600);
    EXPECT_TRUE(port.open);
    EXPECT_EQ(port.threshold, 1);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "串口设置保存成功");
    EXPECT_EQ(boxes.shown[0].title, "系统提示");
}

TEST_F(SaveSettings, TypedRateIsNeverUsed) {
    startOpen();
    w->Combo2->setCurrentIndex(-1);
    w->Combo2->setEditText(QStringLiteral("115200"));
    click(w->cmdCom);
    EXPECT_EQ(readSettings(), QByteArray("4,4800\r\n"));
}

TEST_F(SaveSettings, NoPortSelectedKeepsTheFile) {
    startOpen();
    w->Combo1->setCurrentIndex(-1);
    click(w->cmdCom);
    EXPECT_FALSE(port.open);
    EXPECT_EQ(messages(), QStringList{"请选择端口"});
    EXPECT_EQ(readSettings(), QByteArray("4,19200\r\n"));
}

TEST_F(SaveSettings, PortStillOpenWarnsAndWritesNothing) {
    startOpen();
    port.closeFails = true;
    w->Combo2->setCurrentIndex(0);
    click(w->cmdCom);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "所选的串行端口已被其他设备所使用!");
    EXPECT_EQ(boxes.shown[0].title, "系统信息");
    EXPECT_EQ(boxes.shown[0].icon, Icon::Warning);
    EXPECT_EQ(readSettings(), QByteArray("4,19200\r\n"));
}

TEST_F(SaveSettings, UnwritableFolderSavesInTheUserConfigFolder) {
    startOpen();
    QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    QFile probe(QDir(dir.path()).filePath("probe"));
    if (probe.open(QIODevice::WriteOnly)) {
        QFile::setPermissions(dir.path(),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        GTEST_SKIP() << "running with privileges that ignore folder permissions";
    }
    const QString own = QDir(userConfigDir()).filePath(QStringLiteral("comm.set"));
    QFile::remove(own);
    w->Combo2->setCurrentIndex(1);
    click(w->cmdCom);
    QFile::setPermissions(dir.path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    ASSERT_EQ(messages(), QStringList{QStringLiteral("串口设置保存成功")});
    EXPECT_EQ(readSettings(), QByteArray("4,19200\r\n")); // beside the program: as it was
    QFile saved(own);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), QByteArray("4,9600\r\n"));
    saved.remove();
}

// Works for root too: the setup program's uninstaller marks the folder as an installation.
TEST_F(SaveSettings, InstalledCopySavesInTheUserConfigFolder) {
    startOpen();
    QFile uninstaller(QDir(dir.path()).filePath(QStringLiteral("uninstall.exe")));
    ASSERT_TRUE(uninstaller.open(QIODevice::WriteOnly));
    uninstaller.close();
    const QString own = QDir(userConfigDir()).filePath(QStringLiteral("comm.set"));
    QFile::remove(own);
    w->Combo2->setCurrentIndex(1);
    click(w->cmdCom);
    ASSERT_EQ(messages(), QStringList{QStringLiteral("串口设置保存成功")});
    EXPECT_EQ(readSettings(), QByteArray("4,19200\r\n")); // beside the program: as shipped
    QFile saved(own);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), QByteArray("4,9600\r\n"));
    saved.remove();
}

TEST_F(SaveSettings, SettingsFileThatIsAFolderIsReported) {
    // Works for root too: a folder in the file's place cannot be replaced.
    startOpen();
    QFile::remove(settingsPath());
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("comm.set")));
    click(w->cmdCom);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_NE(boxes.shown[0].text, "串口设置保存成功");
    EXPECT_TRUE(boxes.shown[0].text.contains(QStringLiteral("comm.set")));
    EXPECT_TRUE(QFileInfo(settingsPath()).isDir());
}

class Receiver : public WindowTest {
protected:
    // Every field a decoding may write, with the text colours of the value boxes.
    QStringList decodedFields() const {
        QStringList f;
        for (int i = 0; i < 4; ++i)
            f << w->txtValue(i)->text() << w->txtValue(i)->palette().color(QPalette::Text).name();
        for (int i = 0; i < 7; ++i)
            f << w->txtsetValue(i)->text();
        f << w->txtRA->text() << w->txtRB->text() << w->txtSetID(0)->text() << w->txtSetID(1)->text()
          << w->txtStationID->text();
        return f;
    }

    // Value boxes in red, so that a decoding setting their colour shows.
    void paintValuesRed() {
        for (int i = 0; i < 4; ++i) {
            QPalette pal = w->txtValue(i)->palette();
            pal.setColor(QPalette::Text, Qt::red);
            w->txtValue(i)->setPalette(pal);
        }
    }

    // Delivers bytes that raise the receive event at once; they must be shown and counted.
    void deliverCounted(const QByteArray& reply) {
        const qint32 before = w->RxCount;
        port.threshold = 1;
        port.deliver(reply);
        EXPECT_EQ(w->RxCount, before + 1) << hexText(reply).toStdString();
        EXPECT_EQ(w->lblErrCounter->text(), QString::number(before + 1));
        EXPECT_EQ(w->txtState->toPlainText(), replyText(reply));
        EXPECT_TRUE(port.buffer.isEmpty());
    }
};

TEST_F(Receiver, ShowsCountsAndDecodesAMeasurement) {
    startOpen();
    click(w->comDoOnce);
    EXPECT_EQ(w->lampInFront(), w->ImgYellow);
    const qint32 before = w->RxCount;
    port.deliver(hex("02 03 04 0B B8 FF 38 0B 10"));
    EXPECT_EQ(w->txtState->toPlainText(), " 02 03 04 0B B8 FF 38 0B 10");
    EXPECT_EQ(w->txtState->toPlainText().size(), 27);
    EXPECT_EQ(w->RxCount, before + 1);
    EXPECT_EQ(w->lblErrCounter->text(), QString::number(before + 1));
    EXPECT_EQ(w->txtValue(0)->text(), "30.00");
    EXPECT_EQ(w->txtValue(1)->text(), "-02.00");
    EXPECT_EQ(w->lampInFront(), w->imgConnected);
    EXPECT_EQ(port.buffer.size(), 0);
}

TEST_F(Receiver, OnlySoundRepliesBecomeValuesUnderEveryCheckedDecoding) {
    startOpen();
    // Sends the request, then feeds it every reply that differs from the good one in a
    // single bit, every short frame of it and exception replies, before the good one
    // with bytes after it; decoded() reads the fields it must fill.
    const auto check = [&](QPushButton* request, const QByteArray& good,
                           const std::function<QStringList()>& decoded, const QStringList& expected) {
        click(request);
        paintValuesRed();
        // Whatever lamp is in front must stay there; green would come only from the receiver.
        w->bringToFront(w->ImgYellow);
        const QStringList before = decodedFields();

        std::vector<QByteArray> bad;
        for (int i = 0; i < good.size(); ++i) {
            for (int bit = 0; bit < 8; ++bit) {
                QByteArray flipped = good;
                flipped[i] = static_cast<char>(flipped[i] ^ (1 << bit));
                bad.push_back(flipped);
            }
            if (i > 0) bad.push_back(good.left(i));
        }
        bad.push_back(hex("01 83 03 01 31"));
        bad.push_back(hex("01 83 02 C0 F1"));
        bad.push_back(hex("FA 83 02 B1 00"));
        for (const QByteArray& reply : bad) {
            deliverCounted(reply);
            ASSERT_EQ(decodedFields(), before) << hexText(reply).toStdString();
            ASSERT_EQ(w->lampInFront(), w->ImgYellow) << hexText(reply).toStdString();
        }

        // Bytes after a sound frame are shown and ignored.
        deliverCounted(good + hex("AA 55"));
        EXPECT_EQ(decoded(), expected);
        EXPECT_EQ(w->lampInFront(), w->imgConnected);

        // A bad reply after a good one leaves the green lamp and the values.
        const QStringList after = decodedFields();
        deliverCounted(bad.front());
        EXPECT_EQ(decodedFields(), after);
        EXPECT_EQ(w->lampInFront(), w->imgConnected);
    };

    {
        SCOPED_TRACE("measurement");
        const auto values = [&] { return QStringList{w->txtValue(0)->text(), w->txtValue(1)->text()}; };
        check(w->comDoOnce, hex("02 03 04 0B B8 FF 38 0B 10"), values, {"30.00", "-02.00"});
    }
    {
        SCOPED_TRACE("parameter read");
        const auto parameter = [&] { return QStringList{w->txtsetValue(3)->text()}; };
        check(w->cmdREAD(3), hex("01 03 02 27 10 A2 78"), parameter, {"10000"});
    }
    {
        SCOPED_TRACE("resistance read");
        const auto resistance = [&] { return QStringList{w->txtRA->text()}; };
        check(w->cmdRead0, hex("01 03 02 36 1A 2E 2F"), resistance, {"138.50"});
    }
    {
        SCOPED_TRACE("address read");
        const auto address = [&] { return QStringList{w->txtSetID(0)->text(), w->txtStationID->text()}; };
        check(w->cmdReadAdd, hex("05 03 02 00 05 89 87"), address, {"5", "5"});
    }
}

TEST_F(Receiver, ExceptionAnsweringAnEmptyReadIsNoMeasurement) {
    startOpen();
    w->txtDataLength->setText("0");
    click(w->comDoOnce);
    ASSERT_EQ(port.threshold, 5);
    const QString moisture = w->txtValue(0)->text();
    port.deliver(hex("01 83 03 01 31"));
    EXPECT_EQ(w->txtState->toPlainText(), " 01 83 03 01 31");
    EXPECT_EQ(w->txtValue(0)->text(), moisture);
    EXPECT_EQ(w->lampInFront(), w->ImgYellow);
    // The sound answer to the same request: no registers, nothing to show, lamp green.
    port.deliver(hex("01 03 00 20 F0"));
    EXPECT_EQ(w->txtValue(0)->text(), moisture);
    EXPECT_EQ(w->lampInFront(), w->imgConnected);
}

TEST_F(Receiver, ShortSoundFramesNeverReadTheirCrcAsData) {
    startOpen();
    click(w->cmdREAD(3));
    const QString kept = w->txtsetValue(3)->text();
    // Sound frames (their CRCs match) announcing 0 and 1 data bytes: a register read
    // needs two, so the field keeps its text instead of showing CRC bytes.
    port.deliver(hex("01 03 00 20 F0"));
    EXPECT_EQ(w->txtsetValue(3)->text(), kept);
    port.deliver(hex("01 03 01 05 30 4B"));
    EXPECT_EQ(w->txtsetValue(3)->text(), kept);
    EXPECT_EQ(w->lampInFront(), w->imgConnected);
    port.deliver(hex("01 03 02 27 10 A2 78"));
    EXPECT_EQ(w->txtsetValue(3)->text(), "10000");
}

TEST_F(Receiver, OtherNotificationsAreOnlyCounted) {
    startOpen();
    w->txtState->setPlainText(QStringLiteral("kept"));
    w->bringToFront(w->ImgYellow);
    port.buffer = hex("01 03 02 00 10");
    port.notify(comEvCD);
    EXPECT_EQ(w->RxCount, 1);
    EXPECT_EQ(w->lblErrCounter->text(), "1");
    EXPECT_EQ(w->txtState->toPlainText(), "kept");
    EXPECT_EQ(w->lampInFront(), w->ImgYellow);
    EXPECT_EQ(port.buffer.size(), 5);
}

TEST_F(Receiver, WriteRepliesAreShownOnlyAndCountStopsAtItsMaximum) {
    startOpen();
    w->CmdType = 3;
    w->RxCount = 2147483647;
    w->bringToFront(w->ImgYellow);
    const QString before = w->txtValue(0)->text();
    port.deliver(hex("01 03 04 0B B8 FF 38"));
    EXPECT_EQ(w->RxCount, 2147483647);
    EXPECT_EQ(w->lblErrCounter->text(), "2147483647");
    EXPECT_EQ(w->txtValue(0)->text(), before);
    EXPECT_EQ(w->txtState->toPlainText(), " 01 03 04 0B B8 FF 38");
    // Write replies are not checked: any reply brings the green lamp.
    EXPECT_EQ(w->lampInFront(), w->imgConnected);
}

TEST_F(Receiver, RepeatedNotificationsDecodeAgain) {
    startOpen();
    click(w->comDoOnce);
    port.deliver(hex("01 03 04 0B B8 00 00 78 32"));
    EXPECT_EQ(w->txtValue(0)->text(), "30.00");
    port.deliver(hex("01 03 04 0F A0 00 00 F9 05"));
    EXPECT_EQ(w->txtValue(0)->text(), "40.00");
    EXPECT_EQ(w->txtState->toPlainText(), " 01 03 04 0F A0 00 00 F9 05");
}

// A request equal to the one shown is not set again, yet the box must end as setting it
// leaves it: whatever the operator did in it (cursor, selection, an edit typed and
// taken back, its undo history) is gone.
TEST_F(Receiver, ARepeatedRequestLeavesTheCommandBoxAsSettingItWould) {
    startOpen();
    click(w->comDoOnce);
    const QString request = w->txtCommand->text();
    ASSERT_FALSE(request.isEmpty());
    const auto expectFresh = [&](const char* after) {
        SCOPED_TRACE(after);
        EXPECT_EQ(w->txtCommand->text(), request);
        EXPECT_EQ(w->txtCommand->cursorPosition(), request.size());
        EXPECT_FALSE(w->txtCommand->hasSelectedText());
        EXPECT_FALSE(w->txtCommand->isUndoAvailable());
        EXPECT_FALSE(w->txtCommand->isRedoAvailable());
        EXPECT_FALSE(w->txtCommand->isModified());
    };
    expectFresh("first request");

    w->txtCommand->setCursorPosition(2);
    click(w->comDoOnce);
    expectFresh("cursor moved");

    w->txtCommand->setSelection(1, 4);
    click(w->comDoOnce);
    expectFresh("text selected");

    w->txtCommand->insert(QStringLiteral("x"));
    w->txtCommand->undo();
    ASSERT_EQ(w->txtCommand->text(), request);
    ASSERT_TRUE(w->txtCommand->isRedoAvailable());
    click(w->comDoOnce);
    expectFresh("edit taken back");

    w->txtCommand->end(false);
    w->txtCommand->backspace();
    w->txtCommand->insert(request.right(1));
    ASSERT_EQ(w->txtCommand->text(), request);
    click(w->comDoOnce);
    expectFresh("same text typed again");
}

// A value painted again in the colour it already has stays that colour, and a box
// coloured otherwise between two replies still turns black.
TEST_F(Receiver, ValueColourIsSetWhenItDiffers) {
    startOpen();
    for (int round = 0; round < 2; ++round) {
        paintValuesRed();
        click(w->comDoOnce);
        port.deliver(hex("01 03 04 0B B8 00 00 78 32"));
        EXPECT_EQ(w->txtValue(0)->palette().color(QPalette::Text), QColor(Qt::black));
        click(w->comDoOnce);
        port.deliver(hex("01 03 04 0F A0 00 00 F9 05"));
        EXPECT_EQ(w->txtValue(0)->text(), "40.00");
        EXPECT_EQ(w->txtValue(0)->palette().color(QPalette::Text), QColor(Qt::black));
    }
}

TEST_F(SaveSettings, ReadOnlyProgramFolderSavesInTheUserConfigFolderAndStartUpReadsItBack) {
    // /proc takes no new files, whoever asks. The save has to make the user's folder.
    const QString own = QDir(userConfigDir()).filePath(QStringLiteral("comm.set"));
    ASSERT_TRUE(QDir(userConfigDir()).removeRecursively());
    ASSERT_FALSE(QFileInfo::exists(userConfigDir()));
    window = std::make_unique<MainWindow>(port, boxes, QStringLiteral("/proc"));
    w = &window->context();
    window->load();
    EXPECT_FALSE(w->CommReady); // no comm.set anywhere yet
    boxes.shown.clear();
    w->Combo1->setCurrentIndex(2);
    w->Combo2->setCurrentIndex(3);
    click(w->cmdCom);
    ASSERT_EQ(messages(), QStringList{QStringLiteral("串口设置保存成功")});
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/proc/comm.set")));
    QFile saved(own);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), QByteArray("3,19200\r\n"));

    // The next start reads it from there.
    port = FakeComm{};
    boxes.shown.clear();
    window = std::make_unique<MainWindow>(port, boxes, QStringLiteral("/proc"));
    w = &window->context();
    window->load();
    EXPECT_TRUE(boxes.shown.empty()) << messages().join(' ').toStdString();
    EXPECT_EQ(w->Combo1->currentIndex(), 2);
    EXPECT_EQ(w->Combo2->currentIndex(), 3);
    EXPECT_TRUE(port.open);
    EXPECT_EQ(port.port, 3);
    QFile::remove(own);
}

TEST(CommSetPlace, BesideTheProgramUnlessItsFolderTakesNoFiles) {
    const auto paths = [](bool takesFiles, const QString& config) {
        const CommSetPaths p = commSetPaths(QStringLiteral("/opt/kv/bin"), config, takesFiles);
        return p.read + QLatin1Char('|') + p.write;
    };
    QTemporaryDir config;
    EXPECT_EQ(paths(true, config.path()), "/opt/kv/bin/comm.set|/opt/kv/bin/comm.set");
    // Until the user has a file of his own, the one beside the program is read.
    const QString own = QDir(config.path()).filePath(QStringLiteral("comm.set"));
    EXPECT_EQ(paths(false, config.path()), "/opt/kv/bin/comm.set|" + own);
    QFile f(own);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    EXPECT_EQ(paths(false, config.path()), own + QLatin1Char('|') + own);
    EXPECT_EQ(paths(true, config.path()), "/opt/kv/bin/comm.set|/opt/kv/bin/comm.set");
    EXPECT_EQ(paths(false, QString()), "/opt/kv/bin/comm.set|/opt/kv/bin/comm.set");
    EXPECT_FALSE(folderTakesFiles(QStringLiteral("/proc")));
    EXPECT_TRUE(folderTakesFiles(config.path()));
    EXPECT_EQ(QDir(config.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("comm.set")});
}

// A copy the setup program or a package installed keeps its settings in the user's folder
// even where its folder takes files (a per-user installation, or root under /usr); a
// portable copy keeps them beside it.
TEST(CommSetPlace, BesideOnlyForAWritableCopyWithoutAnUninstaller) {
    QTemporaryDir portable, installed;
    QFile uninstaller(QDir(installed.path()).filePath(QStringLiteral("uninstall.exe")));
    ASSERT_TRUE(uninstaller.open(QIODevice::WriteOnly));
    uninstaller.close();
    const struct {
        QString dir;
        bool beside;
    } cases[] = {{portable.path(), true},
                 {installed.path(), false},
                 {QStringLiteral("/proc"), false},
                 {QStringLiteral("/usr/bin"), false}};
    for (const auto& c : cases)
        EXPECT_EQ(keepsSettingsBeside(c.dir), c.beside) << c.dir.toStdString();
}

// The read path alone, as start-up takes it, is the one commSetPaths gives.
TEST(CommSetPlace, ReadPathAgreesWithThePairInEveryCase) {
    QTemporaryDir writable, installed, config;
    QFile uninstaller(QDir(installed.path()).filePath(QStringLiteral("uninstall.exe")));
    ASSERT_TRUE(uninstaller.open(QIODevice::WriteOnly));
    uninstaller.close();
    const QString own = QDir(config.path()).filePath(QStringLiteral("comm.set"));
    for (const bool userHasOwn : {false, true}) {
        if (userHasOwn) {
            QFile f(own);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        }
        for (const QString& program : {writable.path(), installed.path(), QStringLiteral("/proc")}) {
            for (const QString& configDir : {config.path(), QString()}) {
                EXPECT_EQ(commSetReadPath(program, configDir),
                          commSetPaths(program, configDir, keepsSettingsBeside(program)).read)
                    << program.toStdString() << " " << configDir.toStdString() << " " << userHasOwn;
            }
        }
    }
    EXPECT_EQ(commSetReadPath(QStringLiteral("/proc"), config.path()), own);
    EXPECT_EQ(commSetReadPath(installed.path(), config.path()), own);
}
