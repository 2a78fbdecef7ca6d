// The window on a small screen, the address sentence, the wheel, what assistive technology
// reads, and the look on a dark desktop.
#include "app/appearance.h"
#include "look/palette.h"
#include "monitor/monitorwindow.h"
#include "serial/portinfo.h"
#include "serial/qtserialcomm.h"
#include "support/windowfixture.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAccessible>
#include <QComboBox>
#include <QDirIterator>
#include <QFile>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRawFont>
#include <QScrollArea>
#include <QScrollBar>
#include <QSet>
#include <QTextLayout>
#include <QWheelEvent>

#include <QtTest/QTest>
#include <QtTest/qtestspontaneevent.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kv;
using namespace kv::test;

namespace {

// The rectangle of a control in the scroll area's viewport coordinates.
QRect inViewport(QScrollArea* area, QWidget* control) {
    return QRect(control->mapTo(area->viewport(), QPoint(0, 0)), control->size());
}

// A wheel turn as the window system delivers it, so that it travels up to the parents.
void wheel(QWidget* target, int steps) {
    const QPoint at = target->rect().center();
    QWheelEvent e(at, target->mapToGlobal(at), QPoint(), QPoint(0, -120 * steps), Qt::NoButton,
                  Qt::NoModifier, Qt::NoScrollPhase, false);
    QSpontaneKeyEvent::setSpontaneous(&e);
    qApp->notify(target, &e); // sendEvent would clear the spontaneous mark
}

} // namespace

class SmallScreen : public WindowTest {
protected:
    void showAt(QSize client) {
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        window->resize(client.width() + bar()->sizeHint().width(), client.height());
        QTRY_COMPARE(window->scrollArea()->viewport()->height(), client.height());
        QApplication::processEvents();
    }
    QScrollBar* bar() const { return window->scrollArea()->verticalScrollBar(); }
    QScrollArea* area() const { return window->scrollArea(); }
};

TEST_F(SmallScreen, DesignedRegionWithABarBesideIt) {
    for (const int height : {522, 700}) {
        showAt(QSize(1021, height));
        EXPECT_EQ(area()->viewport()->size(), QSize(1021, height));
        ASSERT_TRUE(bar()->isVisible()) << height;
        // The bar lies right of the designed region: it covers no control.
        const QRect barRect(bar()->mapTo(window.get(), QPoint(0, 0)), bar()->size());
        EXPECT_GE(barRect.left(), 1021);
        for (QWidget* control : area()->widget()->findChildren<QWidget*>()) {
            if (!control->isVisible()) continue;
            EXPECT_FALSE(
                QRect(control->mapTo(window.get(), QPoint(0, 0)), control->size()).intersects(barRect))
                << control->objectName().toStdString();
        }
        // At the top the designed arrangement is where it was.
        EXPECT_EQ(inViewport(area(), w->Frame10).topLeft(), QPoint(8, 8));
        EXPECT_FALSE(area()->viewport()->rect().contains(inViewport(area(), w->frame3)));

        // Scrolled down, the calibration group and the maker's line are in view whole.
        bar()->setValue(bar()->maximum());
        EXPECT_TRUE(area()->viewport()->rect().contains(inViewport(area(), w->frame3))) << height;
        EXPECT_TRUE(area()->viewport()->rect().contains(inViewport(area(), w->Label4))) << height;
        bar()->setValue(0);
    }
}

TEST_F(SmallScreen, TallEnoughNeedsNoBar) {
    showAt(QSize(1021, 960));
    EXPECT_FALSE(bar()->isVisible());
    EXPECT_EQ(inViewport(area(), w->frame3).topLeft(), QPoint(96, 752));
    EXPECT_EQ(inViewport(area(), w->Frame1).topLeft(), QPoint(8, 400));
}

