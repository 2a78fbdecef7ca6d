// The command line's newer jobs on the fake line, where time is virtual: a params load cut
// short says truly what it wrote, a calibration's resistance is taken once it has settled and
// never while it drifts, and the summary tells when a sensor was silent.

#include "cli/paramsio.h"
#include "cli/settle.h"
#include "clirun.h"

#include <gtest/gtest.h>

#include <regex>

using namespace kv;
using namespace kv::fake;
using Fate = Bus::Fate;

// The sensor holds moisture-max 401, la 601 and of 701; the file would make them 9000, 9940
// and 4939, written in that order. What becomes of the second write decides the rest.
TEST(CliToolsOnAFakeLine, AnInterruptedLoadSaysWhatIsWritten) {
    struct Row {
        const char* what;
        Fate second;      // what becomes of the second write, la's
        bool unplugAfter; // and the adapter goes for good right after it
        int code;
        const char* says;
        std::uint16_t la, of; // what the sensor holds after
    };
    const Row rows[] = {
        {"refused", Fate::Refused, false, 4,
         "address 1: stopped at la (not written, still 601); written before it: moisture-max (401 -> 9000); "
         "not sent: of",
         601, 701},
        {"unplugged", Fate::Normal, true, 3,
         "address 1: stopped at la (unknown: it held 601, 9940 was sent); written before it: moisture-max "
         "(401 -> 9000); not sent: of",
         9940, 701},
        {"whole", Fate::Normal, false, 0, "address 1: 3 written and read back, 0 held already", 9940, 4939},
    };
    cli::ParamsFile file;
    file.parameters = {
        {sensor::PARAM_MOISTURE_MAX, 9000}, {sensor::PARAM_LA, 9940}, {sensor::PARAM_OF, 4939}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        cli::CommonOptions o;
        o.timeoutMs = 300;
        Bench b(prompt(), {1}, o);
        int writes = 0;
        b.bus->script = [&](int, const QByteArray& request) {
            if (!isWrite(request) || ++writes != 2) return Fate::Normal;
            if (row.unplugAfter) b.line->unplug(b.line->nowNs() + NS_PER_MS, -1);
            return row.second;
        };
        const Ran r = captured([&] { return cli::loadInto(*b.session, file, false); });
        EXPECT_EQ(r.code, row.code) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(row.says), std::string::npos) << r.out << r.err;
        EXPECT_EQ(b.bus->holds(1, 4), 9000);
        EXPECT_EQ(b.bus->holds(1, 6), row.la);
        EXPECT_EQ(b.bus->holds(1, 7), row.of);
    }
}

