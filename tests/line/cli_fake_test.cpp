// The command line's subcommands on the fake line: what they tell when acknowledgements go
// astray, when the port goes away between writes, when several sensors answer, and that each
// ends within its bound. Sensor values are the models': parameter i of the sensor at
// address a holds 100 * (2 + i) + a.

#include "cli/history.h"
#include "clirun.h"
#include "line/clock.h"
#include "net/redial.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kv;
using namespace kv::fake;
using Fate = Bus::Fate;

// A write's outcome is what the sensor holds: told by reading back whenever its
// acknowledgement went astray, and the exit code follows.
TEST(CliOnAFakeLine, AWriteIsToldAsTheSensorHoldsIt) {
    struct Row {
        const char* what;
        Fate write;           // what becomes of the write (every try)
        qint64 unplugAfterMs; // the adapter goes after the write (-1: never)
        qint64 backAfterMs;   // and comes back (-1: never)
        int code;
        const char* says;
        std::uint16_t holds;
        const char* history; // the write as the history tells it
    };
    const Row rows[] = {
        {"acknowledgement lost", Fate::Unanswered, -1, -1, 0, "written (acknowledgement lost, read back)",
         9940, "la: 601 -> 9940, written, acknowledgement lost, read back as 9940"},
        {"never heard", Fate::Ignored, -1, -1, 3, "writing la: not written (no reply within 300 ms", 601,
         "la: 601 -> 9940, not written, read back as 601"},
        {"refused", Fate::Refused, -1, -1, 4, "writing la: not written (exception 04 Server Device Failure)",
         601, "la: 601 -> 9940, not written, read back as 601"},
        {"unplugged after it, back", Fate::Unanswered, 1, 2000, 0,
         "written (acknowledgement lost, read back)", 9940,
         "la: 601 -> 9940, written, acknowledgement lost, read back as 9940"},
        {"unplugged for good", Fate::Unanswered, 1, -1, 3,
         "writing la: unknown: the sensor could not be read; it held 601, 9940 was sent", 9940,
         "la: 601 -> 9940, unknown: sent, but it could not be read back"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        cli::CommonOptions o;
        o.timeoutMs = 300;
        Bench b(prompt(), {1}, o);
        b.bus->script = [&](int, const QByteArray& request) {
            if (!isWrite(request)) return Fate::Normal;
            if (row.unplugAfterMs >= 0)
                b.line->unplug(b.line->nowNs() + row.unplugAfterMs * NS_PER_MS,
                               row.backAfterMs < 0 ? -1 : b.line->nowNs() + row.backAfterMs * NS_PER_MS);
            return row.write;
        };
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        qputenv("KV7702R_HISTORY", dir.filePath(QStringLiteral("history.jsonl")).toUtf8());
        const Ran r = captured([&] { return cli::runParamsSet(*b.session, {4, 9940}); });
        EXPECT_EQ(r.code, row.code) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(row.says), std::string::npos) << r.out << r.err;
        EXPECT_EQ(b.bus->holds(1, 6), row.holds);
        const auto life = cli::lifeOf(cli::readHistory(cli::historyPath()).entries, "/dev/ttyFake", 1);
        ASSERT_EQ(life.size(), 1u);
        EXPECT_NE(cli::entryText(life[0]).toStdString().find(row.history), std::string::npos)
            << cli::entryText(life[0]).toStdString();
        qunsetenv("KV7702R_HISTORY");
    }
}

// calibrate cut between its writes says which was written and how to put both back.
TEST(CliOnAFakeLine, ACalibrationCutBetweenItsWritesPrintsHowToRestore) {
    Bench b(prompt(), {1});
    int writes = 0;
    b.bus->script = [&](int, const QByteArray& request) {
        if (isWrite(request) && ++writes == 2) b.line->unplug(b.line->nowNs() + NS_PER_MS, -1);
        return Fate::Normal;
    };
    cli::CalibrateOptions c;
    c.RL = 100;
    c.RH = 138.5;
    c.RA = 100.60;
    c.RB = 139.10;
    c.yes = true;
    const Ran r = captured([&] { return cli::runCalibrate(*b.session, c); });
    EXPECT_EQ(r.code, 3) << r.out << r.err;
    EXPECT_NE(
        r.err.find(
            "calibration incomplete: LA written (601 -> 10000), OF unknown (it held 701, 4939 was sent)"),
        std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("  kv7702r --port /dev/ttyFake --rate 19200 --address 1 params set la 601 --force\n"
                         "  kv7702r --port /dev/ttyFake --rate 19200 --address 1 params set of 701\n"),
              std::string::npos)
        << r.out;
}

