// The collector's configuration: every fault of a file reported with its place, in file order,
// and a sound file read back whole.

#include "collect/config.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

using namespace kv::collect;

namespace {

// A sound bus for cases whose faults lie elsewhere.
const char* const BUS = "[[bus]]\nname = \"n\"\nport = \"/dev/ttyUSB0\"\n[[bus.sensor]]\naddress = 1\n";
const char* const MQTT = "[mqtt]\nhost = \"b\"\ntopic = \"t\"\n";
// Up to a sensor's table, whose keys start at line 8.
const std::string HEAD =
    std::string(MQTT) + "[[bus]]\nname = \"n\"\nport = \"/dev/ttyUSB0\"\n[[bus.sensor]]\n";

struct Loaded {
    CollectorConfig config;
    std::vector<QString> errors; // "LINE:COL: message"
};

class Config : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        write("secret", "s3cret\n");
    }
    void write(const QString& name, const QByteArray& text) {
        QFile f(dir_.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    Loaded load(const std::string& text) {
        write("c.toml", QByteArray::fromStdString(text));
        Loaded out;
        const QString path = dir_.filePath("c.toml");
        for (const ConfigError& e : loadConfig(path, out.config))
            out.errors.push_back(describe(path, e).mid(path.size() + 1));
        return out;
    }
    QTemporaryDir dir_;
};

std::string joined(const std::vector<QString>& v) {
    QStringList l(v.begin(), v.end());
    return l.join("\n").toStdString();
}

TEST_F(Config, EveryFaultIsReportedAtItsPlaceInFileOrder) {
    struct Case {
        std::string text;
        std::vector<std::string> expected; // each error's start, all of them, in order
    };
    const std::string mqttBus = std::string(MQTT) + BUS; // lines 1-3 and 4-8
    const std::vector<Case> cases{
        {"[mqtt\nhost = 1\n", {"1:6: Error while parsing table header"}},
        {mqttBus + "[foo]\n",
         {"9:2: unknown key 'foo' in the file; allowed: spool, mqtt, influx, metrics, bus"}},
        {std::string("[mqtt]\nhots = \"b\"\ntopic = \"t\"\n") + BUS,
         {"1:1: [mqtt] needs host", "2:1: unknown key 'hots' in [mqtt]; allowed: host, port, topic"}},
        {mqttBus + "[influx]\npassword = \"x\"\ntoken = 3\n",
         {"9:1: [influx] needs url", "9:1: [influx] needs database (InfluxDB 1) or org and bucket",
          "10:1: password: secrets are read from files: use password_file",
          "11:1: token: secrets are read from files: use token_file"}},
        {"[mqtt]\nhost = \"b\"\ntopic = \"t\"\nport = \"1883\"\ntls = 1\n" + std::string(BUS),
         {"4:8: port: must be a whole number 1..65535, not a string",
          "5:7: tls: must be true or false, not a whole"}},
        {HEAD + "address = 300\nevery_ms = 50\ndepth_cm = [30, 10]\n[spool]\ndrain_per_second = 0\n",
         {"8:11: address: must be 1..247, not 300", "9:12: every_ms: must be 100..86400000, not 50",
          "10:12: depth_cm: from must not be below to: [30, 10]",
          "12:20: drain_per_second: must be 1..1000000, not 0"}},
        {HEAD + "address = 3\nfield_capacity = 10\nwilting_point = 20\nrefill = \"x\"\nstuck_after = 1\n",
         {"7:1: the wilting point (20 %) must lie below the field capacity (10 %)",
          "11:10: refill: must be a number 0..100", "12:15: stuck_after: must be 2..100000, not 1"}},
        {MQTT, {"4:1: no [[bus]]: at least one bus"}},
        {mqttBus + "[[bus]]\nname = \"s\"\nport = \"x\"\n", {"9:1: [[bus]] has no sensors"}},
        {mqttBus + "[[bus]]\nname = \"n\"\nport = \"x\"\n[[bus.sensor]]\naddress = 2\n",
         {"10:8: name: bus 'n' is already named at line 5"}},
        {mqttBus + "[[bus]]\nname = \"a/b\"\nport = \"\"\nbaud = 1000\nformat = "
                   "\"7N1\"\n[[bus.sensor]]\naddress = 2\n"
                   "name = \"#\"\n[[bus.sensor]]\naddress = 2\n",
         {"10:8: name: must be non-empty, without + # or /, not 'a/b'", "11:8: port: must not be empty",
          "12:8: baud: must be one of 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200, not 1000",
          "13:10: format: must be 8N1", "16:8: name: must be non-empty",
          "18:11: address: 2 is already on this bus at line 15"}},
        {BUS, {"6:1: neither [mqtt] nor [influx]: nothing would leave the spool"}},
        {std::string("[mqtt]\nport = 1\n") + BUS, {"1:1: [mqtt] needs host", "1:1: [mqtt] needs topic"}},
        {mqttBus + "[influx]\nurl = \"ftp://x\"\ndatabase = \"d\"\norg = \"o\"\nbucket = \"b\"\ntoken_file = "
                   "\"secret\"\n",
         {"10:7: url: must be http://HOST[:PORT] or https://..., not 'ftp://x'",
          "11:12: database: is InfluxDB 1's, org and bucket InfluxDB 2's",
          "14:14: token_file: is for InfluxDB 2"}},
        {mqttBus + "[influx]\nurl = \"http://h\"\norg = \"o\"\n",
         {"9:1: [influx] needs both org and bucket", "9:1: [influx] needs token_file"}},
        {"[mqtt]\nhost = \"b\"\ntopic = \"t/#\"\nuser = \"u\"\npassword_file = \"nope\"\nca_file = "
         "\"secret\"\n" +
             std::string(BUS),
         {"3:9: topic: must be levels without + or #",
          "5:17: password_file: cannot read " + QDir(QDir::tempPath()).path().toStdString(),
          "6:11: ca_file: needs tls = true"}},
        {mqttBus + "[metrics]\nlisten = \"9107\"\n", {"10:10: listen: must be HOST:PORT"}},
        {mqttBus + "depth_cm = [1, 2, 3]\nbus = 1\n",
         {"9:12: depth_cm: must be one depth (15) or two: [from, to]",
          "10:1: unknown key 'bus' in [[bus.sensor]]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Loaded got = load(c.text);
        ASSERT_EQ(got.errors.size(), c.expected.size()) << joined(got.errors);
        for (size_t i = 0; i < c.expected.size(); ++i)
            EXPECT_TRUE(got.errors[i].toStdString().rfind(c.expected[i], 0) == 0)
                << "got: " << got.errors[i].toStdString() << "\nexpected: " << c.expected[i];
    }
}

TEST_F(Config, MissingFileAndMissingSecretSayWhyInTheSystemsWords) {
    CollectorConfig config;
    const auto errors = loadConfig(dir_.filePath("absent.toml"), config);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(describe("absent.toml", errors[0]), "absent.toml: cannot read: No such file or directory");
    const Loaded got = load(std::string(MQTT) + "user = \"u\"\npassword_file = \"/etc/kv-none\"\n" + BUS);
    ASSERT_EQ(got.errors.size(), 1u);
    EXPECT_EQ(got.errors[0], "5:17: password_file: cannot read /etc/kv-none: No such file or directory");
}

TEST_F(Config, SoundFileReadsBackFieldByField) {
    const Loaded got = load(R"(# a farm
[spool]
path = "spool.db"
max_readings = 5000
max_age_days = 7
drain_per_second = 50
[mqtt]
host = "broker.local"
tls = true
topic = "kv7702r/farm1"
discovery_prefix = ""
protocol = "5"
user = "farm"
password_file = "secret"
client_id = "c1"
keepalive_s = 30
offline_after = 5
[influx]
url = "https://127.0.0.1:8086"
org = "o"
bucket = "soil"
token_file = "secret"
batch = 100
[metrics]
listen = "[::1]:9107"
[[bus]]
name = "north"
port = "tcp://192.168.1.50:4001"
every_ms = 30000
baud = 19200
format = "8e1"
echo = true
timeout_ms = 500
retries = 0
[[bus.sensor]]
address = 3
name = "bed 3"
site = "north field"
depth_cm = [15, 25]
[[bus.sensor]]
address = 4
depth_cm = 40
every_ms = 1000
[[bus]]
name = "south"
port = "/dev/ttyUSB1"
[[bus.sensor]]
address = 3
)");
    ASSERT_TRUE(got.errors.empty()) << joined(got.errors);
    const CollectorConfig& c = got.config;
    EXPECT_EQ(c.spool.path, dir_.filePath("spool.db"));
    EXPECT_EQ(c.spool.maxReadings, 5000);
    EXPECT_EQ(c.spool.maxAgeDays, 7);
    EXPECT_EQ(c.spool.drainPerSecond, 50);
    EXPECT_TRUE(c.mqtt.enabled);
    EXPECT_EQ(c.mqtt.host, "broker.local");
    EXPECT_EQ(c.mqtt.port, 8883); // tls without a port
    EXPECT_EQ(c.mqtt.topic, "kv7702r/farm1");
    EXPECT_EQ(c.mqtt.discoveryPrefix, "");
    EXPECT_EQ(c.mqtt.protocol, "5");
    EXPECT_EQ(c.mqtt.user, "farm");
    EXPECT_EQ(c.mqtt.password, "s3cret");
    EXPECT_EQ(c.mqtt.clientId, "c1");
    EXPECT_EQ(c.mqtt.keepaliveS, 30);
    EXPECT_EQ(c.mqtt.offlineAfter, 5);
    EXPECT_TRUE(c.influx.enabled);
    EXPECT_EQ(c.influx.url, "https://127.0.0.1:8086");
    EXPECT_EQ(c.influx.org, "o");
    EXPECT_EQ(c.influx.bucket, "soil");
    EXPECT_EQ(c.influx.token, "s3cret");
    EXPECT_EQ(c.influx.batch, 100);
    EXPECT_TRUE(c.metrics.enabled);
    EXPECT_EQ(c.metrics.listen, "[::1]:9107");
    ASSERT_EQ(c.buses.size(), 2u);
    const BusConfig& b = c.buses[0];
    EXPECT_EQ(b.name, "north");
    EXPECT_EQ(b.port, "tcp://192.168.1.50:4001");
    EXPECT_EQ(b.portAt.line, 28);
    EXPECT_EQ(b.portAt.column, 8);
    EXPECT_EQ(b.at.line, 26);
    EXPECT_EQ(b.everyMs, 30000);
    EXPECT_EQ(b.baud, 19200);
    EXPECT_EQ(b.format, "8E1");
    EXPECT_TRUE(b.echo);
    EXPECT_EQ(b.timeoutMs, 500);
    EXPECT_EQ(b.retries, 0);
    ASSERT_EQ(b.sensors.size(), 2u);
    EXPECT_EQ(b.sensors[0].address, 3);
    EXPECT_EQ(b.sensors[0].name, "bed 3");
    EXPECT_EQ(b.sensors[0].site, "north field");
    EXPECT_EQ(b.sensors[0].depthFromCm, 15);
    EXPECT_EQ(b.sensors[0].depthToCm, 25);
    EXPECT_EQ(b.sensors[0].everyMs, std::nullopt);
    EXPECT_EQ(b.sensors[0].at.line, 35);
    EXPECT_EQ(b.sensors[1].depthFromCm, 40);
    EXPECT_EQ(b.sensors[1].depthToCm, 40);
    EXPECT_EQ(b.sensors[1].everyMs, 1000);
    const BusConfig& s = c.buses[1];
    EXPECT_EQ(s.name, "south");
    EXPECT_EQ(s.everyMs, 60000);
    EXPECT_EQ(s.baud, 0);
    EXPECT_EQ(s.format, "");
    EXPECT_EQ(s.timeoutMs, 1000);
    EXPECT_EQ(s.retries, 2);
    ASSERT_EQ(s.sensors.size(), 1u);
}

// A soil calibration's file: the fit or the coefficients read back, or every fault at its place.
TEST_F(Config, SoilCalibrationFilesGiveTheirFitOrEveryFaultAtItsPlace) {
    const std::string head = "id = \"plot3-2026-05\"\ndate = 2026-05-04\n"; // lines 1-2
    const auto load = [&](const std::string& text, SoilCalibration& got) {
        write("cal.toml", QByteArray::fromStdString(text));
        const QString path = dir_.filePath("cal.toml");
        std::vector<QString> errors;
        for (const ConfigError& e : loadSoilCalibration(path, got))
            errors.push_back(describe(path, e).mid(path.size() + 1));
        if (got.warning) got.warning->message = describe(path, *got.warning).mid(path.size() + 1);
        return errors;
    };
    struct Good {
        std::string text;
        double a, b, c;
        std::optional<double> rms;
        std::string warning; // its start; empty: none
    };
    const Good good[] = {
        {head + "samples = [[10, 10.5], [20, 19.5], [40, 37.5], [60, 55.5]]\n", 1.5, 0.9, 0, 0.0, ""},
        {head + "degree = 2\nsamples = [[0, 1], [10, 13], [20, 27], [30, 43]]\n", 1, 1.1, 0.01, 0.0, ""},
        {head + "a = -2\nb = 1.25\n", -2, 1.25, 0, std::nullopt, ""},
        // Residuals -3.33, 6.67, -3.33: taken, the middle sample named.
        {head + "samples = [[10, 10], [20, 30],\n  [30, 30]]\n", 10.0 / 3, 1.0, 0, std::sqrt(200.0 / 9),
         "3:22: samples: a poor fit, rms 4.71 points (above 3): sample 2 [20, 30] is 6.67 points off"},
    };
    for (const Good& c : good) {
        SCOPED_TRACE(c.text);
        SoilCalibration got;
        const std::vector<QString> errors = load(c.text, got);
        ASSERT_TRUE(errors.empty()) << joined(errors);
        EXPECT_EQ(got.calibration.id, "plot3-2026-05");
        EXPECT_EQ(got.calibration.date, QDate(2026, 5, 4));
        EXPECT_NEAR(got.calibration.a, c.a, 1e-9);
        EXPECT_NEAR(got.calibration.b, c.b, 1e-9);
        EXPECT_NEAR(got.calibration.c, c.c, 1e-9);
        EXPECT_NEAR(got.rms.value_or(-1), c.rms.value_or(-1), 1e-9);
        const std::string warning = got.warning ? got.warning->message.toStdString() : std::string();
        EXPECT_EQ(warning.rfind(c.warning, 0), 0u) << warning;
        EXPECT_EQ(warning.empty(), c.warning.empty()) << warning;
    }
    struct Bad {
        std::string text;
        std::vector<std::string> errors; // each error's start, all of them, in order
    };
    const Bad bad[] = {
        {"date = \"2026-05-04\"\nsamples = [[10, 10.5], [20, 19.5]]\n",
         {"1:8: date: must be a day without quotes, such as 2026-05-04, not a string",
          "3:1: the calibration needs id"}},
        {head + "samples = [[10, 10.5], [20, 19.5]]\na = 1\n",
         {"3:11: samples: give samples to fit or the coefficients a, b and c of a fit, not both"}},
        {head, {"3:1: the calibration needs samples = [[raw %, volumetric %], ...] or the coefficients"}},
        {head + "samples = [[10, 10.5], [120, 19.5], [20, -1], [5]]\n",
         {"3:25: samples: the raw value 120 lies outside 0..100 %",
          "3:42: samples: the volumetric water content -1 lies outside 0..100 %",
          "3:47: samples: each sample is a pair"}},
        {head + "degree = 2\nsamples = [[10, 10.5], [20, 19.5], [20, 21]]\n",
         {"4:11: samples: a quadratic calibration needs samples at 3 different raw values at least, not 2"}},
        {head + "degree = 3\nslope = 1\na = 1\nb = 1\n",
         {"3:10: degree: must be 1..2, not 3", "4:1: unknown key 'slope' in the calibration"}},
        {head + "degree = 1\na = 1\nb = 1\nc = 0.01\n", {"6:5: c: a line (degree = 1) has no raw^2 term"}},
        {head + "a = inf\nb = 1\n", {"3:5: a: must be a number -1000..1000"}},
        {"id = \"\"\ndate = 2026-05-04T10:00:00Z\nb = 1\n",
         {"1:6: id: must not be empty", "2:8: date: must be a day without quotes",
          "4:1: the calibration needs both a and b"}},
    };
    for (const Bad& c : bad) {
        SCOPED_TRACE(c.text);
        SoilCalibration got;
        const std::vector<QString> errors = load(c.text, got);
        ASSERT_EQ(errors.size(), c.errors.size()) << joined(errors);
        for (size_t i = 0; i < c.errors.size(); ++i)
            EXPECT_TRUE(errors[i].toStdString().rfind(c.errors[i], 0) == 0)
                << "got: " << errors[i].toStdString() << "\nexpected: " << c.errors[i];
    }
}

// A sensor's calibration is a file from the configuration's folder, or an inline table; a fault in
// the file is told at its place in that file.
TEST_F(Config, ASensorsCalibrationIsAFileBesideTheConfigurationOrInline) {
    write("good.toml", "id = \"f\"\ndate = 2026-05-04\nsamples = [[10, 10.5], [20, 19.5], [40, 37.5]]\n");
    write("bad.toml", "id = \"b\"\ndate = 2026-05-04\nsamples = [[10, 10.5]]\n");
    const Loaded got = load(HEAD + "address = 3\ncalibration = \"good.toml\"\n[[bus.sensor]]\naddress = 4\n"
                                   "calibration = { id = \"i\", date = 2026-05-05, a = 1, b = 2 }\n");
    ASSERT_TRUE(got.errors.empty()) << joined(got.errors);
    const auto& sensors = got.config.buses.at(0).sensors;
    ASSERT_TRUE(sensors.at(0).soil.calibration && sensors.at(1).soil.calibration);
    EXPECT_EQ(sensors[0].soil.calibration->id, "f");
    EXPECT_NEAR(sensors[0].soil.calibration->apply(30), 28.5, 1e-9);
    EXPECT_EQ(sensors[1].soil.calibration->id, "i");
    EXPECT_NEAR(sensors[1].soil.calibration->apply(30), 61, 1e-9);
    EXPECT_EQ(calibrationText(*sensors[0].calibration),
              "f of 2026-05-04: vwc = 1.5 + 0.9*raw, rms 0.00 points "
              "over 3 samples");

    write("c.toml",
          QByteArray::fromStdString(HEAD + "address = 3\ncalibration = \"bad.toml\"\n[[bus.sensor]]\n"
                                           "address = 4\ncalibration = \"none.toml\"\n[[bus.sensor]]\n"
                                           "address = 5\ncalibration = 7\n"));
    const QString path = dir_.filePath("c.toml");
    CollectorConfig config;
    QStringList errors;
    for (const ConfigError& e : loadConfig(path, config))
        errors << describe(path, e);
    ASSERT_EQ(errors.size(), 3) << errors.join("\n").toStdString();
    EXPECT_TRUE(
        errors[0].startsWith(dir_.filePath("bad.toml") + ":3:11: samples: a linear calibration needs"))
        << errors[0].toStdString();
    EXPECT_TRUE(
        errors[1].startsWith(path + ":12:15: calibration: " + dir_.filePath("none.toml") + ": cannot read"))
        << errors[1].toStdString();
    EXPECT_TRUE(errors[2].startsWith(path + ":15:15: calibration: must be a calibration file's path"))
        << errors[2].toStdString();
}

} // namespace
