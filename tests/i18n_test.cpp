// The window and the monitor in English (--lang en): every text translated, and drawn whole
// in the place the design gives its Chinese one, with the face the window really uses.
#include "app/appearance.h"
#include "app/language.h"
#include "monitor/monitorwindow.h"
#include "serial/portinfo.h"
#include "support/windowfixture.h"

#include <QChart>
#include <QChartView>
#include <QFontInfo>
#include <QGroupBox>
#include <QProcess>
#include <QRawFont>
#include <QRegularExpression>
#include <QStyle>
#include <QTableView>
#include <QXmlStreamReader>

using namespace kv;
using namespace kv::test;

namespace {

bool hasChinese(const QString& s) {
    static const QRegularExpression han(
        QStringLiteral("[\\x{2E80}-\\x{9FFF}\\x{F900}-\\x{FAFF}\\x{FF00}-\\x{FFEF}]"));
    return s.contains(han);
}

QString textOf(const QWidget* c) {
    if (auto* l = qobject_cast<const QLabel*>(c)) return l->text();
    if (auto* b = qobject_cast<const QAbstractButton*>(c)) return b->text();
    if (auto* g = qobject_cast<const QGroupBox*>(c)) return g->title();
    return QString();
}

// The controls of the same parent that a text on the label's row must end before.
QRegion controlsBeside(const QWidget* c) {
    QRegion beside;
    for (const QWidget* other :
         c->parentWidget()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (other->isVisibleTo(c->parentWidget()) && !qobject_cast<const QLabel*>(other))
            beside += other->geometry();
    return beside;
}

// Why a control's text does not fit its place, or empty. Every character comes from the
// face the control asks for; the text, wrapped as the label wraps it, is no wider than the
// control (a label sized to its text: than the room up to its parent's edge); a one-line
// text ends before the next control on its row. Widths at the face used here, laid out in
// fractions of a pixel and, as a hinting engine (Windows') does, in whole pixels a
// character, and at the design's face, which draws a Latin letter half as wide as a
// Chinese character.
QString misfit(QWidget* c, const QString& text, bool sizedToText) {
    const QFont font = c->font();
    const QRawFont face = QRawFont::fromFont(font);
    for (const QChar ch : text)
        if (!ch.isSpace() && !face.supportsCharacter(ch))
            return QStringLiteral("'%1' not in the face").arg(ch);
    qreal room = sizedToText ? c->parentWidget()->width() - c->x() : c->width();
    if (qobject_cast<QAbstractButton*>(c))
        room -= 2 * (c->style()->pixelMetric(QStyle::PM_ButtonMargin) +
                     c->style()->pixelMetric(QStyle::PM_DefaultFrameWidth));
    if (qobject_cast<QGroupBox*>(c)) room -= 16;
    auto* label = qobject_cast<QLabel*>(c);
    const QStringList lines = text.split(QLatin1Char('\n'));
    if (label && label->wordWrap() &&
        QFontMetrics(font).boundingRect(QRect(0, 0, int(room), 10000), Qt::TextWordWrap, text).width() > room)
        return QStringLiteral("wraps wider than %1 px").arg(room);
    if (label && lines.size() == 1)
        for (const QRect& other : controlsBeside(c))
            if (other.x() > c->x() && other.top() <= c->geometry().bottom() && other.bottom() >= c->y())
                room = std::min<qreal>(room, other.x() - c->x());
    const QFontMetricsF fm(font);
    for (const QString& line : lines) {
        qreal designed = 0, hinted = 0;
        for (const QChar ch : line) {
            designed += (hasChinese(ch) ? 1.0 : 0.5) * QFontInfo(font).pixelSize();
            hinted += std::round(fm.horizontalAdvance(ch));
        }
        const qreal width = std::max(fm.horizontalAdvance(line), hinted);
        if (width > room || (font.family() == kSongTi && designed > room))
            return QStringLiteral("%1 px, at the design's face %2 px, room %3 px")
                .arg(width)
                .arg(designed)
                .arg(room);
    }
    return QString();
}

// What the pixels say: the label drawn alone shows no ink where a control beside it lies,
// and drawn with room to spare (below when it wraps, else to the right) none outside its place.
QString hiddenInk(QLabel* label) {
    const QColor ground = label->palette().color(QPalette::Window);
    const auto inked = [&](const QRegion& where) {
        const QImage shot = label->grab().toImage();
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) {
                const QColor p = shot.pixelColor(x, y);
                const int off =
                    std::max({std::abs(p.red() - ground.red()), std::abs(p.green() - ground.green()),
                              std::abs(p.blue() - ground.blue())});
                if (off > 96 && where.contains(QPoint(x, y))) return true;
            }
        return false;
    };
    if (inked(controlsBeside(label).translated(-label->pos()))) return QStringLiteral("runs under a control");
    const QRect place = label->rect();
    label->resize(place.size() + (label->wordWrap() ? QSize(0, 40) : QSize(80, 0)));
    const bool cut = inked(QRegion(label->rect()) - place);
    label->resize(place.size());
    return cut ? QStringLiteral("is cut off at its edge") : QString();
}

// The figures of ten thousand exchanges, the most the table keeps, each an exception.
int figuresWidth(mon::MonitorWindow& monitor) {
    mon::Exchange failure;
    failure.request = hex("01 03 00 00 00 02 C4 0B");
    failure.reply = hex("01 83 04 40 F3");
    failure.responseMs = 123.4;
    mon::judge(failure);
    monitor.addExchanges(std::vector<mon::Exchange>(10000, failure));
    monitor.refresh();
    return monitor.statisticsLine()->fontMetrics().horizontalAdvance(monitor.statisticsLine()->text());
}

} // namespace

