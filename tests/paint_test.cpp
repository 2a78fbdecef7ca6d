// The controls that repaint at every reply paint themselves cheaply and look exactly
// as the plain controls they stand for: the lamp panel, the opaque counters and value
// boxes, the reply box.
#include "app/backdrop.h"
#include "window/lamppanel.h"
#include "window/replybox.h"

#include <QApplication>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QRadialGradient>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <functional>
#include <utility>

using namespace kv;

namespace {

QImage image(QWidget* w) {
    return w->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

QPixmap lampPicture(const QColor& colour) {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient g(QPointF(6, 6), 9);
    g.setColorAt(0, colour.lighter(160));
    g.setColorAt(1, colour.darker(130));
    p.setBrush(g);
    p.drawEllipse(QRectF(1, 1, 14, 14));
    return pm;
}

// Three labels on one spot, the red one a pixel narrower, on a grey panel.
struct Lamps {
    QWidget panel;
    QLabel* lamps[3];
    explicit Lamps(QWidget* panelWidget) {
        QWidget* p = panelWidget ? panelWidget : &panel;
        p->resize(60, 17);
        QPalette pal = p->palette();
        pal.setColor(QPalette::Window, QColor(224, 224, 224));
        p->setPalette(pal);
        p->setAutoFillBackground(true);
        const QColor colours[] = {Qt::green, Qt::yellow, Qt::red};
        for (int i = 0; i < 3; ++i) {
            lamps[i] = new QLabel(p);
            lamps[i]->setPixmap(lampPicture(colours[i]));
            lamps[i]->setGeometry(24, 0, i == 2 ? 15 : 16, 16);
            lamps[i]->setToolTip(QStringLiteral("数据采集通讯状态指示"));
        }
    }
};

} // namespace

TEST(LampPanel, LooksLikeRaisedLabelsWhicheverLampIsInFront) {
    LampPanel panel(nullptr);
    Lamps painted(&panel);
    for (QLabel* l : painted.lamps)
        panel.addLamp(l);
    Lamps raised(nullptr);

    // Every order the handlers can produce from the start: each lamp to the front in turn.
    for (int step : {1, 0, 2, 1, 2, 0, 0}) {
        panel.bringToFront(painted.lamps[step]);
        raised.lamps[step]->raise();
        EXPECT_EQ(panel.front(), painted.lamps[step]);
        ASSERT_EQ(panel.order().size(), 3u);
        EXPECT_EQ(image(&panel), image(&raised.panel)) << "lamp " << step << " in front";
    }
}

TEST(LampPanel, OnlyItsOwnLampsComeToTheFront) {
    LampPanel panel(nullptr);
    Lamps lamps(&panel);
    panel.addLamp(lamps.lamps[0]);
    panel.addLamp(lamps.lamps[1]);
    QLabel stranger;
    panel.bringToFront(&stranger);
    EXPECT_EQ(panel.front(), lamps.lamps[1]);
    panel.bringToFront(lamps.lamps[0]);
    EXPECT_EQ(panel.front(), lamps.lamps[0]);
    EXPECT_FALSE(lamps.lamps[0]->isVisible()); // the panel paints them
}

namespace {

// A group box with one control over its frame line, built twice: plain and opaque.
template <class Control> struct OverFrame {
    QGroupBox box{QStringLiteral("运行状态指示")};
    Control* control;
    OverFrame() {
        box.resize(300, 60);
        QPalette pal = box.palette();
        pal.setColor(QPalette::Window, QColor(224, 224, 224));
        box.setPalette(pal);
        box.setAutoFillBackground(true);
        control = new Control(QStringLiteral("1"), &box);
        control->setGeometry(80, 4, 57, 24); // across the frame's top line
    }
};

} // namespace

TEST(Backdrop, CounterLooksLikeThePlainLabelAsItsTextChanges) {
    // As the window's counters are set up: wrapping labels, one aligned right.
    const Qt::Alignment alignments[] = {Qt::AlignLeft | Qt::AlignVCenter, Qt::AlignLeft | Qt::AlignTop,
                                        Qt::AlignRight | Qt::AlignTop};
    for (const Qt::Alignment alignment : alignments) {
        for (const bool wrap : {false, true}) {
            OverFrame<QLabel> plain;
            OverFrame<Backdrop<QLabel>> opaque;
            ASSERT_TRUE(opaque.control->testAttribute(Qt::WA_OpaquePaintEvent));
            for (QLabel* l : {static_cast<QLabel*>(plain.control), static_cast<QLabel*>(opaque.control)}) {
                l->setAlignment(alignment);
                l->setWordWrap(wrap);
            }
            for (const char* text : {"1", "22", "65536", "", "12 34 5678 9012"}) {
                plain.control->setText(QString::fromLatin1(text));
                opaque.control->setText(QString::fromLatin1(text));
                EXPECT_EQ(image(&opaque.box), image(&plain.box))
                    << text << " aligned " << alignment << " wrap " << wrap;
            }
            plain.control->setEnabled(false);
            opaque.control->setEnabled(false);
            EXPECT_EQ(image(&opaque.box), image(&plain.box)) << "disabled";
        }
    }
}

TEST(Backdrop, ACopyIsDroppedWhenTheWindowChangesScreens) {
    OverFrame<QLabel> plain;
    OverFrame<Backdrop<QLabel>> opaque;
    EXPECT_EQ(image(&opaque.box), image(&plain.box));
    const qint64 first = opaque.control->backdrop().cacheKey();
    EXPECT_EQ(opaque.control->backdrop().cacheKey(), first) << "kept while nothing changes";
    QEvent screenChange(QEvent::ScreenChangeInternal);
    QApplication::sendEvent(opaque.control, &screenChange);
    EXPECT_NE(opaque.control->backdrop().cacheKey(), first);
    EXPECT_EQ(image(&opaque.box), image(&plain.box));
}

TEST(Backdrop, ValueBoxLooksLikeThePlainBoxThroughTextColourAndSizeChanges) {
    OverFrame<QLineEdit> plain;
    OverFrame<Backdrop<QLineEdit>> opaque;
    EXPECT_EQ(image(&opaque.box), image(&plain.box));
    for (QLineEdit* e : {static_cast<QLineEdit*>(plain.control), static_cast<QLineEdit*>(opaque.control)}) {
        e->setText(QStringLiteral("23.45"));
        QPalette pal = e->palette();
        pal.setColor(QPalette::Text, Qt::red);
        e->setPalette(pal);
    }
    EXPECT_EQ(image(&opaque.box), image(&plain.box)) << "red text";
    // Each change alone, after the box has been painted: a cached frame of the old look would show.
    const std::pair<const char*, std::function<void(QLineEdit*)>> changes[] = {
        {"disabled", [](QLineEdit* e) { e->setEnabled(false); }},
        {"enabled again", [](QLineEdit* e) { e->setEnabled(true); }},
        {"moved and resized", [](QLineEdit* e) { e->setGeometry(40, 20, 120, 30); }},
        {"disabled at the new size", [](QLineEdit* e) { e->setEnabled(false); }},
    };
    for (const auto& [what, change] : changes) {
        for (QLineEdit* e : {static_cast<QLineEdit*>(plain.control), static_cast<QLineEdit*>(opaque.control)})
            change(e);
        EXPECT_EQ(image(&opaque.box), image(&plain.box)) << what;
    }
}

class ReplyBoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (QPlainTextEdit* e : {static_cast<QPlainTextEdit*>(&box), &plain}) {
            e->resize(600, 57);
            e->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            e->show();
        }
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    }
    void setBoth(const QString& text) {
        box.setPlainText(text);
        plain.setPlainText(text);
    }
    ReplyBox box{nullptr};
    QPlainTextEdit plain;
};

