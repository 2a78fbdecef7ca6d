// The receive path: bytes arriving in arbitrary pieces at the real window (offscreen)
// through a fake port, under every kind of last request. Whatever arrives: nothing
// outside the reply is read (the port hands each reply out in an allocation of exactly
// its size); only the fields the decoding of that kind may write change, and they hold
// the texts a second, independent reading of the reply's bytes gives; a read reply
// (measurement, register, address read) that is not sound by an independent CRC check
// writes nothing and leaves the lamp as it was, and the green lamp comes to the front
// for every sound one; the counter counts every notification; the reply box shows
// exactly the bytes taken; nothing is sent and no message is shown.
#include "check.h"

#include "app/mainwindow.h"
#include "measure/receiver.h"
#include "support/fakes.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>

#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <set>

namespace {

using kv::Window;

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
    std::array<QColor, 4> colours;       // of txtValue(0..3), the only colours a decoding sets
    std::map<QLineEdit*, QString> texts; // of the boxes a decoding may write
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
        for (int i = 0; i < 4; ++i) {
            s.colours[static_cast<size_t>(i)] = w->txtValue(i)->palette().color(QPalette::Text);
            s.texts[w->txtValue(i)] = w->txtValue(i)->text();
        }
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
        port.ops.clear(); // the fake records every operation
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

int byteAt(const QByteArray& b, int i) { return i < b.size() ? static_cast<uint8_t>(b[i]) : -1; }

// Modbus CRC-16, bit by bit (the tool's codec uses a table).
uint16_t crc16(const QByteArray& b, int length) {
    uint16_t crc = 0xFFFF;
    for (int i = 0; i < length; ++i) {
        crc ^= static_cast<uint8_t>(b[i]);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

// No exception, the whole frame its byte count announces, and its CRC; more may follow.
bool sound(const QByteArray& reply) {
    if (reply.size() < 3 || (byteAt(reply, 1) & 0x80))
        return false;
    const int body = 3 + byteAt(reply, 2);
    if (reply.size() < body + 2)
        return false;
    return crc16(reply, body) == (byteAt(reply, body) | byteAt(reply, body + 1) << 8);
}

QString scaled(long long v, int intDigits, int decimals) {
    long long unit = 1;
    for (int i = 0; i < decimals; ++i)
        unit *= 10;
    const long long a = v < 0 ? -v : v;
    return QStringLiteral("%1%2.%3")
        .arg(v < 0 ? QStringLiteral("-") : QString())
        .arg(a / unit, intDigits, 10, QLatin1Char('0'))
        .arg(a % unit, decimals, 10, QLatin1Char('0'));
}

// What a sound measurement reply must leave in the value boxes.
void checkMeasurement(const Window& w, const QByteArray& reply, const Snapshot& before,
                      const std::map<QLineEdit*, QString>& textsBefore) {
    double k = 0;
    if (const auto s = kv::num::readNumber(w.txtStartID->text()))
        k = std::floor(*s) == 0 ? 0 : (std::floor(*s) - 1) * 2;
    const int registers = byteAt(reply, 2) / 2;
    std::array<QString, 4> want;
    for (int i = 0; i < 4; ++i)
        want[static_cast<size_t>(i)] = textsBefore.at(w.txtValue(i));
    for (int m = 0; m < registers; ++m) {
        long long v = byteAt(reply, 3 + 2 * m) * 256 + byteAt(reply, 4 + 2 * m);
        const double p = k + m;
        if (p != 0 && v > 30000)
            v -= 65536;
        if (p == 0 || p == 1 || p == 2 || p == 3)
            want[static_cast<size_t>(p)] = scaled(v, p == 3 ? 1 : 2, 2);
    }
    for (int i = 0; i < 4; ++i) {
        FUZZ_CHECK(w.txtValue(i)->text() == want[static_cast<size_t>(i)]);
        const QColor colour = w.txtValue(i)->palette().color(QPalette::Text);
        FUZZ_CHECK(colour == (i < registers ? QColor(Qt::black) : before.colours[static_cast<size_t>(i)]));
    }
}

// The fields the decoding of this kind may write.
std::vector<QLineEdit*> writable(const Window& w, int cmdType, int readTarget) {
    switch (cmdType) {
    case kv::CmdMeasurement:
        return {w.txtValue(0), w.txtValue(1), w.txtValue(2), w.txtValue(3)};
    case kv::CmdRegisterRead:
        if (readTarget >= 0 && readTarget <= 6)
            return {w.txtsetValue(readTarget)};
        if (readTarget == 7)
            return {w.txtRA};
        if (readTarget == 8)
            return {w.txtRB};
        return {};
    case kv::CmdAddressChange:
    case kv::CmdAddressRead:
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

    const auto allowed = writable(w, w.CmdType, w.ReadTarget);
    for (QLineEdit* e : h.written)
        FUZZ_CHECK(std::find(allowed.begin(), allowed.end(), e) != allowed.end());
    const bool readReply = w.CmdType == kv::CmdMeasurement || w.CmdType == kv::CmdRegisterRead ||
                           w.CmdType == kv::CmdAddressRead;
    if (readReply && !sound(reply)) {
        FUZZ_CHECK(h.written.empty() && after.colours == before.colours);
        FUZZ_CHECK(after.lamp == before.lamp);
        return;
    }
    FUZZ_CHECK(after.lamp == w.imgConnected);
    if (w.CmdType != kv::CmdMeasurement)
        FUZZ_CHECK(after.colours == before.colours);

    const int v = byteAt(reply, 3) * 256 + byteAt(reply, 4);
    switch (w.CmdType) {
    case kv::CmdMeasurement:
        checkMeasurement(w, reply, before, before.texts);
        break;
    case kv::CmdRegisterRead:
        if (byteAt(reply, 2) < 2) { // the frame holds no register: its CRC is no value
            FUZZ_CHECK(h.written.empty());
            break;
        }
        if (w.ReadTarget == 0)
            FUZZ_CHECK(allowed[0]->text() == scaled(v, 1, 4));
        else if (w.ReadTarget >= 1 && w.ReadTarget <= 6)
            FUZZ_CHECK(allowed[0]->text() == QString::number(v));
        else if (w.ReadTarget == 7 || w.ReadTarget == 8)
            FUZZ_CHECK(allowed[0]->text() == scaled(v, 2, 2));
        break;
    case kv::CmdAddressRead:
        FUZZ_CHECK(w.txtSetID(0)->text() == QString::number(byteAt(reply, 0)));
        FUZZ_CHECK(w.txtStationID->text() == w.txtSetID(0)->text());
        break;
    case kv::CmdAddressChange: {
        const bool changed = h.written.count(w.txtSetID(0)) || h.written.count(w.txtStationID);
        if (reply.size() < 4) {
            FUZZ_CHECK(!changed);
            break;
        }
        FUZZ_CHECK(w.txtStationID->text() == w.txtSetID(0)->text());
        // A reply that repeats the request sent, as far as it goes and at least up to its
        // CRC, confirms the request's new address; any other gives its byte 3.
        const QByteArray sent(reinterpret_cast<const char*>(w.AddressChangeSent.data()), 8);
        const bool echo = reply.size() >= 6 && reply.left(8) == sent.left(reply.size());
        FUZZ_CHECK(w.txtSetID(0)->text() == QString::number(echo ? byteAt(sent, 5) : byteAt(reply, 3)));
        break;
    }
    default:
        break;
    }
}

const qint16 kCmdTypes[] = {0, 1, 2, 3, 4, 5, 6, 7, -1, 32767};
const char* const kStartTexts[] = {"0",   "1",   "2",     "3", "4",    "-1",    "x",     "2.5",
                                   "1e9", " 3 ", "65536", "",  "1e18", "-1e18", "1e300", "-0.5"};

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
    if (w.CmdType == kv::CmdAddressChange) // the address change request the reply may echo
        for (auto& b : w.AddressChangeSent)
            b = in.next();

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
        default: {
            const auto [bytes, n] = in.take(1 + op / 8 % 32);
            h.port.deliver(QByteArray(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(n)));
            break;
        }
        }
    }
    h.port.setOnComm(nullptr);
    // What the window's event loop would deliver between notifications; never run,
    // posted events would pile up.
    QCoreApplication::sendPostedEvents();
    return 0;
}