TEST_F(SmallScreen, WheelScrollsTheReplyBoxOverItAndTheWindowElsewhere) {
    showAt(QSize(1021, 522));
    QStringList lines;
    for (int i = 0; i < 60; ++i)
        lines << QStringLiteral(" 01 03 04 %1").arg(i);
    w->txtState->setPlainText(lines.join(QLatin1Char('\n')));
    w->txtState->verticalScrollBar()->setValue(0);

    wheel(w->txtState->viewport(), 1);
    EXPECT_GT(w->txtState->verticalScrollBar()->value(), 0);
    EXPECT_EQ(bar()->value(), 0);
    // At its end the box keeps the wheel: the window does not jump.
    w->txtState->verticalScrollBar()->setValue(w->txtState->verticalScrollBar()->maximum());
    wheel(w->txtState->viewport(), 1);
    EXPECT_EQ(bar()->value(), 0);

    wheel(w->Frame7, 1);
    EXPECT_GT(bar()->value(), 0);
    // A single-line box has nothing to scroll: the window scrolls.
    const int before = bar()->value();
    wheel(w->txtsetValue(0), 1);
    EXPECT_GT(bar()->value(), before);

    // Over the port list the window scrolls and the port stays; once chosen, the list turns.
    bar()->setValue(0);
    w->Combo1->setCurrentIndex(3);
    wheel(w->Combo1, 1);
    EXPECT_GT(bar()->value(), 0);
    EXPECT_EQ(w->Combo1->currentIndex(), 3);
    w->Combo1->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->Combo1->hasFocus(); }, 2000));
    const int scrolled = bar()->value();
    wheel(w->Combo1, 1);
    EXPECT_EQ(w->Combo1->currentIndex(), 4);
    EXPECT_EQ(bar()->value(), scrolled);
}

class DesignedWindowText : public WindowTest {};

TEST_F(DesignedWindowText, AddressSentenceLeavesRoomForItsBox) {
    QLabel* sentence = w->Label2(7);
    EXPECT_EQ(sentence->text(), QStringLiteral("将地址       改为"));
    // Columns of the label drawn alone that carry ink, in the group's coordinates.
    const QImage image = sentence->grab().toImage();
    std::vector<int> inked;
    for (int x = 0; x < image.width(); ++x) {
        for (int y = 0; y < image.height(); ++y) {
            if (qGray(image.pixel(x, y)) < 128) {
                inked.push_back(sentence->x() + x);
                break;
            }
        }
    }
    ASSERT_FALSE(inked.empty());
    // The widest gap between inked columns is the blanks; "改" starts after it.
    std::size_t gapAt = 0;
    for (std::size_t i = 1; i < inked.size(); ++i)
        if (inked[i] - inked[i - 1] > inked[gapAt + 1] - inked[gapAt]) gapAt = i - 1;
    const QRect box = w->txtSetID(0)->geometry();
    EXPECT_LT(inked[gapAt], box.left()) << "将地址 runs under the box";
    EXPECT_GT(inked[gapAt + 1], box.right()) << "改 starts under the box";
    EXPECT_LT(inked.back(), w->txtSetID(1)->x());
}

// Port-list tips that say why a port cannot be opened.
class PortTips : public WindowTest {
protected:
    QString path(const char* name) const { return QDir(dir.path()).filePath(QString::fromLatin1(name)); }
};

TEST_F(PortTips, AMissingDeviceOrDanglingLinkIsNamed) {
    const PortFacts gone = portFacts(path("no-such-device"));
    EXPECT_EQ(gone.problem, PortFacts::Problem::Missing);
    EXPECT_TRUE(portToolTip(gone).contains(QStringLiteral("设备不存在")));

    ASSERT_TRUE(QFile::link(path("unplugged"), path("COM7")));
    const QString tip = portToolTips(16, dir.path()).at(6);
    EXPECT_TRUE(
        tip.contains(path("COM7") + QStringLiteral(" → ") + path("unplugged") + QStringLiteral(" 已失效")))
        << tip.toStdString();
}

