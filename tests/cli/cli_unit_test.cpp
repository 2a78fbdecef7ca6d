// The command line's own parsers and figures: comm.set, COMn, address lists, the line
// protocol, the summary.

#include "cli/addresslist.h"
#include "cli/port.h"
#include "cli/readings.h"
#include "cli/summary.h"
#include "serial/byteline.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>

using namespace kv::cli;

TEST(CliCommSet, ReadWhereTheWindowKeepsIt) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_FALSE(storedCommSet(dir.path()).complete());
    QFile f(QDir(dir.path()).filePath(QStringLiteral("comm.set")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("2,9600\r\n");
    f.close();
    const kv::CommSetValues c = storedCommSet(dir.path());
    ASSERT_TRUE(c.complete());
    EXPECT_EQ(*c.port, 2);
    EXPECT_EQ(*c.rate, 9600);
}

TEST(CliPort, ComNamesMapLikeTheWindow) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString com5 = QDir(dir.path()).filePath(QStringLiteral("COM5"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), com5));
    EXPECT_EQ(resolvePort(QStringLiteral("COM5"), dir.path()), com5);
    EXPECT_EQ(resolvePort(QStringLiteral("com5"), dir.path()), com5);
    EXPECT_EQ(resolvePort(QStringLiteral("COM1"), dir.path()), QStringLiteral("/dev/ttyS0"));
    EXPECT_EQ(resolvePort(QStringLiteral("COM16"), dir.path()), QStringLiteral("/dev/ttyS15"));
    EXPECT_EQ(resolvePort(QStringLiteral("/dev/ttyUSB0"), dir.path()), QStringLiteral("/dev/ttyUSB0"));
    EXPECT_EQ(resolvePort(QStringLiteral("COM0"), dir.path()), QStringLiteral("COM0")) << "not a port number";
    EXPECT_EQ(resolvePort(QStringLiteral("COM256"), dir.path()), QStringLiteral("COM256"));
}

// comm.set names a serial port and its rate: a network link, named by its address, takes
// neither from it, nor is refused for a rate in it that no sensor speaks.
TEST(CliPort, OnlyASerialPortIsChosenFromCommSet) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    struct Row {
        const char* commSet;
        const char* port;
        int rate;           // --rate; 0: not given
        const char* device; // null: refused
        int chosenRate;
    };
    const Row rows[] = {
        {"2,4800", "", 0, "/dev/ttyS1", 4800},
        {"2,4800", "/dev/ttyUSB0", 0, "/dev/ttyUSB0", 4800},
        {"2,4800", "tcp://192.0.2.7:4001", 0, "tcp://192.0.2.7:4001", 9600},
        {"2,4800", "modbus-tcp://192.0.2.7", 19200, "modbus-tcp://192.0.2.7", 19200},
        {"2,12345", "/dev/ttyUSB0", 0, nullptr, 0},
        {"2,12345", "/dev/ttyUSB0", 4800, "/dev/ttyUSB0", 4800},
        {"2,12345", "tcp://192.0.2.7:4001", 0, "tcp://192.0.2.7:4001", 9600},
        {"2,12345", "modbus-tcp://192.0.2.7", 0, "modbus-tcp://192.0.2.7", 9600},
    };
    for (const Row& row : rows) {
        QFile f(QDir(dir.path()).filePath(QStringLiteral("comm.set")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QByteArray(row.commSet) + "\r\n");
        f.close();
        const auto chosen = choosePort(portOption(row.port), row.rate, dir.path());
        const std::string at = std::string(row.commSet) + " " + row.port;
        ASSERT_EQ(chosen.has_value(), row.device != nullptr) << at;
        if (!chosen) continue;
        EXPECT_EQ(chosen->device.toStdString(), row.device) << at;
        EXPECT_EQ(chosen->rate, row.chosenRate) << at;
    }
}