class English : public WindowTest {
protected:
    static void SetUpTestSuite() {
        installFontSubstitutions();
        FakeComm port;
        RecordingBoxes boxes;
        QTemporaryDir dir;
        MainWindow window(port, boxes, dir.path());
        for (const QWidget* c : window.findChildren<QWidget*>())
            designed[c->objectName()] = {textOf(c), c->geometry()};
        mon::MonitorWindow monitor;
        chineseFigures = figuresWidth(monitor);
        // From here on the process speaks English, as `kv7702r-tool --lang en` does.
        language = useLanguage(QStringLiteral("en"));
    }
    void SetUp() override {
        ASSERT_TRUE(language.isEmpty()) << language.toStdString();
        WindowTest::SetUp();
        window->load(); // shows the value panel; without comm.set it says so
    }
    static inline QMap<QString, std::pair<QString, QRect>> designed; // the Chinese window's
    static inline int chineseFigures = 0;
    static inline QString language;
};

TEST_F(English, EveryTextOfTheWindowIsTranslatedAndFitsWhereTheDesignPutsItsChineseOne) {
    EXPECT_FALSE(hasChinese(window->windowTitle()));
    int judged = 0;
    for (QWidget* c : window->scrollArea()->widget()->findChildren<QWidget*>()) {
        const std::string name = c->objectName().toStdString();
        const QString text = textOf(c);
        EXPECT_EQ(text.isEmpty(), designed.value(c->objectName()).first.isEmpty()) << name;
        EXPECT_FALSE(hasChinese(text) || hasChinese(c->toolTip())) << name << ": " << text.toStdString();
        // Hidden, or lying outside its panel: never seen, as designed.
        if (text.isEmpty() || !c->isVisibleTo(window.get()) ||
            !QRect(QPoint(), c->parentWidget()->size()).contains(c->geometry()))
            continue;
        ++judged;
        EXPECT_EQ(QFontInfo(c->font()).family(), "KV Serif CJK") << name;
        // The address sentence draws its own blanks: its pixels alone say where it goes.
        const bool sizedToText = c->geometry() != designed.value(c->objectName()).second;
        EXPECT_EQ(c == w->Label2(7) ? QString() : misfit(c, text, sizedToText), "")
            << name << ": " << text.toStdString();
        EXPECT_EQ(qobject_cast<QLabel*>(c) ? hiddenInk(static_cast<QLabel*>(c)) : QString(), "") << name;
    }
    EXPECT_GT(judged, 60);
    for (const QString& tip : portToolTips(16, dir.path()))
        EXPECT_FALSE(hasChinese(tip)) << tip.toStdString();
    // A shortened caption gives its full wording as its tip.
    EXPECT_EQ(w->Label8(3)->toolTip(), "Function code");
    // The layers below the window speak English too: start-up without comm.set.
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Please check the serial port: port 0 cannot be opened!");
    EXPECT_EQ(boxes.shown[0].title, "VQRN system error");
}