TEST_F(PortTips, NoPermissionGivesTheGroupAndTheExactFix) {
    // The reasoning, for any user: a device this user may not open.
    PortProbe probe = PortProbe::system();
    probe.mayOpen = [](const QString&) { return false; };
    probe.groupOf = [](const QString&) { return QStringLiteral("uucp"); };
    const PortFacts facts = portFacts(QStringLiteral("/dev/null"), probe);
    EXPECT_EQ(facts.problem, PortFacts::Problem::NoPermission);
    const QStringList lines = portToolTip(facts).split(QLatin1Char('\n'));
    EXPECT_EQ(lines.front(), "/dev/null");
    EXPECT_TRUE(lines.contains(QStringLiteral("sudo usermod -aG uucp $USER")))
        << lines.join('|').toStdString();
    EXPECT_TRUE(lines.back().contains(QStringLiteral("重新登录")));
    // A group that may not read and write the device is no fix: a udev rule or its owner is.
    probe.groupOf = [](const QString&) { return QString(); };
    const QString noGroup = portToolTip(portFacts(QStringLiteral("/dev/null"), probe));
    EXPECT_TRUE(noGroup.contains(QStringLiteral("udev")) && !noGroup.contains(QStringLiteral("usermod")))
        << noGroup.toStdString();

    // And the system's own check, with a file of mode 000 standing in for the device.
    QFile stand(path("ttyUSB9"));
    ASSERT_TRUE(stand.open(QIODevice::WriteOnly));
    stand.close();
    ASSERT_TRUE(QFile::setPermissions(stand.fileName(), QFileDevice::Permissions()));
    if (::geteuid() == 0) GTEST_SKIP() << "root may open any file";
    const PortFacts real = portFacts(stand.fileName());
    EXPECT_EQ(real.problem, PortFacts::Problem::NoPermission);
    EXPECT_FALSE(real.group.isEmpty());
}

TEST_F(PortTips, ABusyDeviceNamesItsHolder) {
    int master = -1, slave = -1;
    char name[256] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    ASSERT_TRUE(QFile::link(QString::fromLatin1(name), path("COM3")));
    EXPECT_EQ(portFacts(path("COM3")).problem, PortFacts::Problem::None);
    {
        QtSerialComm holder(dir.path());
        ASSERT_TRUE(holder.setCommPort(3));
        ASSERT_TRUE(holder.setPortOpen(true));
        const PortFacts facts = portFacts(path("COM3"));
        EXPECT_EQ(facts.problem, PortFacts::Problem::Busy);
        EXPECT_TRUE(facts.holder.contains(QStringLiteral("PID %1").arg(QCoreApplication::applicationPid())))
            << facts.holder.toStdString();
        // The list shows it when it opens.
        window->show();
        w->Combo1->showPopup();
        w->Combo1->hidePopup();
        const QString tip = w->Combo1->itemData(2, Qt::ToolTipRole).toString();
        EXPECT_TRUE(tip.startsWith(path("COM3") + QStringLiteral(" → ") + QString::fromLatin1(name)));
        EXPECT_TRUE(tip.contains(QStringLiteral("正被"))) << tip.toStdString();
    }
    // Released, the port is free again.
    EXPECT_EQ(portFacts(path("COM3")).problem, PortFacts::Problem::None);
    ::close(slave);
    ::close(master);

    // A lock naming a live process of another user means busy; one naming a process that is
    // gone is stale. Judged by an unprivileged user, to whom PID 1 belongs to someone else.
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ASSERT_GT(gone, 0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    struct Case {
        qint64 pid;
        bool busy;
    };
    for (const Case c : {Case{1, true}, Case{gone, false}}) {
        const QString device =
            QStringLiteral("/dev/kvtest-%1-%2").arg(QCoreApplication::applicationPid()).arg(c.pid);
        QFile lock(
            QStringLiteral("/tmp/LCK..kvtest-%1-%2").arg(QCoreApplication::applicationPid()).arg(c.pid));
        ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
        lock.write(QByteArray::number(c.pid) + "\ninit\n" + QSysInfo::machineHostName().toUtf8() + "\n");
        lock.close();
        int answer[2];
        ASSERT_EQ(::pipe(answer), 0);
        const pid_t judge = ::fork();
        if (judge == 0) {
            char verdict = 'S'; // skipped: no unprivileged user to become
            if (::geteuid() != 0 || (::setgid(65534) == 0 && ::setuid(65534) == 0))
                verdict = PortProbe::system().lockHolder(device).isEmpty() ? 'F' : 'B';
            (void)!::write(answer[1], &verdict, 1);
            ::_exit(0);
        }
        ::close(answer[1]);
        char verdict = 0;
        EXPECT_EQ(::read(answer[0], &verdict, 1), 1);
        ::close(answer[0]);
        ::waitpid(judge, nullptr, 0);
        lock.remove();
        if (verdict == 'S') GTEST_SKIP() << "no unprivileged user to judge the lock as";
        EXPECT_EQ(verdict, c.busy ? 'B' : 'F') << "lock naming PID " << c.pid;
    }
}

TEST_F(PortTips, LinksInTheUserConfigFolderCountAfterTheProgramFolder) {
    QDir().mkpath(userConfigDir());
    const QString own = QDir(userConfigDir()).filePath(QStringLiteral("COM12"));
    QFile::remove(own);
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), own));
    EXPECT_EQ(deviceForPort(12, dir.path()), own);
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), path("COM12")));
    EXPECT_EQ(deviceForPort(12, dir.path()), path("COM12"));
    QFile::remove(own);
}

