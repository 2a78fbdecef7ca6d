// comm.set, port-to-device mapping, and the QSerialPort component over a real pty pair.
#include "line/discipline.h"
#include "serial/qtserialcomm.h"
#include "serial/serialline.h"
#include "serial/settingsfile.h"
#include "support/qtprint.h"

#include <QDir>
#include <QFile>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace kv;

TEST(CommSetReader, ValuesSeparatorsAndTolerance) {
    auto v = parseCommSet("4,19200\r\n");
    EXPECT_EQ(*v.port, 4);
    EXPECT_EQ(*v.rate, 19200);
    v = parseCommSet("4\r\n19200\r\n");
    EXPECT_EQ(*v.rate, 19200);
    v = parseCommSet("  4,   9600");
    EXPECT_TRUE(v.complete());
    EXPECT_EQ(*v.rate, 9600);
    v = parseCommSet("x,y\r\n");
    EXPECT_EQ(*v.port, 0);
    EXPECT_EQ(*v.rate, 0);
    v = parseCommSet("4,19200,7,7\r\n");
    EXPECT_EQ(*v.rate, 19200);
    v = parseCommSet("2.5,4800\r\n");
    EXPECT_EQ(*v.port, 2);
}

TEST(CommSetReader, IncompleteOrOverflowingValues) {
    EXPECT_FALSE(parseCommSet("").complete());
    EXPECT_FALSE(parseCommSet("4").complete());
    EXPECT_FALSE(parseCommSet("4\r\n\r\n").complete());
    const auto big = parseCommSet("4,115200\r\n"); // does not fit 16 bits
    EXPECT_EQ(*big.port, 4);
    EXPECT_FALSE(big.rate);
    EXPECT_FALSE(big.complete());
    EXPECT_FALSE(readCommSet(QStringLiteral("/nonexistent/comm.set")).complete());

    // The bound is signed 16 bits, both ways.
    const auto over = parseCommSet("4,40000\r\n");
    EXPECT_EQ(over.port, 4);
    EXPECT_FALSE(over.rate);
    const auto negative = parseCommSet("-1,9600\r\n");
    EXPECT_TRUE(negative.complete());
    EXPECT_EQ(negative.port, -1);
    const auto edges = parseCommSet("-32768,32767\r\n");
    EXPECT_EQ(edges.port, -32768);
    EXPECT_EQ(edges.rate, 32767);
    EXPECT_FALSE(parseCommSet("-32769,9600").port);
    EXPECT_FALSE(parseCommSet("4,32767.5").rate); // rounds to 32768
    // However it is written, a number beyond 16 bits is never taken as 0.
    for (const char* huge : {"4,1e20", "4,9007199254740993000", "4,1e400", "4,-1E+300"}) {
        const auto v = parseCommSet(huge);
        EXPECT_EQ(v.port, 4) << huge;
        EXPECT_FALSE(v.rate) << huge;
    }
    EXPECT_EQ(parseCommSet("4,1e-400").rate, 0); // tiny, but a number: 0
    EXPECT_EQ(parseCommSet("4,1e2").rate, 100);
}

TEST(CommSetReader, ReadsOnlyTheFirstBytesOfARegularFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("comm.set"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("4,19200\r\n");
    f.write(QByteArray(8 << 20, 'x'));
    f.close();
    EXPECT_EQ(readCommSet(path).rate, 19200);

    // Values that start beyond the first 4 KiB are never reached.
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(QByteArray(4096, '\n'));
    f.write("4,19200\r\n");
    f.close();
    EXPECT_TRUE(readCommSet(path).opened);
    EXPECT_FALSE(readCommSet(path).port);

    // A link to a regular file is read like the file.
    const QString link = dir.filePath(QStringLiteral("link.set"));
    ASSERT_TRUE(QFile::link(path, link));
    EXPECT_TRUE(readCommSet(link).opened);
    EXPECT_FALSE(readCommSet(dir.path()).opened); // a folder
}

TEST(CommSetWriter, ExactBytesAndAtomicReplace) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("comm.set"));
    ASSERT_EQ(writeCommSet(path, 2, 9600), QString());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("2,9600\r\n"));
    f.close();
    ASSERT_EQ(writeCommSet(path, 16, 4800), QString());
    EXPECT_EQ(readCommSet(path).rate, 4800);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"comm.set"}); // no temporary left behind
    EXPECT_FALSE(writeCommSet(dir.filePath(QStringLiteral("missing/comm.set")), 1, 9600).isEmpty());
}