// The resistance register as a probe gives it: the reading a bath settles to, how it gets
// there, and what it reads meanwhile, in ohm x 100, at a time on the line's clock.
TEST(CliToolsOnAFakeLine, TheResistanceIsTakenOnceItHasSettled) {
    struct Row {
        const char* what;
        std::function<std::uint16_t(qint64 ms)> probe;
        int code; // 0: settled
        double meanOhm;
        int fewestReadings;
        const char* says;
    };
    const Row rows[] = {
        // 104.00 ohm falling 0.01 ohm every 10 ms to 100.00 at 4 s: readings 0.5 s apart differ by
        // 0.50 ohm until then, so no mean is taken before ten readings at 100.00 (the first
        // reading waits out its timeout, as the sensor may still owe an earlier run).
        {"cooling to 100.00 ohm",
         [](qint64 ms) { return static_cast<std::uint16_t>(10000 + std::max<qint64>(0, 4000 - ms) / 10); }, 0,
         100.00, 16, ""},
        {"steady within the bound",
         [](qint64 ms) { return static_cast<std::uint16_t>(13850 + (ms / 500) % 2 * 5); }, 0, 138.525, 10,
         ""},
        {"never within the bound",
         [](qint64 ms) { return static_cast<std::uint16_t>(13850 + (ms / 500) % 2 * 20); }, 4, 0, 240,
         "the resistance did not settle within 120 s: the last 10 readings spread 0.20 ohm"},
        {"an open probe", [](qint64) { return std::uint16_t{65535}; }, 4, 0, 1,
         "resistance 655.35 ohm above 390.48 ohm: no PT100 reads so; is the probe connected?"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bench b(prompt(), {1});
        b.bus->reads = [&](std::uint8_t, int reg) -> std::optional<std::uint16_t> {
            if (reg != sensor::REG_RESISTANCE) return std::nullopt;
            return row.probe(b.line->nowNs() / NS_PER_MS);
        };
        std::optional<cli::Settled> settled;
        const Ran r = captured([&] {
            int code = 0;
            settled = cli::settledResistance(*b.session, {10, 0.05}, code);
            return code;
        });
        EXPECT_EQ(r.code, row.code) << r.err;
        EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
        ASSERT_EQ(settled.has_value(), row.code == 0);
        if (!settled) continue;
        EXPECT_NEAR(settled->meanOhm, row.meanOhm, 1e-9);
        EXPECT_GE(settled->readings, row.fewestReadings);
        EXPECT_LE(settled->spreadOhm, 0.05);
    }
}

// Sensor 2 misses rounds 2 and 3 of five: its longest silence runs from its first reply to its
// fourth, two measurements unanswered; sensor 1 has none.
TEST(CliToolsOnAFakeLine, TheSummarySaysWhenASensorWasSilent) {
    cli::CommonOptions o;
    o.timeoutMs = 200;
    o.retries = 0;
    Bench b(prompt(), {1, 2}, o);
    int asked = 0;
    b.bus->script = [&](int, const QByteArray& request) {
        if (static_cast<std::uint8_t>(request[0]) != 2) return Fate::Normal;
        ++asked;
        return asked == 2 || asked == 3 ? Fate::Ignored : Fate::Normal;
    };
    cli::ReadOptions read;
    read.addresses = {1, 2};
    read.count = 5;
    read.countGiven = true;
    const Ran r = captured([&] { return cli::runRead(*b.session, read); });
    EXPECT_EQ(r.code, 3) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        r.out, m,
        std::regex(R"(address 2: .*longest silence ([0-9.]+) s from \S+ \(2 measurement\(s\) unanswered\))")))
        << r.out;
    // Two timeouts and their grace periods, 200 + 100 ms each, three exchanges around them, and
    // the 200 ms its first answer waited for the sensor to owe nothing older.
    EXPECT_GT(std::stod(m[1]), 0.8);
    EXPECT_LT(std::stod(m[1]), 1.0);
    EXPECT_FALSE(std::regex_search(r.out, std::regex(R"(address 1: [^\n]*longest silence)"))) << r.out;
}

// What params save wrote is restored as it is, even where the sensor held values outside the
// window's ranges, saying which; a file made by hand is held to the ranges. The sensor holds
// la 601 and of 701.
TEST(CliToolsOnAFakeLine, ABackupIsRestoredEvenOutsideTheRanges) {
    struct Row {
        const char* what;
        const char* header; // "tool" and "saved", as the file gives them
        const char* la;     // raw
        int code;
        const char* says; // on stderr; empty: nothing
        std::uint16_t holds;
    };
    const Row rows[] = {
        {"saved by params save, outside", R"("tool": "kv7702r 0.1", "saved": "2026-12-08T22:20:59.165Z",)",
         "20000", 0,
         "kv7702r: sensor.json: outside the window's ranges, restored as saved: la 20000 (10000 is a slope "
         "of "
         "1; 5000-15000)\n",
         20000},
        {"saved by params save, inside", R"("tool": "kv7702r 0.1", "saved": "2026-12-08T22:20:59.165Z",)",
         "9940", 0, "", 9940},
        {"made by hand, outside", "", "20000", 1,
         "kv7702r: address 1: la 20000 is outside its range (10000 is a slope of 1; 5000-15000); nothing "
         "written; --force writes it anyway\n",
         601},
        {"another tool's", R"("tool": "probe 2", "saved": "2026-12-08T22:20:59.165Z",)", "20000", 1,
         "la 20000 is outside its range", 601},
        {"no time saved", R"("tool": "kv7702r 0.1", "saved": "yesterday",)", "20000", 1,
         "la 20000 is outside its range", 601},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const QByteArray json = QStringLiteral(R"({"kv7702r-params": 1, %1 "address": 1,
            "parameters": {"la": {"raw": %2}, "of": {"raw": 701}}})")
                                    .arg(QLatin1String(row.header), QLatin1String(row.la))
                                    .toUtf8();
        const cli::ParamsParsed file = cli::parseParams(json);
        ASSERT_TRUE(file.file) << file.error.toStdString();
        Bench b(prompt(), {1});
        const Ran r = captured([&] {
            return cli::runParamsLoad(*b.session, {"sensor.json", false, {1}}, *file.file);
        });
        EXPECT_EQ(r.code, row.code) << r.out << r.err;
        if (*row.says == 0)
            EXPECT_EQ(r.err, "");
        else
            EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
        EXPECT_EQ(b.bus->holds(1, 6), row.holds);
        EXPECT_EQ(b.bus->holds(1, 7), 701);
    }
}