TEST_F(ReplyBoxTest, ShowsEachReplyAsTheTextEditWould) {
    for (const char* reply : {" 01 03 04 09 29 09 69 EE 19", "", " 02 03 04 0B B8 FF 38 0B 10", " FF"}) {
        setBoth(QString::fromLatin1(reply));
        EXPECT_EQ(box.toPlainText(), QString::fromLatin1(reply));
        EXPECT_TRUE(box.document()->isEmpty()) << "painted by the box itself";
        EXPECT_EQ(image(&box), image(&plain)) << reply;
    }
    box.clear();
    plain.clear();
    EXPECT_TRUE(box.toPlainText().isEmpty());
    EXPECT_EQ(image(&box), image(&plain));
}

TEST_F(ReplyBoxTest, GarbageThatFitsLooksAsInTheTextEditAtEveryHeight) {
    for (int height = 56; height <= 110; ++height) {
        for (QPlainTextEdit* e : {static_cast<QPlainTextEdit*>(&box), &plain})
            e->resize(937, height); // the designed width
        for (int groups = 60; groups <= 200; groups += 5) {
            setBoth(QStringLiteral(" A5").repeated(groups));
            ASSERT_EQ(image(&box), image(&plain)) << height << " px, " << groups << " groups";
        }
    }
}

TEST_F(ReplyBoxTest, TextThatNeedsScrollingOrSeveralParagraphsGoesIntoTheDocument) {
    QString garbage;
    for (int i = 0; i < 200; ++i)
        garbage += QStringLiteral(" A5");
    setBoth(garbage);
    EXPECT_EQ(box.toPlainText(), garbage);
    EXPECT_EQ(box.document()->toPlainText(), garbage);
    EXPECT_EQ(image(&box), image(&plain));

    setBoth(QStringLiteral("two\nlines"));
    EXPECT_EQ(box.document()->toPlainText(), QStringLiteral("two\nlines"));
    // Back to a short reply: the document is emptied, the short text shown.
    setBoth(QStringLiteral(" 01 03"));
    EXPECT_EQ(box.toPlainText(), QStringLiteral(" 01 03"));
    EXPECT_EQ(image(&box), image(&plain));
}

TEST_F(ReplyBoxTest, TheOperatorGetsAnOrdinaryTextBoxOnFocus) {
    box.setPlainText(QStringLiteral(" 01 03 04 0B B8"));
    QFocusEvent in(QEvent::FocusIn, Qt::MouseFocusReason);
    QApplication::sendEvent(&box, &in);
    // The text is in the document now: selectable, copyable, editable.
    EXPECT_EQ(box.document()->toPlainText(), QStringLiteral(" 01 03 04 0B B8"));
    box.selectAll();
    EXPECT_EQ(box.textCursor().selectedText(), QStringLiteral(" 01 03 04 0B B8"));
    QTest::keyClicks(&box, QStringLiteral("typed"));
    EXPECT_EQ(box.toPlainText(), QStringLiteral("typed"));
}