// What the window shows is what assistive technology reads.
class Accessible : public WindowTest {};

// Assistive technology switched on, as a screen reader's arrival does, for one test.
struct AssistiveTechnology {
    AssistiveTechnology() { QAccessible::setActive(true); }
    ~AssistiveTechnology() { QAccessible::setActive(false); }
};

TEST_F(Accessible, TheReplyBoxReadsTheReplyShownWhateverItsLength) {
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    startOpen();
    // A reply shown before a screen reader starts is read once it has.
    w->comDoOnce->click();
    port.threshold = 1;
    port.deliver(QByteArray::fromHex("010304092909690000"));
    AssistiveTechnology on;
    EXPECT_EQ(QAccessible::queryAccessibleInterface(w->txtState)->text(QAccessible::Value),
              QStringLiteral(" 01 03 04 09 29 09 69 00 00"));

    QString garbage;
    for (int i = 0; i < 200; ++i)
        garbage += QStringLiteral(" A5");
    struct Case {
        QByteArray reply;
        QString shown;
    };
    const Case cases[] = {
        {QByteArray::fromHex("0203040BB8FF380B10"), QStringLiteral(" 02 03 04 0B B8 FF 38 0B 10")},
        {QByteArray::fromHex("FF"), QStringLiteral(" FF")},
        {QByteArray(200, '\xA5'), garbage},
    };
    for (const Case& c : cases) {
        w->comDoOnce->click();
        QAccessibleInterface* request = QAccessible::queryAccessibleInterface(w->txtCommand);
        ASSERT_NE(request, nullptr);
        EXPECT_EQ(request->text(QAccessible::Value), QStringLiteral("01 03 00 00 00 02 C4 0B "));
        port.threshold = 1;
        port.deliver(c.reply);
        ASSERT_EQ(w->txtState->toPlainText(), c.shown);
        QAccessibleInterface* reply = QAccessible::queryAccessibleInterface(w->txtState);
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(reply->text(QAccessible::Name), QStringLiteral("接收命令:"));
        EXPECT_EQ(reply->text(QAccessible::Value), c.shown);
        // A screen reader reads it through the text interface too.
        ASSERT_NE(reply->textInterface(), nullptr);
        EXPECT_EQ(reply->textInterface()->text(0, reply->textInterface()->characterCount()), c.shown);
    }
}

