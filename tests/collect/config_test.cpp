// The collector's configuration: every fault of a file reported with its place, in file order,
// and a sound file read back whole.

#include "collect/config.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

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

} // namespace