TEST(PortMapping, ProgramFolderLinkOrTtyS) {
    QTemporaryDir dir;
    EXPECT_EQ(deviceForPort(1, dir.path()), "/dev/ttyS0");
    EXPECT_EQ(deviceForPort(16, dir.path()), "/dev/ttyS15");
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), dir.filePath(QStringLiteral("COM3"))));
    EXPECT_EQ(deviceForPort(3, dir.path()), dir.filePath(QStringLiteral("COM3")));
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("gone")), dir.filePath(QStringLiteral("COM5"))));
    EXPECT_EQ(deviceForPort(5, dir.path()), "/dev/ttyS4"); // a dangling link does not count
}

TEST(LineSettings, OnlyRateN81) {
    EXPECT_EQ(parseLineSettings(QStringLiteral("19200,N,8,1")), 19200);
    EXPECT_EQ(parseLineSettings(QStringLiteral("2400,n,8,1")), 2400);
    for (const char* bad : {"19200,E,8,1", "19200,N,7,1", "-5,N,8,1", "19200", "abc,N,8,1", " 9600,N,8,1", ""})
        EXPECT_EQ(parseLineSettings(QString::fromLatin1(bad)), 0) << bad;
}

namespace {

// What the far end of a pty reads, waiting up to 5 s for count bytes.
QByteArray readMaster(int master, int count) {
    QByteArray got;
    (void)QTest::qWaitFor(
        [&] {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
                char buf[64];
                const ssize_t n = ::read(master, buf, sizeof buf);
                if (n > 0)
                    got.append(buf, static_cast<int>(n));
            }
            return got.size() >= count;
        },
        5000);
    return got;
}

} // namespace

// A pty pair whose slave is linked as COM4 in a temporary program folder.
class PtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        char name[256] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        ASSERT_TRUE(QFile::link(QString::fromLatin1(name), dir.filePath(QStringLiteral("COM4"))));
        comm = std::make_unique<QtSerialComm>(dir.path());
        comm->setOnComm([this] { ++events; });
        ASSERT_TRUE(comm->setCommPort(4));
        ASSERT_TRUE(comm->setSettings(QStringLiteral("19200,N,8,1")));
        ASSERT_TRUE(comm->setPortOpen(true));
        // Only the component holds the slave now, so closing the master hangs it up.
        ::close(slave);
        slave = -1;
    }
    void TearDown() override {
        comm.reset();
        if (master >= 0)
            ::close(master);
    }

    void send(const QByteArray& bytes) { ASSERT_EQ(::write(master, bytes.constData(), bytes.size()), bytes.size()); }

    QByteArray receive(int count) const { return readMaster(master, count); }

    QTemporaryDir dir;
    int master = -1, slave = -1;
    std::unique_ptr<QtSerialComm> comm;
    int events = 0;
};

TEST_F(PtyPort, OpensAtTheRateAndWritesBytes) {
    EXPECT_TRUE(comm->portOpen());
    termios t{};
    ASSERT_EQ(tcgetattr(master, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B19200);
    EXPECT_FALSE(comm->setCommPort(5)); // refused while open
    EXPECT_TRUE(comm->setSettings(QStringLiteral("9600,N,8,1")));
    ASSERT_EQ(tcgetattr(master, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    const QByteArray frame = QByteArray::fromHex("010300000002C40B");
    ASSERT_TRUE(comm->output(frame));
    EXPECT_EQ(receive(8), frame);
}

TEST_F(PtyPort, ThresholdRaisesTheEventOnlyWhenEnoughIsBuffered) {
    ASSERT_TRUE(comm->setRThreshold(5));
    send(QByteArray::fromHex("010302"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return comm->inBufferCount() == 3; }, 5000));
    EXPECT_EQ(events, 0);
    send(QByteArray::fromHex("2710"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return events > 0; }, 5000));
    EXPECT_EQ(comm->commEvent(), comEvReceive);
    EXPECT_EQ(comm->input(), QByteArray::fromHex("0103022710"));
    EXPECT_EQ(comm->inBufferCount(), 0);
}

TEST_F(PtyPort, ThresholdZeroRaisesNothingAndBufferCountZeroDiscards) {
    ASSERT_TRUE(comm->setRThreshold(0));
    send(QByteArray::fromHex("AABBCC"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return comm->inBufferCount() == 3; }, 5000));
    EXPECT_EQ(events, 0);
    ASSERT_TRUE(comm->setInBufferCount(0));
    EXPECT_TRUE(comm->input().isEmpty());
    ASSERT_TRUE(comm->setRThreshold(1));
    send(QByteArray::fromHex("01"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return events > 0; }, 5000));
    EXPECT_EQ(comm->input(), QByteArray::fromHex("01"));
}