// With assistive technology on, the box still paints a reply itself. A screen reader's
// review cursor finds each character where the box shows it, the same painted or in the
// document; selecting through it gives the operator's selection. (That a screen reader
// hears of every reply is checked over AT-SPI: Accessible.ScreenReaderHearsEveryReply.)
TEST_F(Accessible, TheReplyBoxPlacesEachCharacterWhereItIsShown) {
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    AssistiveTechnology on;
    const QString reply = QStringLiteral(" 01 03 04 0B B8 FF 38 0B 10");
    w->txtState->setPlainText(reply);
    ASSERT_TRUE(w->txtState->document()->isEmpty());
    QAccessibleTextInterface* text = QAccessible::queryAccessibleInterface(w->txtState)->textInterface();
    ASSERT_NE(text, nullptr);
    std::vector<QRect> painted;
    for (int i = 0; i < reply.size(); ++i)
        painted.push_back(text->characterRect(i));
    static_cast<ReplyBox*>(w->txtState)->toDocument();
    ASSERT_EQ(w->txtState->document()->toPlainText(), reply);
    const QRect box(w->txtState->viewport()->mapToGlobal(QPoint(0, 0)), w->txtState->viewport()->size());
    for (int i = 0; i < reply.size(); ++i) {
        EXPECT_EQ(painted[i], text->characterRect(i)) << i;
        EXPECT_TRUE(box.contains(painted[i])) << i;
        if (!reply[i].isSpace()) {
            EXPECT_EQ(text->offsetAtPoint(painted[i].center()), i) << i;
        }
    }
    w->txtState->setPlainText(reply); // painted again
    text->setSelection(0, 4, 9);
    EXPECT_EQ(w->txtState->textCursor().selectedText(), QStringLiteral("03 04"));
    EXPECT_EQ(text->selectionCount(), 1);
}

TEST_F(Accessible, EveryNamedControlReadsItsText) {
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    int checked = 0;
    for (QWidget* control : window->findChildren<QWidget*>()) {
        if (control->objectName().isEmpty()) continue;
        QString shown;
        QAccessible::Text role = QAccessible::Name;
        if (auto* l = qobject_cast<QLabel*>(control)) {
            shown = l->text();
        } else if (auto* b = qobject_cast<QAbstractButton*>(control)) {
            shown = b->text();
        } else if (auto* g = qobject_cast<QGroupBox*>(control)) {
            shown = g->title();
        } else if (auto* e = qobject_cast<QLineEdit*>(control)) {
            if (qobject_cast<QComboBox*>(e->parentWidget())) continue; // read as its list's value
            shown = e->text();
            role = QAccessible::Value;
        } else if (auto* c = qobject_cast<QComboBox*>(control)) {
            shown = c->currentText();
            role = QAccessible::Value;
        } else {
            continue;
        }
        if (shown.isEmpty()) continue; // the lamps: pictures with a tool tip
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(control);
        ASSERT_NE(a, nullptr) << control->objectName().toStdString();
        EXPECT_EQ(a->text(role), shown) << control->objectName().toStdString();
        ++checked;
    }
    EXPECT_GT(checked, 80); // every label, box, button, group and list of the design
}