TEST(CliOnAFakeLine, AnAddressChangeIsToldWhereTheSensorAnswers) {
    // The change carried out, its acknowledgement lost: the sensor answers at the new address.
    Bench lost(prompt(), {1});
    lost.bus->script = [](int, const QByteArray& r) { return isWrite(r) ? Fate::Unanswered : Fate::Normal; };
    const Ran moved = captured([&] { return cli::runAddressSet(*lost.session, {9, false}); });
    EXPECT_EQ(moved.code, 0) << moved.err;
    EXPECT_NE(moved.out.find("address 1 -> 9 (acknowledgement lost), verified by a measurement at 9"),
              std::string::npos)
        << moved.out;
    // Never heard: it still answers at the old one.
    Bench deaf(prompt(), {1});
    deaf.bus->script = [](int, const QByteArray& r) { return isWrite(r) ? Fate::Ignored : Fate::Normal; };
    const Ran stayed = captured([&] { return cli::runAddressSet(*deaf.session, {9, false}); });
    EXPECT_EQ(stayed.code, 3) << stayed.err;
    EXPECT_NE(stayed.err.find("address not changed (no reply within 1000 ms): the sensor still answers at 1"),
              std::string::npos)
        << stayed.err;
}

// Two sensors at 1 and 2 that answer after 250 ms: the check of address 2 times out at
// 200 ms, and the answer heard late in the grace period still means it is taken.
TEST(CliOnAFakeLine, ALateAnswerAtTheNewAddressMeansItIsTaken) {
    Model slow = prompt();
    slow.turnMinMs = slow.turnMaxMs = 250;
    cli::CommonOptions o;
    o.timeoutMs = 200;
    o.retries = 0;
    Bench b(slow, {1, 2}, o);
    const Ran r = captured([&] { return cli::runAddressSet(*b.session, {2, false}); });
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_NE(r.err.find("address 2 answers already"), std::string::npos) << r.err;
    EXPECT_EQ(b.writesOf(0x06), 0) << "nothing written";
}

// Three sensors answering the address read one after another are three sensors.
TEST(CliOnAFakeLine, EveryAnswerToTheAddressReadIsHeard) {
    const Model& several = models()[7];
    Bench address(several, {5, 37, 113});
    const Ran r = captured([&] { return cli::runAddressRead(*address.session); });
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("3 sensors answer the address read: 5, 37, 113"), std::string::npos) << r.err;
    Bench scan(several, {5, 37, 113});
    cli::ScanOptions o;
    o.rates = {19200};
    const Ran found = captured([&] { return cli::runScan(*scan.session, o); });
    EXPECT_EQ(found.code, 0) << found.err;
    EXPECT_NE(found.out.find("3 sensor(s) found"), std::string::npos) << found.out;
    EXPECT_NE(found.out.find("--address 5,37,113"), std::string::npos) << found.out;
}

// Through an adapter that echoes, without --echo, scan stops at the first echo and says so.
TEST(CliOnAFakeLine, AScanThroughAnEchoingAdapterEndsWithTheEchoError) {
    Bench b(models()[6], {1});
    cli::ScanOptions o;
    o.rates = {9600, 19200};
    const Ran r = captured([&] { return cli::runScan(*b.session, o); });
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("use --echo"), std::string::npos) << r.err;
    EXPECT_EQ(b.line->writes().size(), 1u) << "the first request already came back";
}