TEST_F(PtyPort, HangUpClosesThePortWithAnotherKindOfEvent) {
    ASSERT_TRUE(comm->setRThreshold(1));
    ::close(master);
    master = -1;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !comm->portOpen(); }, 5000));
    EXPECT_GE(events, 1);
    EXPECT_NE(comm->commEvent(), comEvReceive);
    EXPECT_FALSE(comm->output(QByteArray("x")));
    EXPECT_TRUE(comm->input().isEmpty());
}

TEST_F(PtyPort, ResourceOrReadErrorClosesThePortWithAnotherKindOfEvent) {
    // A pty never raises a resource error, so the port's own signal is raised here.
    auto* serial = comm->findChild<QSerialPort*>();
    ASSERT_NE(serial, nullptr);
    for (const auto error : {QSerialPort::ResourceError, QSerialPort::ReadError}) {
        SCOPED_TRACE(static_cast<int>(error));
        ASSERT_TRUE(comm->portOpen());
        events = 0;
        emit serial->errorOccurred(error);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !comm->portOpen(); }, 5000));
        EXPECT_EQ(events, 1);
        EXPECT_NE(comm->commEvent(), comEvReceive);
        EXPECT_FALSE(comm->output(QByteArray("x")));
        ASSERT_TRUE(comm->setPortOpen(true)); // the device is still there
    }
}

// A pty pair whose master side the test holds.
struct Pty {
    Pty() {
        char buf[256] = {};
        if (openpty(&master, &slave, buf, nullptr, nullptr) != 0)
            return;
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        name = QString::fromLatin1(buf);
    }
    ~Pty() {
        if (master >= 0)
            ::close(master);
        if (slave >= 0)
            ::close(slave);
    }
    QByteArray readSome(int count) const { return readMaster(master, count); }
    int master = -1, slave = -1;
    QString name;
};

// A program folder of its own, with COMn linked to a device.
std::unique_ptr<QtSerialComm> portInFolder(const QTemporaryDir& dir, int n, const QString& device) {
    if (!QFile::link(device, dir.filePath(QStringLiteral("COM%1").arg(n))))
        return nullptr;
    auto comm = std::make_unique<QtSerialComm>(dir.path());
    if (!comm->setCommPort(n) || !comm->setSettings(QStringLiteral("9600,N,8,1")))
        return nullptr;
    return comm;
}

TEST(PortLock, FollowsTheLinkToTheDevice) {
    Pty a, b;
    ASSERT_FALSE(a.name.isEmpty());
    ASSERT_FALSE(b.name.isEmpty());
    QTemporaryDir first, second, third;
    // The same name in two folders, leading to two devices: both open.
    auto one = portInFolder(first, 4, a.name);
    auto two = portInFolder(second, 4, b.name);
    ASSERT_TRUE(one && two);
    EXPECT_TRUE(one->setPortOpen(true));
    EXPECT_TRUE(two->setPortOpen(true));

    // Another name for a device already open, through a link to a link: refused.
    const QString hop = third.filePath(QStringLiteral("adapter"));
    ASSERT_TRUE(QFile::link(a.name, hop));
    auto three = portInFolder(third, 7, hop);
    ASSERT_TRUE(three);
    EXPECT_FALSE(three->setPortOpen(true));
    EXPECT_FALSE(three->portOpen());

    // The first keeps working, both ways.
    int received = 0;
    one->setOnComm([&] { ++received; });
    ASSERT_TRUE(one->setRThreshold(2));
    ASSERT_TRUE(one->output(QByteArray::fromHex("0103")));
    EXPECT_EQ(a.readSome(2), QByteArray::fromHex("0103"));
    ASSERT_EQ(::write(a.master, "\x05\x06", 2), 2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return received > 0; }, 5000));
    EXPECT_EQ(one->input(), QByteArray::fromHex("0506"));

    // Once the first lets go, the other name opens.
    ASSERT_TRUE(one->setPortOpen(false));
    EXPECT_TRUE(three->setPortOpen(true));
}

TEST(PortMapping, RealDeviceFollowsEveryLink) {
    QTemporaryDir dir;
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), dir.filePath(QStringLiteral("hop"))));
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("hop")), dir.filePath(QStringLiteral("COM3"))));
    EXPECT_EQ(realDevice(dir.filePath(QStringLiteral("COM3"))), "/dev/null");
    EXPECT_EQ(realDevice(QStringLiteral("/dev/ttyS199")), "/dev/ttyS199"); // leads nowhere: the path itself
}