// A run's requests are each in one outcome, per sensor too: those the port went away under
// are in the sensor's line as they are in the run's. Sensor 2's second request loses the port.
TEST(CliToolsOnAFakeLine, EachSensorsLineCountsTheRequestsLostWithThePort) {
    struct Row {
        const char* what;
        bool unplug;
        const char* second; // the line of sensor 2
    };
    const Row rows[] = {
        {"unplugged", true,
         "address 2: 2 measurements, 2 requests, 1 replies, 0 timeouts, 1 lost with the port, loss 50.0 %"},
        {"never unplugged", false,
         "address 2: 3 measurements, 3 requests, 3 replies, 0 timeouts, loss 0.0 %"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bench b(prompt(), {1, 2});
        int asked = 0;
        b.bus->script = [&](int, const QByteArray& request) {
            if (static_cast<std::uint8_t>(request[0]) != 2 || ++asked != 2 || !row.unplug)
                return Fate::Normal;
            b.line->unplug(b.line->nowNs() + NS_PER_MS, -1);
            return Fate::Unanswered;
        };
        cli::ReadOptions read;
        read.addresses = {1, 2};
        read.count = 3;
        read.countGiven = true;
        const Ran r = captured([&] { return cli::runRead(*b.session, read); });
        EXPECT_EQ(r.code, row.unplug ? 3 : 0) << r.err;
        EXPECT_NE(r.out.find(row.second), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(row.unplug ? "1 lost with the port, 0 late" : "0 lost with the port, 0 late"),
                  std::string::npos)
            << r.out;
    }
}

// A sensor that answers only with bytes that are no sound frame, as at another rate, parity or
// stop bits, is told apart from a silent one: the failure names the options to check.
TEST(CliToolsOnAFakeLine, OnlyGarbageBackNamesTheRateAndFormat) {
    const char* hint =
        "bytes came back but never a sound frame: check --rate, --parity and --stop-bits (the line "
        "is at 19200 baud, 8N1)";
    struct Row {
        const char* what;
        Fate fate;
        bool garbage;     // bytes that are no frame come back after each request
        double crcChance; // the sensor's replies damaged
        bool read;        // read rather than params
        int code;
        const char* says;
        bool hinted;
    };
    const Row rows[] = {
        {"noise only", Fate::Ignored, true, 0, false, 3, "no reply within 300 ms; ", true},
        {"bad CRC only", Fate::Normal, false, 1, false, 4, "bad CRC; ", true},
        {"silent", Fate::Ignored, false, 0, false, 3, "no reply within 300 ms\n", false},
        {"noise, then a sound reply", Fate::Normal, true, 0, false, 0, "raw   601", false},
        {"noise only, read", Fate::Ignored, true, 0, true, 3, ",timeout\n", true},
        {"silent, read", Fate::Ignored, false, 0, true, 3, ",timeout\n", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Model m = prompt();
        m.crcChance = row.crcChance;
        cli::CommonOptions o;
        o.timeoutMs = 300;
        Bench b(m, {1}, o);
        b.bus->script = [&](int, const QByteArray&) {
            if (row.garbage) b.line->arrive(b.line->nowNs() + 2 * NS_PER_MS, QByteArray(6, '\xFF'), NOISE);
            return row.fate;
        };
        cli::ReadOptions read;
        read.csv = "-";
        const Ran r =
            captured([&] { return row.read ? cli::runRead(*b.session, read) : cli::runParams(*b.session); });
        EXPECT_EQ(r.code, row.code) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(row.says), std::string::npos) << r.out << r.err;
        EXPECT_EQ((r.out + r.err).find(hint) != std::string::npos, row.hinted) << r.out << r.err;
    }
}