TEST(CliAddresses, ListsAndRanges) {
    EXPECT_EQ(parseAddressList("1-3,37"), (std::vector<int>{1, 2, 3, 37}));
    EXPECT_EQ(parseAddressList("5, 2-3 ,3"), (std::vector<int>{2, 3, 5}));
    EXPECT_EQ(parseAddressList("1-247").size(), 247u);
    for (const char* bad : {"", "0-5", "1-248", "5-1", "a", "1-", "-3", "1,,2", "1000", "3;37"})
        EXPECT_TRUE(parseAddressList(bad).empty()) << bad;
    // Written back as scan prints them: runs of three or more as ranges, and read again whole.
    const std::vector<std::pair<std::vector<int>, std::string>> written{
        {{3, 37, 113}, "3,37,113"},
        {{1, 2, 3, 4, 5, 6, 7, 8}, "1-8"},
        {{1, 2, 5, 6, 7, 9}, "1,2,5-7,9"},
        {{247}, "247"},
        {{}, ""},
    };
    for (const auto& [list, text] : written) {
        EXPECT_EQ(formatAddressList(list), text);
        if (!list.empty()) {
            EXPECT_EQ(parseAddressList(text), list) << text;
        }
    }
}

TEST(CliInflux, NamesAndValuesEscapedByTheProtocolsRules) {
    Reading ok;
    ok.unixMs = 1765300000123;
    ok.port = QStringLiteral("/dev/serial/by-id/usb-RS485 adapter,port=0");
    ok.address = 37;
    ok.ok = true;
    ok.moisture = QStringLiteral("30.25");
    ok.temperature = QStringLiteral("-4.50");
    ok.latencyMs = 12.34;
    ok.status = QStringLiteral("ok");
    Reading timeout = ok;
    timeout.ok = false;
    timeout.moisture.clear();
    timeout.temperature.clear();
    timeout.status = QStringLiteral("timeout");
    timeout.latencyMs.reset();
    Reading odd = timeout;
    odd.latencyMs = 12.34;
    odd.port = QStringLiteral("C:\\ports\\com 3");
    odd.status = QStringLiteral("bad \"reply\" \\ length\nsecond line");
    const std::vector<std::pair<const Reading*, const char*>> cases{
        {&ok, "soil,address=37,port=/dev/serial/by-id/usb-RS485\\ adapter\\,port\\=0 "
              "moisture=30.25,temperature=-4.50,latency_ms=12.3,status=\"ok\" 1765300000123000000"},
        // A failed reading keeps its line, with its status and without the values it lacks.
        {&timeout, "soil,address=37,port=/dev/serial/by-id/usb-RS485\\ adapter\\,port\\=0 "
                   "status=\"timeout\" 1765300000123000000"},
        // Backslashes stay as they are in a tag; a string escapes quotes and backslashes, and
        // a line break, which no value may hold, becomes a blank.
        {&odd, "soil,address=37,port=C:\\ports\\com\\ 3 latency_ms=12.3,"
               "status=\"bad \\\"reply\\\" \\\\ length second line\" 1765300000123000000"},
    };
    for (const auto& [reading, line] : cases)
        EXPECT_EQ(influxLine(*reading).toStdString(), line);
}