// Sensors that answer only with exceptions did answer.
TEST(CliOnAFakeLine, SensorsAnsweringOnlyWithExceptionsAnswered) {
    cli::CommonOptions o;
    Bench b(prompt(), {1, 2}, o);
    b.bus->script = [](int, const QByteArray&) { return Fate::Refused; };
    cli::ReadOptions read;
    read.addresses = {1, 2};
    read.count = 1;
    read.countGiven = true;
    const Ran r = captured([&] { return cli::runRead(*b.session, read); });
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_NE(r.out.find("exception 04 Server Device Failure"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("never answered"), std::string::npos) << r.out;
}

// read over a device server that closes connections between requests, keeps a session open
// that no longer answers, or goes away: a connection made anew costs no reading, and the
// summary tells reconnects apart from outages.
TEST(CliOnAFakeLine, ANetworkLinkIsMadeAnewBetweenRequests) {
    struct Row {
        const char* what;
        int reconnectAfter;
        // After request `index` went out, on the fake line: its reply ends at replyEndNs.
        std::function<void(FakeLine&, int index, qint64 replyEndNs)> server;
        std::function<Fate(FakeLine&, int index)> answers;
        int code;
        int ok; // rows with values, of 5
        const char* says;
    };
    const auto normal = [](FakeLine&, int) { return Fate::Normal; };
    const auto closesIdle = [](FakeLine& f, int, qint64 end) { f.unplug(end + 1000, end + 1000); };
    // The first session stops answering after two requests; new ones answer.
    const auto halfOpen = [](FakeLine& f, int index) {
        return f.reopens() == 0 && index >= 2 ? Fate::Ignored : Fate::Normal;
    };
    const Row rows[] = {
        {"closed by the server after each reply", 3, closesIdle, normal, 0, 5,
         "connection made anew 4 time(s): 4 ended by the other end between requests, 0 after"},
        {"a session that stops answering", 3, nullptr, halfOpen, 3, 4,
         "connection made anew 1 time(s): 0 ended by the other end between requests, 1 after requests in "
         "a row went unanswered"},
        {"a session that stops answering, made anew after each timeout", 1, nullptr, halfOpen, 0, 5,
         "connection made anew 1 time(s)"},
        {"a session that stops answering, never made anew", 0, nullptr, halfOpen, 3, 2, "8 timeouts"},
        {"closed under a request", 3,
         [](FakeLine& f, int index, qint64) {
             if (index == 1) f.unplug(f.nowNs() + 1000, f.nowNs() + 1000);
         },
         normal, 3, 1, "the port went away"},
        {"the server gone after the first reply", 3,
         [](FakeLine& f, int index, qint64 end) {
             if (index == 0) f.unplug(end + 1000, -1);
         },
         normal, 3, 1, "the port went away: the adapter is unplugged"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto stream = std::make_unique<FakeLine>(19200);
        FakeLine& line = *stream;
        Bus bus(line, prompt(), {1}, 1);
        bus.script = [&](int index, const QByteArray&) { return row.answers(line, index); };
        if (row.server) {
            const auto answer = line.onWrite;
            line.onWrite = [&, answer](int index) {
                answer(index);
                const std::vector<Reply>& replies = bus.repliesTo(index);
                if (!replies.empty()) row.server(line, index, replies.back().endNs);
            };
        }
        cli::CommonOptions o;
        o.timeoutMs = 200;
        cli::Session session(o, std::make_unique<net::RedialLine>(std::move(stream), row.reconnectAfter),
                             QStringLiteral("tcp://192.0.2.7:4001"), 9600);
        cli::ReadOptions read;
        read.count = 5;
        read.countGiven = true;
        read.csv = "-";
        const Ran r = captured([&] { return cli::runRead(session, read); });
        EXPECT_EQ(r.code, row.code) << r.out << r.err;
        int ok = 0;
        for (std::size_t at = r.out.find(",ok\n"); at != std::string::npos; at = r.out.find(",ok\n", at + 1))
            ++ok;
        EXPECT_EQ(ok, row.ok) << r.out;
        EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("port lost"), std::string::npos) << "no outage: " << r.err;
    }
}

// Two sensors answer the address read, one promptly and one late: every answer within the
// full timeout's window (timeout and grace) is a sensor found, one beyond it is not.
TEST(CliOnAFakeLine, AScanFindsEverySensorThatAnswersTheAddressReadInItsWindow) {
    struct Row {
        const char* what;
        double fastMs, slowMs; // sensor 1's turn and sensor 2's
        int timeoutMs;
        const char* found;
        const char* readThem;
    };
    const Row rows[] = {
        {"both within the probe", 10, 150, 1000, "2 sensor(s) found", "--address 1,2"},
        {"the slow one long after the probe", 10, 1500, 2500, "2 sensor(s) found", "--address 1,2"},
        {"the slow one in the grace period", 10, 2800, 2500,
         "found: rate 9600, address 2, measurement failed", "--address 1,2"},
        {"the slow one beyond the window", 10, 3200, 2500, "1 sensor(s) found", "--address 1\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Model two = prompt();
        two.severalAnswer = true;
        cli::CommonOptions o;
        o.timeoutMs = row.timeoutMs;
        Bench b(two, {1, 2}, o);
        b.bus->turnOf = [&](std::uint8_t address) { return address == 1 ? row.fastMs : row.slowMs; };
        cli::ScanOptions scan;
        scan.rates = {9600};
        scan.addresses = {1, 2, 3};
        const Ran r = captured([&] { return cli::runScan(*b.session, scan); });
        EXPECT_EQ(r.code, 0) << r.out << r.err;
        EXPECT_NE(r.out.find(row.found), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(row.readThem), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("found: rate 9600, address 1, moisture"), std::string::npos) << r.out;
        // Nobody is swept for: the address read answered.
        EXPECT_EQ(r.out.find("tried addresses"), std::string::npos) << r.out;
    }
}

// What comes between the rounds of read --every (a reply sent twice, a late one) is heard out
// as it comes, counted and told at its own time, never taken for the next round's answer.
TEST(CliOnAFakeLine, BytesBetweenRoundsAreHeardOutAsTheyCome) {
    cli::CommonOptions o;
    o.timeoutMs = 200; // the first round is over, its answer trusted, before the repeat comes
    Bench b(prompt(), {1}, o);
    FakeLine& line = *b.line;
    const auto answer = line.onWrite;
    qint64 repeatNs = 0;
    line.onWrite = [&](int index) {
        answer(index);
        // The first reply comes again 400 ms later, as a repeater that sends it twice.
        if (index != 0) return;
        const Reply& first = b.bus->repliesTo(0).front();
        repeatNs = first.endNs + 400 * NS_PER_MS;
        line.arrive(repeatNs, first.frame, 0);
    };
    std::vector<line::LineEvent> told;
    b.session->observe([&](const line::LineEvent& e) { told.push_back(e); });
    cli::ReadOptions read;
    read.count = 2;
    read.countGiven = true;
    read.everyMs = 2000;
    read.everyGiven = true;
    read.csv = "-";
    const Ran r = captured([&] { return cli::runRead(*b.session, read); });
    EXPECT_EQ(r.code, 0) << r.err;
    // The moisture register counts the sensor's replies: the second row is its second.
    EXPECT_NE(r.out.find(",0.01,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(",0.02,"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("1 late replies"), std::string::npos) << r.err;
    const auto late = std::find_if(told.begin(), told.end(), [](const line::LineEvent& e) {
        return e.verdict == line::LineEvent::Verdict::Late;
    });
    ASSERT_NE(late, told.end());
    EXPECT_EQ(line::nsAt(late->at), repeatNs) << "told when it came, not when the next request went out";
    ASSERT_GE(line.writes().size(), 2u);
    EXPECT_LT(line::nsAt(late->at), line.writes()[1].ns);
}

// read with soil settings: every output gains relative water, deficit and flags beside the raw
// values; without them the CSV header is today's, so files logged before still take rows.
TEST(CliOnAFakeLine, ReadWithSoilSettingsCarriesWhatTheReadingMeans) {
    struct Row {
        const char* what;
        bool soil;
        bool silent; // the sensor never answers
        bool json, influx;
        std::vector<const char*> says;
        std::vector<const char*> never;
    };
    // The fake's moisture counts its replies: 0.01, 0.02, ...; fc 30, wp 15 and 60 cm of roots.
    const Row rows[] = {
        {"CSV without soil options, as before",
         false,
         false,
         false,
         false,
         {"time,address,moisture_percent,temperature_celsius,latency_ms,status\n", ",ok\n"},
         {"relative_water", "flags"}},
        {"CSV",
         true,
         false,
         false,
         false,
         {"time,address,moisture_percent,temperature_celsius,latency_ms,status,relative_water,deficit_mm,"
          "flags\n",
          ",0.01,", ",ok,-0.999,179.9,\n"},
         {}},
        {"CSV of a silent sensor: stale from the third",
         true,
         true,
         false,
         false,
         {",timeout,,,\n", ",timeout,,,stale\n"},
         {}},
        {"JSON",
         true,
         false,
         true,
         false,
         {"\"status\":\"ok\",\"relative_water\":-0.999,\"deficit_mm\":179.9,\"flags\":[]}\n"},
         {}},
        {"JSON of a silent sensor",
         true,
         true,
         true,
         false,
         {"\"relative_water\":null,\"deficit_mm\":null,\"flags\":[\"stale\"]}\n"},
         {}},
        {"JSON without soil options, as before",
         false,
         false,
         true,
         false,
         {"\"status\":\"ok\"}\n"},
         {"flags"}},
        {"line protocol",
         true,
         false,
         false,
         true,
         {"status=\"ok\",relative_water=-0.999,deficit_mm=179.9,flags=\"\" "},
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        cli::CommonOptions o;
        o.timeoutMs = 200;
        o.retries = 0;
        Bench b(prompt(), {1}, o);
        if (row.silent) b.bus->script = [](int, const QByteArray&) { return Fate::Ignored; };
        cli::ReadOptions read;
        read.count = 3;
        read.countGiven = true;
        read.csv = row.json || row.influx ? "" : "-";
        read.json = row.json;
        read.influx = row.influx;
        read.withSoil = row.soil;
        read.soil.fieldCapacity = 30;
        read.soil.wiltingPoint = 15;
        read.soil.rootZoneCm = 60;
        const Ran r = captured([&] { return cli::runRead(*b.session, read); });
        EXPECT_EQ(r.code, row.silent ? 3 : 0) << r.out << r.err;
        for (const char* says : row.says)
            EXPECT_NE(r.out.find(says), std::string::npos) << says << "\n" << r.out;
        for (const char* never : row.never)
            EXPECT_EQ(r.out.find(never), std::string::npos) << never << "\n" << r.out;
    }
}