TEST(QtSerialComm, RefusedOperations) {
    QTemporaryDir dir;
    QtSerialComm comm(dir.path());
    EXPECT_FALSE(comm.setCommPort(0));
    EXPECT_FALSE(comm.setCommPort(-3));
    EXPECT_TRUE(comm.setCommPort(16));
    EXPECT_EQ(comm.commPort(), 16);
    EXPECT_FALSE(comm.setSettings(QStringLiteral("9600,E,7,2")));
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("nothing-here")), dir.filePath(QStringLiteral("COM2"))));
    ASSERT_TRUE(comm.setCommPort(200)); // /dev/ttyS199 does not exist
    EXPECT_FALSE(comm.setPortOpen(true));
    EXPECT_FALSE(comm.portOpen());
    EXPECT_FALSE(comm.output(QByteArray("x")));
    EXPECT_TRUE(comm.setPortOpen(false));
}

namespace {

// The sensor end of the pty: reads one request, then after delayMs writes `bytes`, or
// hangs up. The delay is the sensor's turnaround, not a wait of the test.
std::thread answerNext(int master, int requestSize, int delayMs, QByteArray bytes, bool hangUp = false) {
    return std::thread([=] {
        QByteArray got;
        while (got.size() < requestSize) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) return;
            char buf[64];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) return;
            got.append(buf, static_cast<int>(n));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        if (hangUp)
            ::close(master);
        else
            (void)!::write(master, bytes.constData(), static_cast<size_t>(bytes.size()));
    });
}

// A sensor's answer to a read of one register, sealed with its CRC (low byte first).
QByteArray oneRegister(int value) {
    QByteArray b = QByteArray::fromHex("010302");
    b.append(static_cast<char>(value >> 8)).append(static_cast<char>(value & 0xFF));
    const std::uint16_t crc = kv::crc16(b);
    return b.append(static_cast<char>(crc & 0xFF)).append(static_cast<char>(crc >> 8));
}

line::Request readOf(int reg, int timeoutMs, int graceMs = -1) {
    line::Request r;
    const Frame f = sensor::parameterReadRequest(1, reg - sensor::REG_FIRST_PARAMETER);
    r.bytes = toBytes(f);
    r.expect = sensor::expectRead(f);
    r.timeout = Millis(timeoutMs);
    if (graceMs >= 0) r.grace = Millis(graceMs);
    return r;
}

} // namespace

TEST(SerialLineOnAPty, LateRepliesAndStrayBytesAreHeardOutNeverTakenForAnAnswer) {
    Pty pty;
    ASSERT_FALSE(pty.name.isEmpty());
    SerialLine port;
    ASSERT_TRUE(port.open(pty.name, 19200).ok());
    line::Discipline line(port);
    const QByteArray two = oneRegister(0x0457), three = oneRegister(0x08AE);

    // Register 2 answers after the timeout but within the grace period: late, not an answer.
    std::thread late = answerNext(pty.master, 8, 150, two);
    const auto first = line::exchange(line, port, readOf(2, 100, 300));
    late.join();
    EXPECT_EQ(first.outcome, line::Outcome::Timeout);
    EXPECT_EQ(first.tally.lateFrom(1), 1);

    // The next request gets its own answer, though it has the late one's shape.
    std::thread prompt = answerNext(pty.master, 8, 5, three);
    const auto second = line::exchange(line, port, readOf(3, 100));
    prompt.join();
    EXPECT_EQ(second.outcome, line::Outcome::Answered);
    EXPECT_EQ(second.frame, three);
    ASSERT_TRUE(second.latency);
    EXPECT_GE(msOf(*second.latency), 5.0) << "from the request written to the reply's last byte";
    EXPECT_EQ(second.tally.syncs, 0) << "the late reply settled the request it answered";

    // Bytes nobody asked for are discarded before the request goes out, and counted.
    ASSERT_EQ(::write(pty.master, "\xAA\xBB", 2), 2);
    std::thread again = answerNext(pty.master, 8, 5, two);
    const auto third = line::exchange(line, port, readOf(2, 500));
    again.join();
    EXPECT_EQ(third.frame, two);
    EXPECT_EQ(third.tally.noise, 1);
}