// A dark desktop gives the application a dark palette; the designed window and the
// monitor keep the light one their colours were chosen for.
namespace {

QPalette darkDesktop() {
    QPalette p(QColor(53, 53, 53));
    p.setColor(QPalette::WindowText, QColor(238, 238, 236));
    p.setColor(QPalette::Base, QColor(45, 45, 45));
    p.setColor(QPalette::AlternateBase, QColor(60, 60, 60));
    p.setColor(QPalette::Text, QColor(238, 238, 236));
    p.setColor(QPalette::Button, QColor(60, 60, 60));
    p.setColor(QPalette::ButtonText, QColor(238, 238, 236));
    p.setColor(QPalette::PlaceholderText, QColor(150, 150, 150));
    p.setColor(QPalette::ToolTipBase, QColor(30, 30, 30));
    p.setColor(QPalette::ToolTipText, QColor(238, 238, 236));
    p.setColor(QPalette::Highlight, QColor(21, 83, 158));
    return p;
}

struct DarkDesktop {
    QPalette before = QApplication::palette();
    DarkDesktop() { QApplication::setPalette(darkDesktop()); }
    ~DarkDesktop() { QApplication::setPalette(before); }
};

QImage shot(QWidget* window) {
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window));
    return window->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

int differingPixels(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) return a.width() * a.height();
    int n = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            n += a.pixel(x, y) != b.pixel(x, y);
    return n;
}

} // namespace

// On a light desktop nothing changes: the palette written out is Qt's own light one, role
// for role, so every pixel stays where it was.
TEST(LightDesktop, TheWrittenOutPaletteIsQtsOwn) {
    const QPalette own = QApplication::palette();
    const QPalette light = lightPalette();
    for (int g = 0; g < QPalette::NColorGroups; ++g)
        for (int r = 0; r < QPalette::NColorRoles; ++r) {
            if (r == QPalette::NoRole) continue;
            const auto group = static_cast<QPalette::ColorGroup>(g);
            const auto role = static_cast<QPalette::ColorRole>(r);
            EXPECT_EQ(light.color(group, role).name(QColor::HexArgb),
                      own.color(group, role).name(QColor::HexArgb))
                << "group " << g << " role " << r;
        }
}

TEST(DarkDesktop, TheDesignedWindowLooksAsOnALightDesktop) {
    FakeComm port;
    RecordingBoxes boxes;
    QTemporaryDir dir;
    MainWindow light(port, boxes, dir.path());
    const QImage lightShot = shot(&light);
    light.hide();

    DarkDesktop desktop;
    QLineEdit stranger; // a control of no designed window: it takes the desktop's colours
    EXPECT_EQ(stranger.palette().color(QPalette::Base).name(), QColor(45, 45, 45).name());
    MainWindow dark(port, boxes, dir.path());
    Window& w = dark.context();
    // The group titles, text boxes, reply box, lists and buttons in the designed colours.
    EXPECT_EQ(w.Frame10->palette().color(QPalette::WindowText).name(), QColor(Qt::black).name());
    EXPECT_EQ(w.Frame1->palette().color(QPalette::Window).name(), QColor(224, 224, 224).name());
    EXPECT_EQ(w.txtState->palette().color(QPalette::Base).name(), QColor(Qt::white).name());
    EXPECT_EQ(w.txtState->palette().color(QPalette::Text).name(), QColor(Qt::black).name());
    EXPECT_EQ(w.Combo1->palette().color(QPalette::Base).name(), QColor(Qt::white).name());
    EXPECT_EQ(w.Combo1->view()->palette().color(QPalette::Text).name(), QColor(Qt::black).name())
        << "its open list";
    EXPECT_EQ(w.cmdOneM->palette().color(QPalette::ButtonText).name(), QColor(Qt::black).name());
    EXPECT_EQ(w.Label2(13)->palette().color(QPalette::WindowText).name(), QColor(255, 0, 0).name());
    EXPECT_EQ(differingPixels(shot(&dark), lightShot), 0);
}

