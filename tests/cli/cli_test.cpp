// kv7702r as a user runs it: a separate process against the virtual sensor on a pty.
// Expected values are worked out here from the sensor's physics and the calibration
// formulas, not taken from the program.

#include "../sim/sim_harness.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <pwd.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>

using namespace simtest;

namespace {

// Generous: these run beside other builds and under sanitizers.
constexpr milliseconds kRunDeadline{60000};
// Reply timeout for the tests, far above the sim's few milliseconds.
const std::string kTimeout = "300";

struct Outcome {
    std::optional<int> code;
    std::string out;
    std::string err;
};

// A number of the summary line, e.g. field(err, "requests").
long summaryField(const std::string& text, const std::string& name) {
    std::smatch m;
    const std::regex re("(\\d+) " + name);
    if (!std::regex_search(text, m, re)) return -1;
    return std::stol(m[1]);
}

// The temperature the sensor reports before calibration: the PT100 at t degrees, read
// with its fixed gain and offset, turned back into degrees.
double uncalibratedReading(double t) {
    const double A = 3.9083e-3, B = -5.775e-7;
    const double R = 100 * (1 + A * t + B * t * t);
    const double raw = std::round((1.006 * R + 0.35) * 100) / 100;
    return (-A + std::sqrt(A * A - 4 * B * (1 - raw / 100))) / (2 * B);
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        link_ = dir_.file("ttyKV");
    }

    void startSim(std::vector<std::string> extra) {
        std::vector<std::string> args{"--link", link_,    "--moisture", "30",       "--temperature",
                                      "22",     "--seed", "5",          "--verbose"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(sim_.start(KV_SIM_BINARY, args, dir_.file("sim.err")), "");
        const auto line = sim_.readLine(Clock::now() + kStartupDeadline);
        ASSERT_TRUE(line && line->rfind("ready ", 0) == 0) << sim_.stderrText();
    }

    // `input`, when given, is what the program reads on stdin.
    Outcome kv(std::vector<std::string> args, const std::string& program = KV_CLI_BINARY,
               const std::optional<std::string>& input = std::nullopt) {
        Outcome r;
        Child c;
        std::string inputPath;
        if (input) {
            inputPath = dir_.file("kv.in." + std::to_string(runs_ + 1));
            std::ofstream(inputPath, std::ios::binary) << *input;
        }
        const std::string err =
            c.start(program, args, dir_.file("kv.err." + std::to_string(++runs_)), false, inputPath);
        EXPECT_EQ(err, "");
        if (!err.empty()) return r;
        r.out = c.readAll(Clock::now() + kRunDeadline);
        r.code = c.wait(Clock::now() + kRunDeadline);
        r.err = c.stderrText();
        return r;
    }

    // kv7702r on the sim's line, at 19200 unless the arguments say otherwise.
    Outcome onLine(std::vector<std::string> args, const std::optional<std::string>& input = std::nullopt) {
        args.insert(args.end(), {"--port", link_});
        if (std::find(args.begin(), args.end(), "--timeout") == args.end())
            args.insert(args.end(), {"--timeout", kTimeout});
        if (std::find(args.begin(), args.end(), "--rate") == args.end())
            args.insert(args.end(), {"--rate", "19200"});
        return kv(args, KV_CLI_BINARY, input);
    }

    // What the sim logged so far.
    const std::string& simLog() {
        while (auto l = sim_.readLine(Clock::now() + milliseconds(200)))
            simLog_ += *l + "\n";
        return simLog_;
    }
    // Request lines the sim logged so far.
    int requestsSeen() { return countOf(simLog(), "<<"); }

    TempDir dir_;
    std::string link_;
    Child sim_;
    std::string simLog_;
    int runs_ = 0;
};

} // namespace