TEST_F(English, TheMonitorsTextsAreTranslatedAndKeepToTheirColumnsAndOneLine) {
    mon::MonitorWindow monitor;
    monitor.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&monitor));
    QStringList texts{monitor.windowTitle()};
    for (const QWidget* c : monitor.findChildren<QWidget*>()) {
        texts << textOf(c);
        if (qobject_cast<const QAbstractButton*>(c)) {
            EXPECT_GE(c->width(), c->sizeHint().width()) << textOf(c).toStdString();
        }
    }
    const QChart* chart = monitor.findChild<QChartView*>(QStringLiteral("trend"))->chart();
    texts << chart->title();
    for (const QAbstractSeries* s : chart->series())
        texts << s->name();
    for (const QAbstractAxis* a : chart->axes())
        texts << a->titleText();
    auto* table = monitor.findChild<QTableView*>(QStringLiteral("traffic"));
    const QFontMetrics fm(table->font());
    const int margins = 2 * table->style()->pixelMetric(QStyle::PM_HeaderMargin);
    for (int c = 0; c + 1 < table->model()->columnCount(); ++c) {
        const QString header = table->model()->headerData(c, Qt::Horizontal).toString();
        EXPECT_LE(fm.horizontalAdvance(header) + margins, table->columnWidth(c)) << header.toStdString();
        texts << header;
    }
    mon::Exchange ex;
    ex.exceptionCode = 4;
    for (int s = 0; s < mon::kStatusCount; ++s) {
        ex.status = static_cast<mon::Status>(s);
        EXPECT_LE(fm.horizontalAdvance(mon::statusText(ex)) + margins,
                  table->columnWidth(mon::TrafficModel::StatusColumn))
            << mon::statusText(ex).toStdString();
        texts << mon::statusText(ex);
    }
    ex.status = mon::Status::Exception;
    EXPECT_EQ(mon::statusFullWording(ex), "Modbus exception 04: SERVER DEVICE FAILURE");
    // The figures stay on one line wherever the Chinese ones do, and say in full what they are.
    EXPECT_LE(figuresWidth(monitor), std::max(chineseFigures, monitor.statisticsLine()->width()));
    EXPECT_TRUE(
        monitor.statisticsLine()->toolTip().startsWith("requests 10000, replies 10000, CRC errors 0"));
    texts << monitor.statisticsLine()->text() << monitor.statisticsLine()->toolTip();
    for (const QString& t : texts)
        EXPECT_FALSE(hasChinese(t)) << t.toStdString();
}

// Every message of the translation is finished, free of Chinese, keeps the placeholders its
// source fills in, and is what the program looks up: the compiled translation is this file.
TEST_F(English, TheCompiledTranslationIsTheWholeSourceFile) {
    QFile ts(QStringLiteral(KV_SOURCE_DIR "/i18n/kv7702r-tool_en.ts"));
    ASSERT_TRUE(ts.open(QIODevice::ReadOnly));
    static const QRegularExpression placeholder(QStringLiteral("%\\d+"));
    QXmlStreamReader xml(&ts);
    QByteArray context, source, comment;
    int messages = 0;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) continue;
        const bool unfinished = !xml.attributes().value(QLatin1String("type")).isEmpty();
        const QString name = xml.name().toString();
        if (name == QLatin1String("message")) comment.clear();
        if (!QStringList{"name", "source", "comment", "translation"}.contains(name)) continue;
        const QString text = xml.readElementText();
        if (name == QLatin1String("name")) context = text.toUtf8();
        if (name == QLatin1String("source")) source = text.toUtf8();
        if (name == QLatin1String("comment")) comment = text.toUtf8();
        if (name != QLatin1String("translation")) continue;
        ++messages;
        const std::string where = (context + '/' + source).toStdString();
        EXPECT_FALSE(unfinished || text.isEmpty() || hasChinese(text)) << where;
        for (auto m = placeholder.globalMatch(QString::fromUtf8(source)); m.hasNext();)
            EXPECT_TRUE(text.contains(m.next().captured())) << where;
        EXPECT_EQ(QCoreApplication::translate(context.constData(), source.constData(),
                                              comment.isEmpty() ? nullptr : comment.constData()),
                  text)
            << where;
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_GT(messages, 150);
}

TEST(Language, AnUnknownOneIsAClearErrorAndNoWindow) {
    QProcess tool;
    tool.start(QStringLiteral(KV_TOOL_BINARY), {QStringLiteral("--lang"), QStringLiteral("fr")});
    ASSERT_TRUE(tool.waitForFinished(10000));
    EXPECT_EQ(tool.exitCode(), 2);
    EXPECT_TRUE(tool.readAllStandardError().contains("--lang: unknown language 'fr' (choose zh or en)"));
}