TEST(SerialLineOnAPty, AHangUpDuringTheWaitIsALostPortAtOnce) {
    // Qt reports the hung-up pty as a read error; a 10 s timeout must not be waited out.
    Pty pty;
    ASSERT_FALSE(pty.name.isEmpty());
    SerialLine port;
    ASSERT_TRUE(port.open(pty.name, 19200).ok());
    ::close(pty.slave); // only the line holds the slave now
    pty.slave = -1;
    line::Discipline line(port);
    std::thread unplug = answerNext(pty.master, 8, 20, {}, true);
    const auto ex = line::exchange(line, port, readOf(2, 10000));
    unplug.join();
    pty.master = -1;
    EXPECT_EQ(ex.outcome, line::Outcome::Lost);
    EXPECT_EQ(ex.tally.lost, 1);
    EXPECT_FALSE(port.isOpen());
}

// A driver on the event loop is told of bytes and of a hang-up, never from inside the line's
// own waits, which take what comes for their caller.
TEST(SerialLineOnAPty, TellsItsDriverFromTheEventLoopOnly) {
    for (const bool hangUp : {false, true}) {
        SCOPED_TRACE(hangUp ? "a hang-up" : "bytes");
        Pty pty;
        ASSERT_FALSE(pty.name.isEmpty());
        SerialLine port;
        ASSERT_TRUE(port.open(pty.name, 19200).ok());
        ::close(pty.slave); // only the line holds the slave now
        pty.slave = -1;
        bool inside = false;
        int told = 0;
        ASSERT_TRUE(port.setNotify([&] {
            EXPECT_FALSE(inside) << "told from inside the line's own call";
            ++told;
        }));
        ASSERT_EQ(::write(pty.master, "\x01", 1), 1);
        inside = true;
        port.waitReadable(port.now() + std::chrono::seconds(5));
        EXPECT_EQ(port.take(), QByteArray("\x01"));
        inside = false;
        if (hangUp) {
            ::close(pty.master);
            pty.master = -1;
        } else {
            ASSERT_EQ(::write(pty.master, "\x02", 1), 1);
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return told > 0; }, 5000));
        inside = true;
        EXPECT_EQ(port.take(), hangUp ? QByteArray() : QByteArray("\x02"));
        inside = false;
        EXPECT_EQ(port.lost(), hangUp);
    }
}

// An unplugged USB adapter shows as a resource error, a hung-up pty as a read error: both
// are a lost port, at once, and no other error is.
TEST(SerialLine, WhichErrorsMeanTheDeviceIsGone) {
    struct Row {
        QSerialPort::SerialPortError error;
        bool open;
        bool lost;
    };
    for (const Row& r : {Row{QSerialPort::NoError, true, false}, Row{QSerialPort::ResourceError, true, true},
                         Row{QSerialPort::ReadError, true, true}, Row{QSerialPort::TimeoutError, true, false},
                         Row{QSerialPort::NoError, false, true}}) {
        SCOPED_TRACE(static_cast<int>(r.error));
        EXPECT_EQ(isLostError(r.error, r.open), r.lost);
    }
}

// A pty drops the parity bit itself, so parity is pinned where the port is configured: the
// terminal carries input parity checking and odd parity's flag exactly as chosen, and the
// stop bits, whether set at open or changed on the open port (an odd parity left behind by
// QSerialPort would otherwise read as odd). The frame silence follows the character's length.
TEST(SerialLineOnAPty, ParityAndStopBitsArePinnedOnThePort) {
    struct Row {
        LineFormat format;
        bool inpck;
        bool parodd;
        bool cstopb;
        qint64 silenceNs; // 3.5 characters at 9600
    };
    const Row rows[] = {
        {{Parity::None, 1}, false, false, false, 3645833},
        {{Parity::Even, 1}, true, false, false, 4010416},
        {{Parity::Odd, 1}, true, true, false, 4010416},
        {{Parity::None, 2}, false, false, true, 4010416},
        {{Parity::Odd, 2}, true, true, true, 4375000},
    };
    Pty pty;
    ASSERT_FALSE(pty.name.isEmpty());
    SerialLine port;
    for (const bool reopened : {true, false}) {
        for (const Row& r : rows) {
            SCOPED_TRACE(formatName(r.format).toStdString() + (reopened ? " at open" : " on the open port"));
            ASSERT_TRUE(port.setFormat(r.format));
            if (reopened) {
                ASSERT_TRUE(port.open(pty.name, 9600).ok());
            }
            termios t{};
            ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
            EXPECT_EQ((t.c_iflag & INPCK) != 0, r.inpck);
            EXPECT_EQ((t.c_cflag & PARODD) != 0, r.parodd);
            EXPECT_EQ((t.c_cflag & CSTOPB) != 0, r.cstopb);
            EXPECT_EQ(port.facts().frameSilenceNs, r.silenceNs);
        }
    }
}