TEST(CliSummary, CountsLossAndNearestRankLatencies) {
    Stats s;
    s.requests = 23;
    s.retries = 3;
    s.replies = 18;
    s.timeouts = 2;
    s.crcErrors = 2;
    s.exceptions = 1;
    s.lost = 1;
    s.late = {{5, 2}};
    s.outages = 1;
    s.lostMs = 2345;
    for (int i = 20; i >= 1; --i)
        if (i != 7 && i != 13) s.latenciesMs.push_back(i);
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    printSummary(s, 20, 2, f);
    std::rewind(f);
    char buf[1024] = {};
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    const std::string text(buf, n);
    EXPECT_NE(text.find("20 measurements, 23 requests (3 retries), 18 replies, 2 timeouts, 2 CRC errors, "
                        "1 exceptions, 0 bad replies, 1 lost with the port, 2 late replies, loss 10.0 %"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("port lost 1 time(s), 2.3 s without it"), std::string::npos) << text;
    // 18 values 1..20 without 7 and 13: the 9th is 10, the 18th (ceil(0.95 x 18) = 18th) is 20.
    EXPECT_NE(text.find("latency ms: min 1.0, median 10.0, p95 20.0, max 20.0"), std::string::npos) << text;
}

TEST(CliLine, RateDerivedTimesCountStartParityAndStopBits) {
    // A character is 10 bit times on an 8N1 line; counting 8 would send too soon and time out early.
    // With a parity bit or a second stop bit it is 11, with both 12; above 19200 the gap stays 1.75 ms.
    struct Row {
        int baud;
        kv::LineFormat format;
        double nineBytesMs;
        double silenceMs;
    };
    const kv::LineFormat n1, e1{kv::Parity::Even, 1}, n2{kv::Parity::None, 2}, o2{kv::Parity::Odd, 2};
    for (const Row& r : {Row{9600, n1, 9.375, 3.646}, Row{19200, n1, 4.6875, 1.823}, Row{38400, n1, 2.34375, 1.75},
                         Row{9600, e1, 10.3125, 4.010}, Row{9600, n2, 10.3125, 4.010}, Row{1200, o2, 90.0, 35.0},
                         Row{38400, e1, 2.578125, 1.75}}) {
        SCOPED_TRACE(std::to_string(r.baud) + " " + kv::formatName(r.format).toStdString());
        EXPECT_NEAR(kv::lineTimeMs(9, r.baud, r.format), r.nineBytesMs, 0.001);
        EXPECT_NEAR(kv::frameSilenceMs(r.baud, r.format), r.silenceMs, 0.001);
    }
}

// Each row is on disk once written, not when the buffer fills: a log read while the run
// goes on (or after a crash) has every measurement taken.
TEST(CliReadingWriter, EveryRowIsInTheFileAsSoonAsItIsWritten) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = QDir(dir.path()).filePath(QStringLiteral("log.csv"));
    for (const auto format : {ReadingWriter::Csv, ReadingWriter::Json, ReadingWriter::Influx, ReadingWriter::Table}) {
        SCOPED_TRACE(format);
        std::FILE* f = std::fopen(path.toLocal8Bit().constData(), "w");
        ASSERT_NE(f, nullptr);
        ReadingWriter writer(format, f, false);
        Reading row;
        row.address = 3;
        row.status = QStringLiteral("timeout");
        ASSERT_TRUE(writer.write(row));
        QFile seen(path);
        ASSERT_TRUE(seen.open(QIODevice::ReadOnly));
        EXPECT_TRUE(seen.readAll().endsWith('\n')) << "the row is in the file while it is still open";
        std::fclose(f);
    }
}

// Each reason a port will not open, as diagnosed in serial/, in one line with its fix.
TEST(CliPort, EveryReasonAPortWillNotOpenIsOneLineWithItsFix) {
    using kv::OpenFailure;
    auto result = [](OpenFailure f, const char* reason, const char* group, const char* holder) {
        kv::OpenResult r;
        r.failure = f;
        r.reason = QString::fromLatin1(reason);
        r.group = QString::fromLatin1(group);
        r.holder = QString::fromLatin1(holder);
        r.access = {QStringLiteral("root"), QStringLiteral("tty"), 0620};
        return r;
    };
    const std::vector<std::pair<kv::OpenResult, const char*>> rows{
        {result(OpenFailure::Missing, "", "", ""), "/dev/ttyUSB0 does not exist (is the adapter plugged in?)"},
        {result(OpenFailure::Missing, "tcp://192.0.2.7:4001: connection refused", "", ""),
         "tcp://192.0.2.7:4001: connection refused"},
        {result(OpenFailure::PathDenied, "", "", ""), "permission denied on the path to /dev/ttyUSB0"},
        {result(OpenFailure::NoPermission, "", "dialout", ""),
         "permission denied on /dev/ttyUSB0; fix: sudo usermod -aG dialout $USER, then log out and in again"},
        {result(OpenFailure::NoPermission, "", "", ""),
         "permission denied on /dev/ttyUSB0 (mode 0620, owner root, group tty, which may not read and write it); "
         "fix: a udev rule that gives the device to the dialout group with mode 0660, or run as root"},
        {result(OpenFailure::Busy, "Permission denied", "", "minicom (PID 4242)"),
         "/dev/ttyUSB0 is busy: minicom (PID 4242) holds it"},
        {result(OpenFailure::Busy, "Permission denied", "", ""),
         "/dev/ttyUSB0 is busy (another program holds it): Permission denied"},
        {result(OpenFailure::Other, "/dev/ttyUSB0 cannot be opened: Input/output error", "", ""),
         "/dev/ttyUSB0 cannot be opened: Input/output error"},
    };
    for (const auto& [r, line] : rows)
        EXPECT_EQ(openFailureText(QStringLiteral("/dev/ttyUSB0"), r).toStdString(), line);
}