TEST(DarkDesktop, TheMonitorKeepsTheLightLookToo) {
    FakeComm port;
    RecordingBoxes boxes;
    QTemporaryDir dir;
    MainWindow window(port, boxes, dir.path());
    mon::Monitor lightMonitor(port, mon::windowMaker());
    lightMonitor.show();
    const QPalette lightPalette = windowOf(lightMonitor)->palette();

    DarkDesktop desktop;
    mon::Monitor darkMonitor(port, mon::windowMaker());
    darkMonitor.show();
    auto* table = windowOf(darkMonitor)->findChild<QWidget*>(QStringLiteral("traffic"));
    auto* pause = windowOf(darkMonitor)->findChild<QWidget*>(QStringLiteral("pause"));
    ASSERT_NE(table, nullptr);
    ASSERT_NE(pause, nullptr);
    for (const QWidget* control : std::initializer_list<const QWidget*>{windowOf(darkMonitor), table, pause})
        for (const QPalette::ColorRole role : {QPalette::Window, QPalette::WindowText, QPalette::Base,
                                               QPalette::Text, QPalette::Button, QPalette::ButtonText})
            EXPECT_EQ(control->palette().color(role).name(), lightPalette.color(role).name())
                << control->objectName().toStdString() << " role " << role;
}

// The window's compiled face holds every character its sources write (app/fonts/make-subset
// cuts it from the same folders): a text added without cutting the face again would be
// drawn from another face, at the memory the subset saves.
TEST(FontSubset, CoversEveryCharacterTheWindowWrites) {
    QSet<char32_t> written;
    for (const char* folder : {"app", "window", "setup", "measure", "device", "modbus", "serial", "sensor"}) {
        QDirIterator it(QStringLiteral(KV_SOURCE_DIR "/") + QLatin1String(folder),
                        {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile source(it.next());
            ASSERT_TRUE(source.open(QIODevice::ReadOnly)) << source.fileName().toStdString();
            for (const char32_t c : QString::fromUtf8(source.readAll()).toUcs4())
                if (c > 0x7F) written.insert(c);
        }
    }
    ASSERT_GT(written.size(), 200); // the window's Chinese texts were found
    // The faces built in here, and those the Windows build takes instead.
    for (const char* face : {":/fonts/kvserifcjk-regular.otf", ":/fonts/kvserifcjk-bold.otf",
                             KV_SOURCE_DIR "/app/fonts/windows/kvserifcjk-regular.otf",
                             KV_SOURCE_DIR "/app/fonts/windows/kvserifcjk-bold.otf"}) {
        QFile file(QString::fromLatin1(face));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << face;
        const QRawFont font(file.readAll(), 12);
        ASSERT_TRUE(font.isValid()) << face;
        QString missing;
        for (const char32_t c : written)
            if (!font.supportsCharacter(c)) missing += QString::fromUcs4(&c, 1);
        EXPECT_TRUE(missing.isEmpty())
            << face << " lacks " << missing.size() << ": " << missing.toStdString();
    }
}

// The window's icon is drawn from the very file installed for the desktop's menus.
TEST(Icon, TheWindowShowsTheInstalledPicture) {
    FakeComm port;
    RecordingBoxes boxes;
    QTemporaryDir dir;
    MainWindow window(port, boxes, dir.path());
    const QIcon installed(QStringLiteral(KV_SOURCE_DIR "/desktop/com.example.vqrn.kv7702rtool.svg"));
    for (const int size : {16, 48, 64}) {
        const QImage shown = window.windowIcon().pixmap(size).toImage();
        ASSERT_FALSE(shown.isNull()) << size << " px: no SVG image plugin?";
        EXPECT_EQ(shown, installed.pixmap(size).toImage()) << size << " px";
    }
}

// The faces load on a thread of their own, whether the program goes on to its window or ends
// before it; either way the thread ends, and the window's own face is there afterwards.
TEST(FontPreload, EndsPreparedOrNotAndLeavesTheFacesRegistered) {
    for (const bool prepare : {false, true}) {
        SCOPED_TRACE(prepare);
        FontPreload fonts;
        if (prepare) fonts.prepare();
        fonts.wait();
        EXPECT_EQ(fonts.prepared(), prepare);
    }
    installFontSubstitutions();
    EXPECT_EQ(QFontInfo(makeFont(kSongTi, 9, QFont::Normal)).family(), "KV Serif CJK");
}