TEST_F(Cli, ScanFindsASensorAtUnknownRateAndAddress) {
    startSim({"--address", "37", "--baud", "14400"});
    const Outcome r = onLine({"scan"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("found: rate 14400, address 37, moisture 30.00 %"), std::string::npos) << r.out;
    EXPECT_EQ(countOf(r.out, "found: "), 1) << r.out;
    EXPECT_NE(r.out.find("1 sensor(s) found"), std::string::npos);
}

TEST_F(Cli, ScanSweepsWhenTheAddressReadGoesUnanswered) {
    startSim({"--address", "3", "--baud", "9600", "--no-address-read"});
    const Outcome r = onLine({"scan", "--rates", "19200,9600", "--addresses", "1-5"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("found: rate 9600, address 3, moisture 30.00 %"), std::string::npos) << r.out;
    EXPECT_EQ(countOf(r.out, "found: "), 1) << r.out;
    sim_.terminate();
    // A sensor that answers every read with an exception is there all the same.
    startSim({"--exception", "1", "--no-address-read"});
    const Outcome ex = onLine({"scan", "--rates", "9600", "--addresses", "1-2"});
    EXPECT_EQ(ex.code, 0) << ex.err;
    EXPECT_NE(ex.out.find("found: rate 9600, address 1, answers with exception 04"), std::string::npos)
        << ex.out;
    EXPECT_EQ(countOf(ex.out, "found: "), 1) << ex.out;
    sim_.terminate();
    // A sensor slower than the sweep's probes is heard late and found at the full timeout.
    startSim({"--address", "4", "--no-address-read", "--turnaround", "250"});
    const Outcome slow = onLine({"scan", "--rates", "19200", "--addresses", "1-8", "--timeout", "1000"});
    EXPECT_EQ(slow.code, 0) << slow.err;
    EXPECT_NE(slow.out.find("found: rate 19200, address 4, moisture 30.00 %"), std::string::npos) << slow.out;
    EXPECT_EQ(countOf(slow.out, "found: "), 1) << slow.out;
}

TEST_F(Cli, ScanSweepsWhenSeveralAnswerTheAddressRead) {
    startSim({"--address", "2", "--address", "4"});
    const Outcome r = onLine({"scan", "--rates", "19200", "--addresses", "1-6"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("found: rate 19200, address 2,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("found: rate 19200, address 4,"), std::string::npos) << r.out;
    EXPECT_EQ(countOf(r.out, "found: "), 2) << r.out;
    // The last line is what a technician pastes to log them.
    EXPECT_EQ(lines(r.out).back(),
              "read them with: kv7702r read --port " + link_ + " --rate 19200 --address 2,4");
}

TEST_F(Cli, ScanFirstStopsAtTheFirstFind) {
    startSim({"--address", "2", "--address", "4"});
    const Outcome r = onLine({"scan", "--rates", "19200", "--addresses", "1-6", "--first"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("found: rate 19200, address 2,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 sensor(s) found"), std::string::npos) << r.out;
    // The address read, then addresses 1 and 2 of the sweep, whose reply is the first measurement.
    EXPECT_EQ(requestsSeen(), 1 + 2);
}

TEST_F(Cli, ScanOfASilentLineFindsNothing) {
    startSim({"--silence", "1"});
    const Outcome r = onLine({"scan", "--rates", "9600,19200", "--addresses", "1-3"});
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_EQ(countOf(r.out, "found: "), 0);
    EXPECT_NE(r.out.find("0 sensor(s) found"), std::string::npos);
    // The address read at both rates, then the sweep of three addresses at both.
    EXPECT_EQ(requestsSeen(), 2 + 2 * 3);
}

TEST_F(Cli, ReadGivesTheSensorsValuesAndASummary) {
    startSim({});
    const Outcome r = onLine({"read", "--count", "4", "--csv", "-"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto rows = lines(r.out);
    ASSERT_EQ(rows.size(), 5u) << r.out;
    EXPECT_EQ(rows[0], "time,address,moisture_percent,temperature_celsius,latency_ms,status");
    char expected[16];
    std::snprintf(expected, sizeof expected, "%.2f", uncalibratedReading(22.0));
    const std::regex row(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z),1,30\.00,([-0-9.]+),([0-9.]+),ok)");
    for (size_t i = 1; i < rows.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(rows[i], m, row)) << rows[i];
        EXPECT_EQ(m[2], expected);
    }
    EXPECT_EQ(summaryField(r.err, "measurements"), 4) << r.err;
    EXPECT_EQ(summaryField(r.err, "requests"), 4);
    EXPECT_EQ(summaryField(r.err, "replies"), 4);
    EXPECT_EQ(summaryField(r.err, "timeouts"), 0);
    EXPECT_NE(r.err.find("loss 0.0 %"), std::string::npos);
    EXPECT_NE(r.err.find("latency ms: min "), std::string::npos);
}

// A calibration's file turns the soil columns on and puts the calibrated moisture, a + b*raw, beside
// the raw one in every output; soil-fit shows the same fit.
TEST_F(Cli, ReadWithASoilCalibrationWritesTheCalibratedMoistureBesideTheRaw) {
    startSim({});
    const std::string file = dir_.file("plot3.toml");
    std::ofstream(file) << "id = \"plot3-2026-05\"\ndate = 2026-05-04\ndegree = 1\n"
                           "samples = [[10, 10.5], [20, 19.5], [40, 37.5], [60, 55.5]]\n";
    char calibrated[16];
    std::snprintf(calibrated, sizeof calibrated, "%.2f", 1.5 + 0.9 * 30.0); // the sim's raw 30 %
    struct Row {
        std::string format;
        std::vector<std::string> says;
    };
    const Row rows[] = {
        {"--csv",
         {"time,address,moisture_percent,temperature_celsius,latency_ms,status,relative_water,deficit_mm,"
          "flags,"
          "moisture_calibrated\n",
          std::string(",1,30.00,"), std::string(",ok,,,,") + calibrated + "\n"}},
        {"--json",
         {"\"moisture_percent\":30.00,", std::string("\"status\":\"ok\",\"moisture_calibrated\":") +
                                             calibrated +
                                             ",\"calibration\":\"plot3-2026-05\",\"relative_water\":null"}},
        {"--influx",
         {"moisture=30.00,", std::string("status=\"ok\",moisture_calibrated=") + calibrated + ","}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.format);
        std::vector<std::string> args{"read", "--count", "2", "--soil-calibration", file, row.format};
        if (row.format == "--csv") args.push_back("-");
        const Outcome r = onLine(args);
        ASSERT_EQ(r.code, 0) << r.err;
        for (const std::string& says : row.says)
            EXPECT_NE(r.out.find(says), std::string::npos) << says << "\n" << r.out;
    }
    const Outcome fit = kv({"soil-fit", file});
    EXPECT_EQ(fit.code, 0) << fit.err;
    EXPECT_NE(fit.out.find("with a 1.5, b 0.9, c 0\n"), std::string::npos) << fit.out;
    EXPECT_NE(fit.out.find("   40.00       37.50       37.50        0.00\n"), std::string::npos) << fit.out;
    EXPECT_NE(fit.out.find("rms 0.00 points over 4 samples\n"), std::string::npos) << fit.out;
    std::ofstream(file) << "id = \"x\"\ndate = 2026-05-04\nsamples = [[10, 10.5], [10, 19.5]]\n";
    const Outcome bad = kv({"soil-fit", file});
    EXPECT_EQ(bad.code, 1);
    EXPECT_EQ(bad.err, "kv7702r: " + file +
                           ":3:11: samples: a linear calibration needs samples at 2 different raw values at "
                           "least, not 1\n");
}

TEST_F(Cli, ReadCountsAndRetriesLineFaults) {
    {
        startSim({"--bad-crc", "1"});
        const Outcome r = onLine({"read", "--count", "2", "--retries", "2", "--json"});
        EXPECT_EQ(r.code, 4) << r.err;
        EXPECT_EQ(summaryField(r.err, "requests"), 6) << r.err;
        EXPECT_EQ(summaryField(r.err, "retries\\)"), 4);
        EXPECT_EQ(summaryField(r.err, "CRC errors"), 6);
        EXPECT_EQ(summaryField(r.err, "replies"), 0);
        EXPECT_NE(r.err.find("loss 100.0 %"), std::string::npos);
        EXPECT_EQ(countOf(r.out, "\"status\":\"bad CRC\""), 2) << r.out;
        EXPECT_EQ(requestsSeen(), 6);
        sim_.terminate();
    }
    {
        startSim({"--silence", "1"});
        const Outcome r = onLine({"read", "--count", "2", "--retries", "1"});
        EXPECT_EQ(r.code, 3) << r.err;
        EXPECT_EQ(summaryField(r.out, "requests"), 4) << r.out;
        EXPECT_EQ(summaryField(r.out, "timeouts"), 4);
        EXPECT_NE(r.out.find("latency ms: no replies"), std::string::npos);
        sim_.terminate();
    }
}

TEST_F(Cli, ReadNeverRetriesAnException) {
    startSim({"--exception", "1"});
    const Outcome r = onLine({"read", "--count", "3", "--csv", "-"});
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_EQ(countOf(r.out, ",exception 04 Server Device Failure"), 3) << r.out;
    EXPECT_EQ(summaryField(r.err, "requests"), 3);
    EXPECT_EQ(summaryField(r.err, "exceptions"), 3);
    EXPECT_EQ(summaryField(r.err, "retries\\)"), 0);
}

TEST_F(Cli, ReadSummaryAddsUpUnderMixedFaults) {
    startSim({"--bad-crc", "0.3", "--silence", "0.2", "--seed", "9"});
    const Outcome r = onLine({"read", "--count", "20", "--timeout", "150", "--csv", "-"});
    const long requests = summaryField(r.err, "requests");
    const long replies = summaryField(r.err, "replies");
    const long timeouts = summaryField(r.err, "timeouts");
    const long crc = summaryField(r.err, "CRC errors");
    EXPECT_GT(crc, 0) << r.err;
    EXPECT_GT(timeouts, 0);
    EXPECT_EQ(requests, replies + timeouts + crc);
    EXPECT_EQ(summaryField(r.err, "retries\\)"), requests - 20);
    // Besides the requests, the reads that resynchronised after a timeout or a bad CRC.
    const long syncs = std::max(summaryField(r.err, "syncs"), 0L);
    EXPECT_EQ(requestsSeen(), requests + syncs);
    const int okRows = countOf(r.out, ",ok\n");
    EXPECT_EQ(okRows, replies);
    EXPECT_EQ(r.code, okRows == 20 ? 0 : (r.out.rfind("timeout") != std::string::npos ? 3 : 4));
}

// Sensors on a real pseudo terminal, each with the default timeout: the registers each under its
// own name, the readings with latencies no shorter than the sensor's turnaround, and no request
// sooner than 3.5 characters after a reply (the sim ignores such a request, as real sensors do).
// Late and jittering sensors are proven on the fake line's clock (tests/line), not here.
TEST_F(Cli, RealLineTimingsGiveTrueValues) {
    struct Row {
        const char* what;
        std::vector<std::string> sim;
        std::vector<std::string> kv;
        double turnaroundMs;
    };
    const Row rows[] = {
        {"prompt, 2 ms", {"--turnaround", "2"}, {"--rate", "19200"}, 2},
        {"60 ms at 9600", {"--turnaround", "60", "--baud", "9600"}, {"--rate", "9600"}, 60},
        {"echoing adapter", {"--turnaround", "20", "--echo"}, {"--rate", "19200", "--echo"}, 20},
    };
    // The sim's registers 2..8: parameters 0..5 as made, then the PT100's resistance at 22 degC.
    const int registers[] = {10000, 0, 10000, 0, 10000, 5000, 10957};
    char temperature[16];
    std::snprintf(temperature, sizeof temperature, "%.2f", uncalibratedReading(22.0));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> simArgs = row.sim;
        simArgs.push_back("--strict-gap");
        startSim(simArgs);
        auto run = [&](std::vector<std::string> args) {
            args.insert(args.end(), row.kv.begin(), row.kv.end());
            args.insert(args.end(), {"--port", link_});
            return kv(args);
        };
        const Outcome params = run({"params"});
        EXPECT_EQ(params.code, 0) << params.err;
        int shown = 0;
        for (const std::string& l : lines(params.out)) {
            std::smatch m;
            if (!std::regex_search(l, m, std::regex(R"(register (\d)  raw +(\d+) )"))) continue;
            ++shown;
            EXPECT_EQ(std::stoi(m[2]), registers[std::stoi(m[1]) - 2]) << l;
        }
        EXPECT_EQ(shown, 7) << params.out;
        const Outcome read = run({"read", "--count", "4", "--csv", "-"});
        EXPECT_EQ(read.code, 0) << read.err;
        const std::regex okRow(R"([^,]+,1,30\.00,([-0-9.]+),([0-9.]+),ok)");
        int okRows = 0;
        for (const std::string& l : lines(read.out)) {
            std::smatch m;
            if (!std::regex_match(l, m, okRow)) continue;
            ++okRows;
            EXPECT_EQ(m[1], temperature);
            EXPECT_GE(std::stod(m[2]), row.turnaroundMs) << l;
        }
        EXPECT_EQ(okRows, 4) << read.out;
        EXPECT_EQ(summaryField(read.err, "requests"),
                  summaryField(read.err, "replies") + summaryField(read.err, "timeouts"))
            << read.err;
        EXPECT_EQ(countOf(simLog(), "too soon"), 0) << simLog_;
        sim_.terminate();
        simLog_.clear();
    }
    // Without --echo, an echoing adapter is named as such.
    startSim({"--echo"});
    const Outcome echoed = onLine({"params"});
    EXPECT_EQ(echoed.code, 4);
    EXPECT_EQ(countOf(echoed.out, "the adapter echoes what it sends; use --echo"), 7) << echoed.out;
    // A write's answer is its echo; the adapter's copy comes first, the sensor's right after.
    const Outcome written = onLine({"params", "set", "la", "9000"});
    EXPECT_EQ(written.code, 4);
    EXPECT_NE(written.err.find("the adapter echoes what it sends; use --echo"), std::string::npos)
        << written.err;
}

TEST_F(Cli, VerifiedParameterWrites) {
    startSim({});
    const Outcome la = onLine({"params", "set", "la", "9940"});
    EXPECT_EQ(la.code, 0) << la.err;
    EXPECT_NE(la.out.find("written and verified"), std::string::npos);
    const Outcome scale = onLine({"params", "set", "0", "0.2"});
    EXPECT_EQ(scale.code, 0) << scale.err;

    const Outcome list = onLine({"params"});
    EXPECT_EQ(list.code, 0) << list.err;
    EXPECT_TRUE(
        std::regex_search(list.out, std::regex(R"(\n4  la +temperature slope LA +register 6  raw  9940 )")))
        << list.out;
    EXPECT_TRUE(std::regex_search(list.out, std::regex(R"(0  scale .*register 2  raw  2000  value 0\.2000)")))
        << list.out;
}

TEST_F(Cli, ParameterWriteTheSensorDoesNotKeepFailsWithExit4) {
    startSim({"--forget-writes"});
    const Outcome r = onLine({"params", "set", "la", "9940"});
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_NE(r.err.find("verification failed"), std::string::npos) << r.err;
}

TEST_F(Cli, UsageErrorsSendNothing) {
    startSim({});
    // A log of an earlier version, whose rows lack the address.
    const std::string oldLog = dir_.file("old.csv");
    {
        std::ofstream f(oldLog);
        f << "time,moisture_percent,temperature_celsius,latency_ms,status\n";
    }
    const std::string badCalibration = dir_.file("bad-cal.toml");
    std::ofstream(badCalibration) << "id = 1\n";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"read", "--csv", oldLog},
             {"read", "--soil-calibration", badCalibration},
             {"read", "--address", "0,3"},
             {"read", "--address", "3-1"},
             {"read", "--influx", "--json"},
             {"params", "--address", "3,37"},
             {"address", "set", "5", "--address", "1-2"},
             {"calibrate", "--rl", "100", "--rh", "138.5", "--ra", "100", "--rb", "139", "-a", "1,2"},
             {"params", "set", "slope", "1"},
             {"params", "set", "la", "70000"},
             {"params", "set", "scale", "7"},
             {"params", "set", "of", "-100"},
             {"params", "set", "la", "20000"},
             {"read", "--rate", "12345"},
             {"scan", "--rates", "9600,14401"},
             {"address", "set", "248"},
             {"address", "set", "1"},
             {"calibrate", "--rl", "100", "--rh", "138.5", "--ra", "100.6", "--rb", "100.6"},
             {"read", "--csv", "-", "--json"},
             {"scan", "--addresses", "0-5"},
             {"calibrate", "--rl", "100"},
             {"bogus"},
         }) {
        const Outcome r = onLine(args);
        EXPECT_EQ(r.code, 1) << ::testing::PrintToString(args) << r.err;
        EXPECT_EQ(r.err.rfind("kv7702r: ", 0), 0u) << r.err;
    }
    EXPECT_EQ(requestsSeen(), 0);
    EXPECT_EQ(readFile(oldLog), "time,moisture_percent,temperature_celsius,latency_ms,status\n");
}

TEST_F(Cli, ABusIsReadRoundByRoundAndASilentSensorFailsOnlyItsOwnRows) {
    // Two sensors answer on the line; nobody has address 113.
    startSim({"--address", "3", "--address", "37"});
    const Outcome r = onLine(
        {"read", "--address", "113,3,37", "--count", "2", "--every", "1500", "--retries", "1", "--csv", "-"});
    EXPECT_EQ(r.code, 3) << r.err;
    const auto rows = lines(r.out);
    ASSERT_EQ(rows.size(), 1u + 2 * 3) << r.out;
    const std::regex row(R"(([-0-9T:.Z]+),(\d+),([-0-9.]*),([-0-9.]*),([0-9.]*),(.*))");
    std::vector<long long> roundStart;
    for (size_t i = 1; i < rows.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(rows[i], m, row)) << rows[i];
        const int address = std::stoi(m[2]);
        const int expected[] = {3, 37, 113};
        EXPECT_EQ(address, expected[(i - 1) % 3]) << "each round asks in address order";
        if (address == 113) {
            EXPECT_EQ(m[6], "timeout");
            EXPECT_EQ(m[3], "");
            EXPECT_EQ(m[5], "") << "no reply, no latency";
        } else {
            EXPECT_EQ(m[6], "ok") << rows[i];
            EXPECT_EQ(m[3], "30.00");
        }
        // Milliseconds of the day are enough for the spacing of two rounds.
        int h = 0, min = 0;
        double sec = 0;
        std::sscanf(std::string(m[1]).c_str() + 11, "%d:%d:%lfZ", &h, &min, &sec);
        const auto msOfDay = static_cast<long long>(((h * 60 + min) * 60 + sec) * 1000 + 0.5);
        if ((i - 1) % 3 == 0)
            roundStart.push_back(msOfDay);
        else // the first round also waits a timeout after each sensor's first answer
            EXPECT_LT((msOfDay - roundStart.back() + 86400000) % 86400000, 2000)
                << "one round, not one period per sensor";
    }
    ASSERT_EQ(roundStart.size(), 2u);
    // A round's first row is stamped at its reply, up to a timeout (300) after the round began.
    EXPECT_GE((roundStart[1] - roundStart[0] + 86400000) % 86400000, 1500 - 300)
        << "--every is the period of a round";
    // The silent sensor's retries are its own; the others were asked once per round.
    EXPECT_EQ(requestsSeen(), 2 * (1 + 1 + 2));
    EXPECT_EQ(summaryField(r.err, "measurements"), 6) << r.err;
    EXPECT_NE(r.err.find("address   3: 2 measurements, 2 requests, 2 replies, 0 timeouts, loss 0.0 %"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("address  37: 2 measurements, 2 requests, 2 replies, 0 timeouts, loss 0.0 %"),
              std::string::npos);
    EXPECT_NE(r.err.find("address 113: 2 measurements, 4 requests, 0 replies, 4 timeouts, loss 100.0 %, "
                         "latency ms: no replies"),
              std::string::npos);
    EXPECT_NE(r.err.find("\nnever answered: 113\n"), std::string::npos);
}

TEST_F(Cli, ALateReplyOnABusIsNeverTakenForTheNextSensorsAnswer) {
    // Every third reply comes after the timeout but within the grace period, and requests
    // that come sooner than 3.5 characters after a reply are dropped, as real sensors do.
    startSim({"--address", "3", "--address", "37", "--late-every", "3", "--late-by", "820", "--strict-gap"});
    // Sensor 37 reads 15.00 more than sensor 3, so a value under the wrong address shows.
    ASSERT_EQ(
        onLine({"params", "set", "moisture-offset", "1500", "--address", "37", "--timeout", "800"}).code, 0);
    const int before = requestsSeen();
    const Outcome r = onLine({"read", "--address", "3,37,113", "--count", "4", "--timeout", "800",
                              "--retries", "0", "--csv", "-"});
    EXPECT_EQ(r.code, 3) << r.err;
    const auto rows = lines(r.out);
    ASSERT_EQ(rows.size(), 1u + 4 * 3) << r.out;
    int late = 0;
    for (size_t i = 1; i < rows.size(); ++i) {
        const std::string address = std::vector<std::string>{"3", "37", "113"}[(i - 1) % 3];
        const std::string good = address == "3" ? ",30.00," : ",45.00,";
        const bool ok = rows[i].find("," + address + good) != std::string::npos && rows[i].size() > 3 &&
                        rows[i].compare(rows[i].size() - 3, 3, ",ok") == 0;
        const bool timedOut = rows[i].find("," + address + ",,,,timeout") != std::string::npos;
        EXPECT_TRUE(ok || timedOut) << rows[i];
        if (timedOut && address != "113") ++late;
    }
    EXPECT_GE(late, 1) << r.out;
    EXPECT_EQ(summaryField(r.err, "late replies"), late) << r.err;
    EXPECT_EQ(requestsSeen() - before, 12) << "one request per sensor and round, each heard";
    EXPECT_EQ(countOf(simLog(), "too soon"), 0) << simLog();
}

TEST_F(Cli, AddressChangeProvesItselfAtTheNewAddress) {
    startSim({});
    const Outcome set = onLine({"address", "set", "37"});
    EXPECT_EQ(set.code, 0) << set.err;
    EXPECT_NE(set.out.find("address 1 -> 37, verified by a measurement at 37: moisture 30.00 %"),
              std::string::npos)
        << set.out;
    EXPECT_EQ(onLine({"address"}).out, "address 37\n");
    EXPECT_EQ(onLine({"read", "--address", "1", "--retries", "0"}).code, 3);
    // A sensor answering with the standard echo is accepted as well.
    sim_.terminate();
    startSim({"--address-echo", "--address", "9"});
    EXPECT_EQ(onLine({"address", "set", "200", "--address", "9"}).code, 0);
    sim_.terminate();
    simLog_.clear();
    // Onto an address another sensor on the bus answers at: refused, nothing written.
    startSim({"--address", "1", "--address", "2"});
    const Outcome taken = onLine({"address", "set", "2"});
    EXPECT_EQ(taken.code, 4) << taken.err;
    EXPECT_NE(taken.err.find("address 2 answers already"), std::string::npos) << taken.err;
    EXPECT_EQ(countOf(simLog(), "<< 01 06"), 0) << simLog_;
    (void)onLine({"address", "set", "2", "--force"});
    EXPECT_EQ(countOf(simLog(), "<< 01 06 0B 00"), 1) << simLog_;
}

TEST_F(Cli, CalibrationWritesWhatTheFormulasGive) {
    startSim({});
    const double RL = 100.0, RH = 138.5, RA = 100.60, RB = 139.10;
    // The two-point line through (RA, RL) and (RB, RH); OF kept in single precision.
    const double LA = (RH - RL) / (RB - RA);
    const auto slope = static_cast<long>(std::floor(LA * 10000));
    const float OF = static_cast<float>(RH - LA * RB);
    const auto offset = static_cast<long>(std::floor(static_cast<double>(OF) * 100)) + 5000;
    ASSERT_EQ(slope, 10000);
    ASSERT_EQ(offset, 4939);

    const Outcome r =
        onLine({"calibrate", "--rl", "100", "--rh", "138.5", "--ra", "100.60", "--rb", "139.10", "--yes"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("LA: 10000 -> 10000"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("OF: 5000 -> 4939"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("before: moisture 30.00 %"), std::string::npos);
    EXPECT_NE(r.out.find("after: moisture 30.00 %"), std::string::npos);

    const Outcome second =
        onLine({"calibrate", "--rl", "100", "--rh", "138.5", "--ra", "101.20", "--rb", "140.90", "-y"});
    ASSERT_EQ(second.code, 0) << second.err;
    const Outcome list = onLine({"params"});
    EXPECT_TRUE(std::regex_search(list.out, std::regex(R"(\n4  la .*raw  9697 )"))) << list.out;
    EXPECT_TRUE(std::regex_search(list.out, std::regex(R"(\n5  of .*raw  5185 )"))) << list.out;
}

TEST_F(Cli, CalibrationFromTheSensorsOwnReadingsCorrectsTheTemperature) {
    startSim({});
    // The sim's true temperature is fixed, so one reading serves as both points: the
    // references are the resistances of 22 degrees and of a second bath computed from it.
    const Outcome before = onLine({"read", "--csv", "-"});
    ASSERT_EQ(before.code, 0) << before.err;
    const double A = 3.9083e-3, B = -5.775e-7;
    auto R = [&](double t) { return 100 * (1 + A * t + B * t * t); };
    auto raw = [&](double t) { return std::round((1.006 * R(t) + 0.35) * 100) / 100; };
    char args[4][32];
    std::snprintf(args[0], 32, "%.4f", R(0));
    std::snprintf(args[1], 32, "%.4f", R(60));
    std::snprintf(args[2], 32, "%.2f", raw(0));
    std::snprintf(args[3], 32, "%.2f", raw(60));
    const Outcome r =
        onLine({"calibrate", "--rl", args[0], "--rh", args[1], "--ra", args[2], "--rb", args[3], "--yes"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(r.out, m, std::regex(R"(after: moisture 30\.00 %, temperature ([-0-9.]+) C)")))
        << r.out;
    EXPECT_NEAR(std::stod(m[1]), 22.0, 0.1);
}

TEST_F(Cli, CalibrationWritesOnlyWhatTheOperatorConfirms) {
    struct Row {
        const char* what;
        std::vector<std::string> args;
        std::string input;
        int code;
        int writes;
    };
    const std::vector<std::string> given{"--ra", "100.60", "--rb", "139.10"};
    const Row rows[] = {
        {"confirmed", given, "y\n", 0, 2},
        {"a bare Enter cancels", given, "\n", 0, 0},
        {"no answer at all", given, "", 1, 0},
        // The sim's temperature is fixed, so both baths read alike.
        {"measured RA equal to RB", {"--yes"}, "\n\n", 4, 0},
    };
    startSim({});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> args{"calibrate", "--rl", "100", "--rh", "138.5"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const int before = countOf(simLog(), "<< 01 06");
        const Outcome r = onLine(args, row.input);
        EXPECT_EQ(r.code, row.code) << r.out << r.err;
        EXPECT_EQ(countOf(simLog(), "<< 01 06") - before, row.writes) << simLog_;
    }
}

TEST_F(Cli, CsvIsCompleteWhenTheSensorVanishes) {
    startSim({});
    const std::string csv = dir_.file("log.csv");
    Child kv;
    ASSERT_EQ(kv.start(KV_CLI_BINARY,
                       {"read", "--every", "20", "--csv", csv, "--port", link_, "--rate", "19200",
                        "--timeout", kTimeout, "--no-reconnect"},
                       dir_.file("kv.err")),
              "");
    // Wait for a few logged measurements, then pull the plug.
    const auto deadline = Clock::now() + kRunDeadline;
    while (countOf(readFile(csv), ",ok\n") < 5 && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10)); // polling interval
    const int seenBeforeKill = countOf(readFile(csv), ",ok\n");
    ASSERT_GE(seenBeforeKill, 5);
    kill(sim_.pid(), SIGKILL);
    sim_.wait(Clock::now() + kRunDeadline);
    const std::string out = kv.readAll(Clock::now() + kRunDeadline);
    const auto code = kv.wait(Clock::now() + kRunDeadline);
    EXPECT_EQ(code, 3) << kv.stderrText();
    EXPECT_NE(kv.stderrText().find("the port went away"), std::string::npos) << kv.stderrText();
    EXPECT_NE(out.find("summary: "), std::string::npos) << out;

    const std::string text = readFile(csv);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << "the last line is whole";
    const auto rows = lines(text);
    EXPECT_EQ(rows[0], "time,address,moisture_percent,temperature_celsius,latency_ms,status");
    int ok = 0;
    for (size_t i = 1; i < rows.size(); ++i) {
        EXPECT_EQ(countOf(rows[i], ","), 5) << rows[i];
        if (rows[i].size() >= 3 && rows[i].compare(rows[i].size() - 3, 3, ",ok") == 0) {
            EXPECT_EQ(ok + 1, static_cast<int>(i)) << "good rows come first, without gaps";
            ++ok;
        }
    }
    EXPECT_GE(ok, seenBeforeKill);
    // Every exchange that was answered is in the file: the sim logged no more replies than rows.
    EXPECT_EQ(ok, summaryField(out, "replies"));
}

TEST_F(Cli, AnUnplugCostsABusWholeRoundsAndTheLogGoesOn) {
    startSim({"--address", "3", "--address", "37"});
    const std::string csv = dir_.file("bus.csv");
    Child kv;
    ASSERT_EQ(kv.start(KV_CLI_BINARY,
                       {"read", "--address", "3,37", "--every", "100", "--csv", csv, "--port", link_,
                        "--rate", "19200", "--timeout", kTimeout},
                       dir_.file("kv.err")),
              "");
    auto waitForRows = [&](const std::string& what, int atLeast) {
        const auto deadline = Clock::now() + kRunDeadline;
        while (countOf(readFile(csv), what) < atLeast && Clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(10)); // polling interval
        return countOf(readFile(csv), what) >= atLeast;
    };
    ASSERT_TRUE(waitForRows(",ok\n", 4));
    sim_.terminate(); // the adapter goes away, its link with it
    ASSERT_TRUE(waitForRows(",port lost\n", 4)) << kv.stderrText();
    const int okBefore = countOf(readFile(csv), ",ok\n");
    startSim({"--address", "3", "--address", "37"}); // and comes back under the same name
    ASSERT_TRUE(waitForRows(",ok\n", okBefore + 4)) << kv.stderrText();
    EXPECT_EQ(kv.terminate(SIGINT), 3) << "measurements were lost";
    const std::string summary = kv.readAll(Clock::now() + kRunDeadline);

    const auto rows = lines(readFile(csv));
    ASSERT_GE(rows.size(), 1u + 12);
    std::string phases; // o for a round that answered, x for one lost with the port
    for (size_t i = 1; i + 1 < rows.size(); i += 2) {
        // Rounds are whole: one row per sensor, in address order, lost or not together
        // except for the round the port went away in.
        ASSERT_NE(rows[i].find(",3,"), std::string::npos) << rows[i];
        ASSERT_NE(rows[i + 1].find(",37,"), std::string::npos) << rows[i + 1];
        const bool lost = rows[i + 1].find(",port lost") != std::string::npos;
        if (phases.empty() || phases.back() != (lost ? 'x' : 'o')) phases += lost ? 'x' : 'o';
    }
    EXPECT_EQ(phases, "oxo") << readFile(csv);
    EXPECT_NE(summary.find("port lost 1 time(s)"), std::string::npos) << summary;
}

TEST_F(Cli, ReadRidesOutAnUnplug) {
    startSim({});
    const std::string csv = dir_.file("night.csv");
    ASSERT_EQ(onLine({"read", "--count", "2", "--csv", csv}).code, 0);
    Child kv;
    ASSERT_EQ(kv.start(KV_CLI_BINARY,
                       {"read", "--every", "200", "--csv", csv, "--port", link_, "--rate", "19200",
                        "--timeout", kTimeout},
                       dir_.file("kv.err")),
              "");
    const auto deadline = Clock::now() + kRunDeadline;
    auto waitFor = [&](const std::function<bool(const std::string&)>& done) {
        while (!done(readFile(csv)) && Clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(20)); // polling interval
        return done(readFile(csv));
    };
    ASSERT_TRUE(waitFor([](const std::string& t) { return countOf(t, ",ok\n") >= 4; }));
    sim_.terminate(); // the sim's pty closes and its link goes
    ASSERT_TRUE(waitFor([](const std::string& t) { return countOf(t, ",port lost\n") >= 3; }));
    startSim({}); // plugged in again: the same name, another device behind it
    ASSERT_TRUE(waitFor([](const std::string& t) { return t.rfind(",ok\n") > t.rfind(",port lost\n"); }));
    EXPECT_EQ(kv.terminate(SIGINT), 3) << "not every measurement got a value";
    const std::string out = kv.readAll(Clock::now() + kRunDeadline);
    EXPECT_NE(kv.stderrText().find("the port is back after"), std::string::npos) << kv.stderrText();
    EXPECT_NE(out.find("port lost 1 time(s)"), std::string::npos) << out;
    const long requests = summaryField(out, "requests");
    EXPECT_EQ(requests, summaryField(out, "replies") + summaryField(out, "timeouts") +
                            summaryField(out, "CRC errors") + summaryField(out, "exceptions") +
                            summaryField(out, "bad replies") + summaryField(out, "lost with the port"))
        << out;

    const auto rows = lines(readFile(csv));
    EXPECT_EQ(countOf(readFile(csv), "time,"), 1) << "one header";
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0], "time,address,moisture_percent,temperature_celsius,latency_ms,status");
    const std::regex ok(R"([^,]+,1,30\.00,[-0-9.]+,[0-9.]+,ok)"), lost(R"([^,]+,1,,,,port lost)");
    int lostRows = 0;
    for (size_t i = 1; i < rows.size(); ++i) {
        const bool isLost = std::regex_match(rows[i], lost);
        lostRows += isLost;
        EXPECT_TRUE(isLost || std::regex_match(rows[i], ok)) << rows[i];
    }
    EXPECT_EQ(summaryField(out, "measurements") + 2, static_cast<long>(rows.size()) - 1);
    EXPECT_GE(lostRows, 3);
}

TEST_F(Cli, TwoNamesOfOnePortRefuseEachOther) {
    startSim({});
    Child holder;
    ASSERT_EQ(holder.start(KV_CLI_BINARY,
                           {"read", "--every", "100", "--json", "--port", link_, "--rate", "19200"},
                           dir_.file("holder.err")),
              "");
    ASSERT_TRUE(holder.readLine(Clock::now() + kRunDeadline)) << holder.stderrText();
    char pts[PATH_MAX] = {};
    ASSERT_GT(readlink(link_.c_str(), pts, sizeof pts - 1), 0);
    const Outcome second = kv({"read", "--port", pts, "--rate", "19200", "--timeout", kTimeout});
    EXPECT_EQ(second.code, 2) << second.err;
    EXPECT_NE(second.err.find("busy"), std::string::npos) << second.err;
    EXPECT_NE(second.err.find("PID " + std::to_string(holder.pid())), std::string::npos) << second.err;
    EXPECT_EQ(holder.terminate(SIGINT), 0) << "the holder was not disturbed";
}

TEST_F(Cli, CtrlCEndsALogWithItsSummary) {
    startSim({});
    // Into a file, as with a shell's >: each line must be there while the run goes on.
    const std::string log = dir_.file("log.json");
    Child kv;
    ASSERT_EQ(kv.start(KV_CLI_BINARY,
                       {"read", "--every", "200", "--json", "--port", link_, "--rate", "19200"},
                       dir_.file("kv.err"), false, {}, log),
              "");
    const auto deadline = Clock::now() + kRunDeadline;
    while (countOf(readFile(log), "\"status\":\"ok\"") < 3 && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(20)); // polling interval
    ASSERT_GE(countOf(readFile(log), "\"status\":\"ok\""), 3);
    EXPECT_FALSE(kv.wait(Clock::now())) << "still running";
    EXPECT_EQ(kv.terminate(SIGINT), 0) << "a stop asked for is a normal end";
    const std::string out = readFile(log);
    const long measurements = summaryField(kv.stderrText(), "measurements");
    EXPECT_EQ(measurements, countOf(out, "\"status\":")) << kv.stderrText();
    EXPECT_EQ(summaryField(kv.stderrText(), "replies"), countOf(out, "\"status\":\"ok\""));
}

// Ctrl-C while a command waits on the sensor for the operator ends it as stopped, never as
// done, and says no more than that.
TEST_F(Cli, CtrlCInAnOperatorsCommandIsNoSuccess) {
    struct Row {
        const char* what;
        std::vector<std::string> sim, args;
        const char* says;
        const char* never;
    };
    const Row rows[] = {
        {"address read of a commissioning",
         {"--silence", "1"},
         {"address", "set", "--sequence", "--address", "5-6", "--retries", "100"},
         "kv7702r: stopped\n",
         "press Enter again"},
        {"a calibration's settling",
         {},
         {"calibrate", "--rl", "100", "--rh", "138.5", "--samples", "100", "--spread", "0"},
         "nothing written",
         "did not settle"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        startSim(row.sim);
        const std::string input = dir_.file("enter");
        std::ofstream(input) << "\n";
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"--port", link_, "--rate", "19200", "--timeout", kTimeout});
        Child kv;
        ASSERT_EQ(kv.start(KV_CLI_BINARY, args, dir_.file("kv.err"), false, input), "");
        const int seen = requestsSeen();
        const auto deadline = Clock::now() + kRunDeadline;
        while (requestsSeen() < seen + 3 && Clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(20)); // polling interval
        EXPECT_EQ(kv.terminate(SIGINT), 3) << kv.stderrText();
        EXPECT_NE(kv.stderrText().find(row.says), std::string::npos) << kv.stderrText();
        EXPECT_EQ(kv.stderrText().find(row.never), std::string::npos) << kv.stderrText();
        sim_.terminate();
    }
}

TEST_F(Cli, PortNamedAsTheWindowNamesIt) {
    startSim({"--baud", "4800"});
    // A copy of the program in its own folder, with comm.set and COM7 beside it.
    const std::string program = dir_.file("kv7702r");
    {
        std::ifstream in(KV_CLI_BINARY, std::ios::binary);
        std::ofstream out(program, std::ios::binary);
        out << in.rdbuf();
    }
    ASSERT_EQ(chmod(program.c_str(), 0700), 0);
    const std::string com = dir_.file("COM7");
    ASSERT_EQ(symlink(link_.c_str(), com.c_str()), 0);
    {
        std::ofstream set(dir_.file("comm.set"), std::ios::binary);
        set << "7,4800\r\n";
    }
    const Outcome fromCommSet = kv({"read", "--timeout", kTimeout}, program);
    EXPECT_EQ(fromCommSet.code, 0) << fromCommSet.err;
    EXPECT_NE(fromCommSet.out.find("30.00"), std::string::npos);
    const Outcome named = kv({"read", "--port", "com7", "--rate", "4800", "--timeout", kTimeout}, program);
    EXPECT_EQ(named.code, 0) << named.err;
    // COM8 has no link beside the program, so it is /dev/ttyS7.
    const Outcome other = kv({"read", "--port", "COM8", "--timeout", kTimeout}, program);
    EXPECT_EQ(other.code, 2);
    EXPECT_NE(other.err.find("/dev/ttyS7"), std::string::npos) << other.err;
    // A rate the window may store but no sensor speaks is not sent.
    std::ofstream(dir_.file("comm.set"), std::ios::binary) << "7,12345\r\n";
    EXPECT_EQ(kv({"read", "--timeout", kTimeout}, program).code, 1);
}

TEST_F(Cli, MissingPortIsNamed) {
    const Outcome missing = kv({"read", "--port", dir_.file("no-such-tty")});
    EXPECT_EQ(missing.code, 2);
    EXPECT_NE(missing.err.find("does not exist"), std::string::npos) << missing.err;
    EXPECT_EQ(countOf(missing.err, "\n"), 1) << "one clear line";
}

// A file that cannot be a params file is refused before the port is opened, whose name here
// leads nowhere: a pipe would otherwise hold the port's lock forever, deaf to Ctrl-C.
TEST_F(Cli, AParamsFileIsReadBeforeThePortIsOpened) {
    const std::string fifo = dir_.file("pipe.json");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string twice = dir_.file("twice.json");
    std::ofstream(twice) << "{\"kv7702r-params\": 1,\n \"parameters\": {\"la\": {\"raw\": 9000},\n"
                            "  \"la\": {\"raw\": 9940}}}\n";
    struct Row {
        std::vector<std::string> args;
        std::string says;
    };
    const Row rows[] = {
        {{"params", "load", fifo}, fifo + ": not a regular file (a device or pipe?)"},
        {{"calibrate", "--undo", fifo}, fifo + ": not a regular file (a device or pipe?)"},
        {{"params", "load", "/"}, "/: a directory, not a params file"},
        {{"params", "load", twice},
         twice + ": \"la\" is given twice in \"parameters\", on lines 2 and 3; keep one"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"--port", dir_.file("no-such-tty")});
        const Outcome r = kv(args);
        EXPECT_EQ(r.code, 1) << r.err;
        EXPECT_EQ(r.err, "kv7702r: " + row.says + "\n");
    }
}

TEST_F(Cli, PermissionProblemNamesTheFix) {
    // A device of group dialout, opened by a user outside it.
    const group* dialout = getgrnam("dialout");
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || !dialout || !nobody || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root, the dialout group, the nobody user and setpriv";
    ASSERT_EQ(chmod(link_.substr(0, link_.rfind('/')).c_str(), 0755), 0);
    const std::string device = dir_.file("ttyLocked");
    { std::ofstream f(device); }
    ASSERT_EQ(chown(device.c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(device.c_str(), 0660), 0);
    const Outcome denied =
        kv({"--reuid=" + std::to_string(nobody->pw_uid), "--regid=" + std::to_string(nobody->pw_gid),
            "--clear-groups", KV_CLI_BINARY, "read", "--port", device},
           "/usr/bin/setpriv");
    EXPECT_EQ(denied.code, 2) << denied.err;
    EXPECT_NE(denied.err.find("permission denied on " + device), std::string::npos) << denied.err;
    EXPECT_NE(denied.err.find("sudo usermod -aG dialout $USER"), std::string::npos) << denied.err;
    EXPECT_EQ(countOf(denied.err, "\n"), 1) << "one line with the reason and the fix";
    // A group that may not read and write the device is no use to join.
    ASSERT_EQ(chown(device.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(device.c_str(), 0620), 0);
    const Outcome owned =
        kv({"--reuid=" + std::to_string(nobody->pw_uid), "--regid=" + std::to_string(nobody->pw_gid),
            "--clear-groups", KV_CLI_BINARY, "read", "--port", device},
           "/usr/bin/setpriv");
    EXPECT_EQ(owned.code, 2) << owned.err;
    EXPECT_EQ(owned.err.find("usermod"), std::string::npos) << owned.err;
    EXPECT_NE(owned.err.find("a udev rule"), std::string::npos) << owned.err;
    EXPECT_NE(owned.err.find("or run as root"), std::string::npos) << owned.err;
}

TEST(CliHelp, WorksWithoutADisplay) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    Child c;
    const char* display = std::getenv("DISPLAY");
    ASSERT_TRUE(display == nullptr || unsetenv("DISPLAY") == 0);
    ASSERT_EQ(c.start(KV_CLI_BINARY, {"--help"}, dir.file("err")), "");
    const std::string out = c.readAll(Clock::now() + kRunDeadline);
    EXPECT_EQ(c.wait(Clock::now() + kRunDeadline), 0);
    for (const char* sub :
         {"scan", "read", "params", "address", "calibrate", "Exit codes:", "4  a device exception"})
        EXPECT_NE(out.find(sub), std::string::npos) << sub;
}

// Any register, as a Modbus master reads and writes it: named where the sensor is known to
// have it, in decimal, hex and signed, each write read back where the sensor shows it.
TEST_F(Cli, RawReadsAndWritesAnyRegister) {
    startSim({});
    struct Row {
        const char* what;
        std::vector<std::string> args;
        int code;
        const char* says; // in stdout, or stderr on failure
        const char* sent; // a request the sim logged
    };
    const Row rows[] = {
        {"function 3",
         {"raw", "--register", "0", "--count", "9"},
         0,
         "       6  0x0006  la                  10000  0x2710   10000",
         "<< 01 03 00 00 00 09 85 CC"},
        {"function 4",
         {"raw", "--function", "4", "--register", "0x0000", "--count", "2"},
         0,
         "       0  0x0000  moisture             3000  0x0BB8    3000",
         "<< 01 04 00 00 00 02 71 CB"},
        {"function 6, read back at 6",
         {"raw", "--register", "0x0A08", "9940"},
         0,
         "    2568  0x0A08  la                   9940  0x26D4    9940  0x0006 (was 10000)",
         "<< 01 06 0A 08 26 D4 11 EF"},
        {"function 16, a negative value",
         {"raw", "--function", "16", "--register", "0x0A02", "-1"},
         0,
         "    2562  0x0A02  moisture-offset     65535  0xFFFF      -1  0x0003 (was 0)",
         "<< 01 10 0A 02 00 01 02 FF FF"},
        {"a register it does not have",
         {"raw", "--register", "20"},
         4,
         "reading 1 register(s) from 0x0014 at address 1 failed: exception 02 Illegal Data Address",
         ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Outcome r = onLine(row.args);
        EXPECT_EQ(r.code, row.code) << r.out << r.err;
        EXPECT_NE((row.code == 0 ? r.out : r.err).find(row.says), std::string::npos) << r.out << r.err;
        EXPECT_NE(simLog().find(row.sent), std::string::npos) << simLog_;
    }
    // What was written is what the sensor holds now.
    const Outcome after = onLine({"raw", "--register", "3", "--count", "5"});
    EXPECT_NE(after.out.find("65535  0xFFFF      -1"), std::string::npos) << after.out;
    EXPECT_NE(after.out.find("9940  0x26D4    9940"), std::string::npos) << after.out;
}

// Each request and reply the sensor logged is a trace line, in order, with the verdict, and a
// row's time is when its reply's last byte came, as the trace has it.
TEST_F(Cli, TheTraceMatchesTheExchanges) {
    startSim({"--address", "1", "--address", "2"});
    const std::string trace = dir_.file("trace.jsonl");
    const Outcome r = onLine({"read", "--address", "1,2,3", "--count", "2", "--timeout", "100", "--retries",
                              "0", "--csv", "-", "--trace=" + trace});
    EXPECT_EQ(r.code, 3) << r.err;
    std::vector<std::string> sent, answered, timeouts, times;
    const std::regex json(
        R"json(\{"time":"([^"]+)","dir":"(tx|rx|--)","verdict":"([a-z ]+)".*"hex":"([0-9A-F ]*)"\})json");
    for (const std::string& l : lines(readFile(trace))) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, json)) << l;
        if (m[2] == "tx") sent.push_back(m[4]);
        if (m[3] == "answer") {
            answered.push_back(m[4]);
            times.push_back(m[1]);
        }
        if (m[3] == "timeout") timeouts.push_back(m[1]);
    }
    std::vector<std::string> heard, replied;
    for (const std::string& l : lines(simLog())) {
        if (l.find(" << ") != std::string::npos) heard.push_back(l.substr(l.find(" << ") + 4));
        if (l.find(" >> ") != std::string::npos) replied.push_back(l.substr(l.find(" >> ") + 4));
    }
    EXPECT_EQ(sent, heard);
    EXPECT_EQ(answered, replied);
    EXPECT_EQ(timeouts.size(), 2u) << "address 3, twice";
    // The rows of 1 and 2 carry the times of their replies.
    std::vector<std::string> rowTimes;
    for (const std::string& row : lines(r.out))
        if (row.find(",ok") != std::string::npos) rowTimes.push_back(row.substr(0, row.find(',')));
    EXPECT_EQ(rowTimes, times);
    // On stderr, as it happens.
    const Outcome text = onLine({"raw", "--register", "6", "--trace"});
    EXPECT_TRUE(std::regex_search(
        text.err, std::regex(R"(\d\d:\d\d\.\d{3}Z tx request to 1: 01 03 00 06 00 01 64 0B\n)")))
        << text.err;
    EXPECT_TRUE(std::regex_search(text.err, std::regex(R"(Z rx answer [0-9.]+ ms: 01 03 02 27 10 )")))
        << text.err;
    // A trace the disk refuses is said to be lost, once; the read itself goes on.
    const Outcome full = onLine({"read", "--count", "2", "--trace=/dev/full"});
    EXPECT_EQ(full.code, 0) << full.err;
    EXPECT_EQ(
        countOf(full.err, "--trace: cannot write /dev/full: No space left on device; the trace stops here\n"),
        1)
        << full.err;
}

// What params save wrote, params load puts back: only what differs, each read back.
TEST_F(Cli, ParamsSavedChangedAndLoadedAreAsTheyWere) {
    startSim({});
    const std::string file = dir_.file("sensor.json");
    const Outcome before = onLine({"params"});
    ASSERT_EQ(before.code, 0) << before.err;
    const Outcome saved = onLine({"params", "save", file});
    ASSERT_EQ(saved.code, 0) << saved.err;
    EXPECT_NE(saved.out.find("saved 6 parameters of address 1 to " + file), std::string::npos) << saved.out;
    EXPECT_NE(saved.out.find("range not saved: register 8 holds 10957"), std::string::npos) << saved.out;
    ASSERT_EQ(onLine({"params", "set", "la", "9000"}).code, 0);
    ASSERT_EQ(onLine({"params", "set", "moisture-max", "9500"}).code, 0);
    const int writesBefore = countOf(simLog(), "<< 01 06");
    const Outcome loaded = onLine({"params", "load", file});
    EXPECT_EQ(loaded.code, 0) << loaded.err;
    EXPECT_NE(loaded.out.find("address 1: la 9000 -> 10000"), std::string::npos) << loaded.out;
    EXPECT_NE(loaded.out.find("address 1: scale 1.0000 (holds it already)"), std::string::npos) << loaded.out;
    EXPECT_NE(loaded.out.find("address 1: 2 written and read back, 4 held already"), std::string::npos)
        << loaded.out;
    EXPECT_EQ(countOf(simLog(), "<< 01 06") - writesBefore, 2) << "only what differed";
    EXPECT_EQ(onLine({"params"}).out, before.out);
}

// A row of three sensors in one run, each reported; a sensor that is not there stops it.
TEST_F(Cli, ABatchConfiguresARowOfSensors) {
    startSim({"--address", "1", "--address", "2", "--address", "3"});
    const Outcome set = onLine({"params", "set", "la", "9100", "--address", "1-3"});
    EXPECT_EQ(set.code, 0) << set.err;
    EXPECT_EQ(countOf(set.out, "la               temperature slope LA                register 6  raw  9100"),
              3)
        << set.out;
    EXPECT_NE(set.out.find("done: 1-3 (3 of 3 sensors)"), std::string::npos) << set.out;
    for (const char* a : {"1", "2", "3"}) {
        const Outcome la = onLine({"raw", "--register", "6", "--address", a});
        EXPECT_NE(la.out.find("9100  0x238C"), std::string::npos) << a << la.out;
    }
    // In ascending order, as every address list.
    const Outcome stopped = onLine({"params", "set", "la", "9200", "--address", "5,2-4", "--retries", "0"});
    EXPECT_EQ(stopped.code, 3) << stopped.err;
    EXPECT_NE(stopped.err.find("stopped at address 4; done: 2,3; not tried: 5"), std::string::npos)
        << stopped.err;
}

// Moisture 655.35 % is what a register can hold, not what the sensor can measure.
TEST_F(Cli, AnImplausibleReadingIsNeverOk) {
    startSim({"--moisture", "100"});
    // A scale of 6.5535 and no maximum: the sensor reports 655.35 %.
    ASSERT_EQ(onLine({"params", "set", "scale", "6.5535", "--force"}).code, 0);
    ASSERT_EQ(onLine({"params", "set", "moisture-max", "65535", "--force"}).code, 0);
    const Outcome r = onLine({"read", "--count", "2", "--csv", "-"});
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_EQ(countOf(r.out, ",1,655.35,"), 2) << r.out;
    EXPECT_EQ(countOf(r.out, ",implausible\n"), 2) << r.out;
    EXPECT_EQ(countOf(r.out, ",ok\n"), 0) << r.out;
    EXPECT_NE(r.err.find("implausible: 2 measurement(s)"), std::string::npos) << r.err;
    const Outcome help = kv({"--help"});
    EXPECT_NE(help.out.find("Plausible values: moisture 0-100 %"), std::string::npos) << help.out;
}

// A sensor at any standard rate and with any format scan tries is found; the format is pinned
// on the pty, which is how the sim reads it.
TEST_F(Cli, ScanFindsSensorsAtEveryRateAndFormat) {
    struct Row {
        const char* what;
        std::vector<std::string> sim;
        std::vector<std::string> scan;
        const char* found;
        const char* readWith;
    };
    const Row rows[] = {
        {"38400 baud",
         {"--baud", "38400"},
         {"scan", "--rates", "all"},
         "found: rate 38400, address 1,",
         "--rate 38400 --address 1"},
        {"two stop bits",
         {"--baud", "19200", "--stop-bits", "2"},
         {"scan", "--rates", "9600,19200", "--parity", "all"},
         "found: rate 19200 8N2, address 1,",
         "--rate 19200 --stop-bits 2 --address 1"},
        {"even parity",
         {"--baud", "9600", "--parity", "even"},
         {"scan", "--rates", "9600", "--parity", "all"},
         "found: rate 9600 8E1, address 1,",
         "--rate 9600 --parity even --address 1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        startSim(row.sim);
        const Outcome r = onLine(row.scan);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.out.find(row.found), std::string::npos) << r.out;
        EXPECT_EQ(countOf(r.out, "found: "), 1) << r.out;
        EXPECT_EQ(lines(r.out).back(), "read them with: kv7702r read --port " + link_ + " " + row.readWith);
        sim_.terminate();
    }
    // Nothing at the rates tried: scan says what it tried and what it did not.
    startSim({"--baud", "38400"});
    const Outcome none = onLine({"scan", "--rates", "9600", "--addresses", "1-2"});
    EXPECT_EQ(none.code, 3);
    EXPECT_NE(
        none.out.find("tried the address read at 9600 baud, 8N1\ntried addresses 1,2 at 9600 baud, 8N1\n"),
        std::string::npos)
        << none.out;
    EXPECT_NE(none.out.find("not tried: 1200, 2400, 4800, 14400, 19200, 38400, 57600, 115200 baud"),
              std::string::npos)
        << none.out;
}

// The LA and OF a calibration replaces are saved before it writes, and written back on undo;
// readings it takes itself are the mean of several once they settle.
TEST_F(Cli, ACalibrationKeepsWhatItReplacesAndIsUndone) {
    startSim({});
    const std::string backup = dir_.file("before.json");
    const Outcome cal = onLine({"calibrate", "--rl", "100", "--rh", "138.5", "--ra", "100.60", "--rb",
                                "139.10", "--yes", "--backup", backup});
    ASSERT_EQ(cal.code, 0) << cal.err;
    EXPECT_NE(cal.out.find("LA 10000 and OF 5000 saved to " + backup), std::string::npos) << cal.out;
    EXPECT_NE(readFile(backup).find("\"of\": {\"register\": 7, \"raw\": 5000"), std::string::npos);
    const Outcome undo = onLine({"calibrate", "--undo", backup});
    EXPECT_EQ(undo.code, 0) << undo.err;
    EXPECT_NE(undo.out.find("address 1: of 4939 -> 5000"), std::string::npos) << undo.out;
    EXPECT_TRUE(std::regex_search(onLine({"params"}).out, std::regex(R"(\n5  of .*raw  5000 )")));
    // Without --backup, in the folder calibrate --help names.
    const std::string home = dir_.file("home");
    const std::string ownHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    const char* ownData = std::getenv("XDG_DATA_HOME");
    const std::string dataHome = ownData ? ownData : "";
    ASSERT_EQ(setenv("HOME", home.c_str(), 1) | unsetenv("XDG_DATA_HOME"), 0);
    const Outcome kept =
        onLine({"calibrate", "--rl", "100", "--rh", "138.5", "--ra", "100.60", "--rb", "139.10", "--yes"});
    setenv("HOME", ownHome.c_str(), 1);
    if (ownData) setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
    EXPECT_NE(kept.out.find("saved to " + home + "/.local/share/kv7702r/calibrations/a1-"), std::string::npos)
        << kept.out;
    std::filesystem::remove_all(home);
    EXPECT_NE(kv({"calibrate", "--help"}).out.find("~/.local/share/kv7702r on Linux"), std::string::npos);
    // The sensor's own reading at 22 degC, steady: the mean of three readings is that reading.
    const double A = 3.9083e-3, B = -5.775e-7, R = 100 * (1 + A * 22 + B * 22 * 22);
    char ra[64];
    std::snprintf(ra, sizeof ra, "RA = %.2f ohm (mean of 3 readings within 0.00 ohm; 3 taken)",
                  std::round((1.006 * R + 0.35) * 100) / 100);
    const Outcome measured = onLine({"calibrate", "--rl", "100", "--rh", "138.5", "--samples", "3"}, "\n\n");
    EXPECT_NE(measured.out.find(ra), std::string::npos) << measured.out;
}

// Commissioning: the sensor plugged in alone, whatever its address, gets the next one.
TEST_F(Cli, AddressSequenceGivesEachSensorTheNextAddress) {
    startSim({"--address", "9"});
    const Outcome r = onLine({"address", "set", "--sequence", "--address", "5-6"}, "\nq\n");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("address 9 -> 5, verified by a measurement at 5"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("commissioned 1 sensor(s): 5"), std::string::npos) << r.out;
    EXPECT_EQ(onLine({"read", "--address", "5"}).code, 0);
}

// The history each command leaves, followed to the sensor's new address, read in words and as
// JSON lines past a line that is no entry, and the certificate with a measurement taken now.
TEST_F(Cli, TheHistoryFollowsTheSensorAndItsCertificateIsVerified) {
    const std::string history = dir_.file("history.jsonl");
    ::setenv("KV7702R_HISTORY", history.c_str(), 1);
    struct Unset {
        ~Unset() { ::unsetenv("KV7702R_HISTORY"); }
    } unset;
    startSim({});
    ASSERT_EQ(onLine({"params", "set", "la", "9940", "--operator", "Ann Field"}).code, 0);
    ASSERT_EQ(
        onLine({"calibrate", "--rl", "100", "--rh", "138.5", "--ra", "100.60", "--rb", "139.10", "-y"}).code,
        0);
    ASSERT_EQ(onLine({"address", "set", "37"}).code, 0);

    const Outcome life = kv({"history", "37"});
    EXPECT_EQ(life.code, 0) << life.err;
    // Oldest first, each entry in its place; the residuals follow from the registers' whole numbers:
    // 100.60 + (4939 - 5000) / 100 = 99.99, 139.10 - 0.61 = 138.49.
    const std::vector<std::string> said{
        "params set at address 1 on " + link_ + " (19200 baud, 8N1) by Ann Field, kv7702r ",
        "  la: 10000 -> 9940, written, read back as 9940\n",
        "calibrate at address 1 on " + link_,
        "  points: RL 100.00 ohm read as RA 100.60 ohm, RH 138.50 ohm read as RB 139.10 ohm (given)\n"
        "  LA 9940 -> 10000, OF 5000 -> 4939\n"
        "  residuals as the registers hold them: -0.010 ohm at RL, -0.010 ohm at RH\n"
        "  la: 9940 -> 10000, written, read back as 10000\n"
        "  of: 5000 -> 4939, written, read back as 4939\n",
        "address set at address 1 on " + link_,
        "  address 1 -> 37: changed; at 37: moisture 30.00 %",
    };
    std::size_t at = 0;
    for (const std::string& s : said) {
        const std::size_t found = life.out.find(s, at);
        EXPECT_NE(found, std::string::npos) << s << "\nin\n" << life.out;
        if (found != std::string::npos) at = found + s.size();
    }
    EXPECT_NE(kv({"history", "1"}).out.find("no history of address 1"), std::string::npos);

    // The certificate goes where the history says the sensor is.
    const Outcome cert = kv({"history", "37", "--certificate", "--site", "North field, bed 3", "--depth-cm",
                             "30-40", "--timeout", kTimeout});
    EXPECT_EQ(cert.code, 0) << cert.err;
    for (const std::string& s :
         {std::string("Address             37\n"), "Port                " + link_ + "\n",
          std::string("Line                19200 baud, 8N1\n"),
          std::string("Site                North field, bed 3\n"),
          std::string("Depth               30-40 cm\n"), std::string("  LA 9940 -> 10000, OF 5000 -> 4939\n"),
          std::string("Verified reading\n  moisture 30.00 %, temperature "),
          std::string("Installed by    ____")})
        EXPECT_NE(cert.out.find(s), std::string::npos) << s << "\nin\n" << cert.out;

    // The collector's file gives the site, the depth and the soil; the reading is read with them:
    // (30 - 20) / (40 - 20) = 0.500 of the available water, (40 - 30) / 100 * 500 mm = 50.0 mm short.
    {
        std::ofstream f(dir_.file("collector.toml"));
        f << "[influx]\nurl = \"http://127.0.0.1:1\"\ndatabase = \"d\"\n[[bus]]\nname = \"a\"\nport = \""
          << link_
          << "\"\n[[bus.sensor]]\naddress = 37\nsite = \"South bed\"\ndepth_cm = [10, 20]\n"
             "field_capacity = 40\nwilting_point = 20\nroot_zone_cm = 50\n";
    }
    const Outcome soil = kv(
        {"history", "37", "--certificate", "--config", dir_.file("collector.toml"), "--timeout", kTimeout});
    EXPECT_EQ(soil.code, 0) << soil.err;
    for (const std::string s :
         {"Site                South bed\n", "Depth               10-20 cm\n", "  Field capacity      40 %\n",
          "  Refill point        not given\n", "  Calibration         none: the factory scaling\n",
          "  relative water 0.500, deficit 50.0 mm\n"})
        EXPECT_NE(soil.out.find(s), std::string::npos) << s << "\nin\n" << soil.out;
    EXPECT_NE(kv({"history", "36", "--certificate", "--config", dir_.file("collector.toml")})
                  .err.find("has no sensor at address 36"),
              std::string::npos);

    // A line cut short is skipped with a warning; a second bus with an address 37 needs --port.
    {
        std::ofstream f(history, std::ios::app);
        f << "{\"port\":\"/dev/ttyS9\",\"addr\n"
          << R"({"port":"/dev/ttyS9","address":37,"action":"params set","rate":9600})"
          << "\n";
    }
    const Outcome two = kv({"history", "37", "--json"});
    EXPECT_EQ(two.code, 1) << two.out;
    EXPECT_NE(two.err.find("line 4 is no history entry"), std::string::npos) << two.err;
    EXPECT_NE(two.err.find("address 37 has a history on 2 ports: " + link_ + ", /dev/ttyS9; give --port"),
              std::string::npos)
        << two.err;
    const Outcome json = onLine({"history", "37", "--json"});
    EXPECT_EQ(json.code, 0) << json.err;
    EXPECT_EQ(countOf(json.out, "\n"), 3) << json.out;
    EXPECT_NE(json.out.find(R"("RA":100.6)"), std::string::npos) << json.out;

    // A sensor that does not answer: the certificate says so, and the exit code too.
    sim_.terminate();
    startSim({"--address", "5"});
    const Outcome silent = onLine({"history", "37", "--certificate", "--retries", "0"});
    EXPECT_EQ(silent.code, 3) << silent.err;
    EXPECT_NE(silent.out.find("NONE: the sensor did not answer"), std::string::npos) << silent.out;
}
