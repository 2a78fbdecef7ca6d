// The receive path: bytes arriving in arbitrary pieces at the real window (offscreen)
// through a fake port, under every kind of last request. Whatever arrives: nothing
// outside the reply is read (the port hands each reply out in an allocation of exactly
// its size), only the fields the decoding of that kind may write change, and they hold
// texts of their patterns with the values of the reply's bytes; the counter counts
// every notification; the reply box shows exactly the bytes taken; nothing is sent, no
// message is shown; the green lamp comes to the front only for a notification of
// received bytes.
#include "check.h"

#include "app/mainwindow.h"
#include "measure/receiver.h"
#include "support/fakes.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QRegularExpression>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>

namespace {

using kv::Window;

class Script {
public:
    Script(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool done() const { return p_ >= end_; }
    uint8_t next() { return p_ < end_ ? *p_++ : 0; }
    QByteArray take(size_t n) {
        n = std::min<size_t>(n, static_cast<size_t>(end_ - p_));
        QByteArray out(reinterpret_cast<const char*>(p_), static_cast<qsizetype>(n));
        p_ += n;
        return out;
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

// Hands each reply out in a heap block of exactly its size, so a read past its end is
// an overflow the address sanitizer reports, not a read of spare capacity.
class ExactPort : public kv::test::FakeComm {
public:
    QByteArray input() override {
        const qsizetype n = buffer.size();
        held_.reset(new char[static_cast<size_t>(std::max<qsizetype>(n, 1))]);
        std::copy(buffer.begin(), buffer.end(), held_.get());
        taken = buffer;
        buffer.clear();
        return QByteArray::fromRawData(held_.get(), n);
    }
    QByteArray taken;

private:
    std::unique_ptr<char[]> held_;
};

struct Snapshot {
    std::array<QColor, 4> colours; // of txtValue(0..3), the only colours a decoding sets
    QString state;
    QString counter;
    QString errCounter;
    QLabel* lamp = nullptr;
    qint32 rxCount = 0;
};

struct Harness {
    ExactPort port;
    kv::test::RecordingBoxes boxes;
    std::unique_ptr<kv::MainWindow> window;
    Window* w = nullptr;
    QList<QLineEdit*> edits;
    std::map<QLineEdit*, QString> initial;
    std::set<QLineEdit*> written; // boxes whose text changed since the last look

    Harness() {
        window = std::make_unique<kv::MainWindow>(port, boxes, QDir::tempPath());
        w = &window->context();
        edits = window->findChildren<QLineEdit*>();
        for (QLineEdit* e : edits) {
            initial[e] = e->text();
            QObject::connect(e, &QLineEdit::textChanged, [this, e] { written.insert(e); });
        }
    }

    Snapshot snapshot() const {
        Snapshot s;
        for (int i = 0; i < 4; ++i)
            s.colours[static_cast<size_t>(i)] = w->txtValue(i)->palette().color(QPalette::Text);
        s.state = w->txtState->toPlainText();
        s.counter = w->lblCounter->text();
        s.errCounter = w->lblErrCounter->text();
        s.lamp = w->lampInFront();
        s.rxCount = w->RxCount;
        return s;
    }

    // Back to the window as built, the value boxes red so that blacking them shows.
    void reset() {
        for (QLineEdit* e : written)
            e->setText(initial[e]);
        for (int i = 0; i < 4; ++i) {
            QLineEdit* box = w->txtValue(i);
            if (box->palette().color(QPalette::Text) != QColor(Qt::red)) {
                QPalette pal = box->palette();
                pal.setColor(QPalette::Text, Qt::red);
                box->setPalette(pal);
            }
        }
        written.clear();
        w->txtState->setPlainText(QStringLiteral("-"));
        w->bringToFront(w->ImgYellow);
        port.buffer.clear();
        port.writes.clear();
        port.open = true;
        boxes.shown.clear();
    }
};

Harness* harness = nullptr;

QString replyHex(const QByteArray& bytes) {
    QString s;
    for (const char c : bytes)
        s += QStringLiteral(" %1").arg(static_cast<uint8_t>(c), 2, 16, QLatin1Char('0')).toUpper();
    return s;
}

bool matches(const QString& text, const QRegularExpression& pattern) {
    return pattern.match(text).hasMatch();
}
const QRegularExpression kTwoDecimals(QStringLiteral("^-?[0-9]+\\.[0-9]{2}$"));
const QRegularExpression kTwoIntTwoDecimals(QStringLiteral("^-?[0-9]{2,}\\.[0-9]{2}$"));

int byteAt(const QByteArray& b, int i) { return i < b.size() ? static_cast<uint8_t>(b[i]) : -1; }

// The fields the decoding of this kind may write.
std::vector<QLineEdit*> writable(const Window& w, int cmdType, int readTarget) {
    switch (cmdType) {
    case 1:
        return {w.txtValue(0), w.txtValue(1), w.txtValue(2), w.txtValue(3)};
    case 2:
        if (readTarget >= 0 && readTarget <= 6)
            return {w.txtsetValue(readTarget)};
        if (readTarget == 7)
            return {w.txtRA};
        if (readTarget == 8)
            return {w.txtRB};
        return {};
    case 5:
    case 6:
        return {w.txtSetID(0), w.txtStationID};
    default:
        return {};
    }
}

void checkNotification(Harness& h, const Snapshot& before, int kind) {
    Window& w = *h.w;
    const Snapshot after = h.snapshot();
    const bool atMax = before.rxCount == std::numeric_limits<qint32>::max();
    FUZZ_CHECK(after.rxCount == (atMax ? before.rxCount : before.rxCount + 1));
    FUZZ_CHECK(after.errCounter == QString::number(after.rxCount));
    FUZZ_CHECK(after.counter == before.counter);
    FUZZ_CHECK(h.boxes.shown.empty());
    FUZZ_CHECK(h.port.writes.empty() && h.port.open);

    if (kind != kv::comEvReceive) {
        FUZZ_CHECK(h.written.empty() && after.colours == before.colours);
        FUZZ_CHECK(after.state == before.state);
        FUZZ_CHECK(after.lamp == before.lamp);
        return;
    }
    const QByteArray& reply = h.port.taken;
    FUZZ_CHECK(after.state == replyHex(reply));
    FUZZ_CHECK(h.port.buffer.isEmpty());
    FUZZ_CHECK(after.lamp == before.lamp || after.lamp == w.imgConnected);

    const auto allowed = writable(w, w.CmdType, w.ReadTarget);
    for (QLineEdit* e : h.written)
        FUZZ_CHECK(std::find(allowed.begin(), allowed.end(), e) != allowed.end());
    const auto changed = [&](QLineEdit* e) { return h.written.count(e) > 0; };
    switch (w.CmdType) {
    case 1:
        for (int i = 0; i < 4; ++i) {
            QLineEdit* box = w.txtValue(i);
            if (changed(box))
                FUZZ_CHECK(matches(box->text(), i == 3 ? kTwoDecimals : kTwoIntTwoDecimals));
            const QColor c = after.colours[static_cast<size_t>(i)];
            FUZZ_CHECK(c == before.colours[static_cast<size_t>(i)] || c == QColor(Qt::black));
        }
        break;
    case 2: {
        if (allowed.empty() || !changed(allowed[0]))
            break;
        const int v = byteAt(reply, 3) * 256 + byteAt(reply, 4);
        FUZZ_CHECK(byteAt(reply, 4) >= 0);
        QString want;
        if (w.ReadTarget == 0)
            want = QStringLiteral("%1.%2").arg(v / 10000).arg(v % 10000, 4, 10, QLatin1Char('0'));
        else if (w.ReadTarget <= 6)
            want = QString::number(v);
        else
            want = QStringLiteral("%1.%2")
                       .arg(v / 100, 2, 10, QLatin1Char('0'))
                       .arg(v % 100, 2, 10, QLatin1Char('0'));
        FUZZ_CHECK(allowed[0]->text() == want);
        break;
    }
    case 5:
    case 6: {
        QLineEdit* setId = w.txtSetID(0);
        FUZZ_CHECK(changed(setId) == changed(w.txtStationID) || setId->text() == w.txtStationID->text());
        if (!changed(setId) && !changed(w.txtStationID))
            break;
        FUZZ_CHECK(setId->text() == w.txtStationID->text());
        const int address = setId->text().toInt();
        if (w.CmdType == 6)
            FUZZ_CHECK(address == byteAt(reply, 0));
        else // the byte the designed layout names, or the new address of an echoed request
            FUZZ_CHECK(address == byteAt(reply, 3) || address == byteAt(reply, 5));
        break;
    }
    default:
        break;
    }
}

const qint16 kCmdTypes[] = {0, 1, 2, 3, 4, 5, 6, 7, -1, 32767};
const char* const kStartTexts[] = {"0", "1", "2", "3", "4", "-1", "x", "2.5", "1e9", " 3 ", "65536", ""};

} // namespace

// Fontconfig keeps what it loads on first use for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }

extern "C" int LLVMFuzzerInitialize(int* argc0, char*** argv0) {
    // Qt grows caches (fonts, styles, strings) on first use and keeps them; libFuzzer's
    // per-input leak check would take each for a leak and run at a crawl. Memory errors
    // are still caught; the sanitizer test suite checks for leaks.
    static std::vector<char*> args(*argv0, *argv0 + *argc0);
    static char noLeaks[] = "-detect_leaks=0";
    args.insert(args.begin() + 1, noLeaks);
    args.push_back(nullptr);
    *argc0 = static_cast<int>(args.size() - 1);
    *argv0 = args.data();

    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz_receive";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
    harness = new Harness;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = *harness;
    Window& w = *h.w;
    Script in(data, size);
    h.reset();
    w.CmdType = kCmdTypes[in.next() % std::size(kCmdTypes)];
    const uint8_t target = in.next();
    w.ReadTarget = static_cast<qint16>(target < 240 ? target % 12 - 1 : target * 131);
    w.txtStartID->setText(QString::fromLatin1(kStartTexts[in.next() % std::size(kStartTexts)]));
    w.RxCount = in.next() == 0xFF ? std::numeric_limits<qint32>::max() - 1 : 0;
    h.port.threshold = 1 + in.next() % 16;

    int kind = 0;
    Snapshot before;
    h.port.setOnComm([&] {
        kind = h.port.commEvent();
        before = h.snapshot();
        h.written.clear();
        kv::onComm(w);
        checkNotification(h, before, kind);
    });
    while (!in.done()) {
        const uint8_t op = in.next();
        switch (op % 8) {
        case 6:
            h.port.notify(op / 8 % 8 == kv::comEvReceive ? kv::comEvReceive : op / 8 % 8);
            break;
        case 7:
            h.port.threshold = op / 8;
            break; // 0 stops the events
        default:
            h.port.deliver(in.take(1 + op / 8 % 32));
            break;
        }
    }
    h.port.setOnComm(nullptr);
    return 0;
}
