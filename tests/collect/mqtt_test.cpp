// The MQTT forwarder against Debian's Mosquitto on a loopback port: readings arrive once with
// their seq, a lost broker fails the batch and the batch sent again arrives, the status topic
// says online and offline, and Home Assistant's device discovery reads as it documents it.

#include "collect/mqtt.h"
#include "harness.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <map>
#include <pwd.h>
#include <unistd.h>

using namespace collecttest;
using kv::collect::MqttForwarder;
using kv::collect::MqttSettings;
using kv::collect::Record;
using kv::collect::SensorInfo;

namespace {

class Mqtt : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        port_ = freePort();
        ASSERT_GT(port_, 0);
    }

    void startBroker(const QByteArray& extra = {}) {
        const QString conf = dir_.filePath(QStringLiteral("mosquitto.conf"));
        // Started by root, it would become user mosquitto, who cannot read the test's folder.
        const passwd* me = getpwuid(getuid());
        writeFile(conf, "listener " + QByteArray::number(port_) + " 127.0.0.1\npersistence false\nuser " +
                            QByteArray(me ? me->pw_name : "root") + "\n" +
                            (extra.isEmpty() ? QByteArray("allow_anonymous true\n") : extra));
        broker_.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), conf});
        ASSERT_TRUE(waitFor([&] { return listening(port_); })) << broker_.output().toStdString();
    }

    MqttSettings settings(const QString& protocol = QStringLiteral("3.1.1")) const {
        MqttSettings s;
        s.port = port_;
        s.topic = QStringLiteral("kvtest/farm1");
        s.protocol = protocol;
        return s;
    }

    // What the broker keeps now, by topic.
    std::map<QString, QByteArray> retained() const {
        Subscriber s(port_);
        EXPECT_TRUE(s.sync());
        std::map<QString, QByteArray> out;
        for (const auto& m : s.got)
            if (m.retained) out[m.topic] = m.payload;
        return out;
    }

    QTemporaryDir dir_;
    int port_ = -1;
    Server broker_;
};

// Counts what a forwarder answers.
struct Answers {
    explicit Answers(MqttForwarder& f) {
        QObject::connect(&f, &MqttForwarder::acknowledged, [this] { ++acks; });
        QObject::connect(&f, &MqttForwarder::failed, [this](const QString& why) { failures << why; });
        QObject::connect(&f, &MqttForwarder::note, [this](const QString& n) { notes << n; });
    }
    int acks = 0;
    QStringList failures, notes;
};

std::vector<Record> batch(qint64 firstSeq) {
    return {
        {firstSeq,
         0,
         QStringLiteral("north/3"),
         true,
         R"({"time":"2024-05-01T10:00:00.000Z","moisture_percent":23.5,"temperature_celsius":18.25,"status":"ok"})",
         {}},
        {firstSeq + 1,
         0,
         QStringLiteral("north/37"),
         false,
         R"({"moisture_percent":null,"status":"timeout"})",
         {}},
        {firstSeq + 2, 0, QStringLiteral("south/1"), true, "{}", {}}};
}

std::vector<std::pair<QString, QByteArray>> expected(qint64 firstSeq) {
    const QByteArray s = QByteArray::number(firstSeq);
    return {
        {"kvtest/farm1/north/3",
         R"({"seq":)" + s +
             R"(,"time":"2024-05-01T10:00:00.000Z","moisture_percent":23.5,"temperature_celsius":18.25,"status":"ok"})"},
        {"kvtest/farm1/north/37",
         R"({"seq":)" + QByteArray::number(firstSeq + 1) + R"(,"moisture_percent":null,"status":"timeout"})"},
        {"kvtest/farm1/south/1", R"({"seq":)" + QByteArray::number(firstSeq + 2) + "}"}};
}

std::vector<std::pair<QString, QByteArray>> readings(const Subscriber& sub) {
    std::vector<std::pair<QString, QByteArray>> out;
    for (const auto& m : sub.on(QStringLiteral("kvtest/farm1/")))
        if (m.topic != QLatin1String("kvtest/farm1/status")) out.emplace_back(m.topic, m.payload);
    return out;
}

TEST_F(Mqtt, ABatchArrivesOnceWithItsSeqUnderEitherProtocol) {
    startBroker();
    // The second by name: the name is looked up without the library's blocking lookup.
    for (const auto& [protocol, host] : {std::pair{QStringLiteral("3.1.1"), QStringLiteral("127.0.0.1")},
                                         std::pair{QStringLiteral("5"), QStringLiteral("localhost")}}) {
        SCOPED_TRACE(protocol.toStdString());
        Subscriber sub(port_);
        ASSERT_TRUE(sub.sync());
        MqttSettings s = settings(protocol);
        s.host = host;
        MqttForwarder f(s, QStringLiteral("0.1"));
        Answers a(f);
        int readies = 0;
        QObject::connect(&f, &MqttForwarder::ready, [&] { ++readies; });
        ASSERT_EQ(f.start(), QString());
        ASSERT_TRUE(waitFor([&] { return readies == 1; })) << a.notes.join('\n').toStdString();
        ASSERT_TRUE(f.canSend());
        f.send(batch(7));
        EXPECT_FALSE(f.canSend()) << "a batch is outstanding";
        ASSERT_TRUE(waitFor([&] { return a.acks == 1; })) << a.failures.join('\n').toStdString();
        EXPECT_TRUE(waitFor([&] { return readies == 2; })) << "ready again after the answer";
        ASSERT_TRUE(sub.sync());
        EXPECT_EQ(readings(sub), expected(7)) << "each once, in order";
        EXPECT_TRUE(a.failures.isEmpty());
        const auto status = sub.on(QStringLiteral("kvtest/farm1/status"));
        ASSERT_FALSE(status.empty());
        EXPECT_EQ(status.back().payload, "online");
    }
}

TEST_F(Mqtt, ALostBrokerFailsTheBatchAndItArrivesOnceSentAgain) {
    startBroker();
    MqttForwarder f(settings(), QStringLiteral("0.1"));
    Answers a(f);
    ASSERT_EQ(f.start(), QString());
    ASSERT_TRUE(waitFor([&] { return f.canSend(); })) << a.notes.join('\n').toStdString();
    // Stopped, the broker takes nothing and answers nothing; killed, the connection ends.
    broker_.pause();
    f.send(batch(1));
    broker_.kill();
    ASSERT_TRUE(waitFor([&] { return !a.failures.isEmpty(); }));
    EXPECT_EQ(a.acks, 0);
    EXPECT_EQ(a.failures.size(), 1);
    EXPECT_FALSE(f.canSend());

    startBroker();
    ASSERT_TRUE(waitFor([&] { return f.canSend(); })) << a.notes.join('\n').toStdString();
    EXPECT_TRUE(a.notes.filter(QStringLiteral("lost the MQTT broker")).size() == 1)
        << a.notes.join('\n').toStdString();
    Subscriber sub(port_);
    ASSERT_TRUE(sub.sync());
    f.send(batch(1));
    ASSERT_TRUE(waitFor([&] { return a.acks == 1; })) << a.failures.join('\n').toStdString();
    ASSERT_TRUE(sub.sync());
    EXPECT_EQ(readings(sub), expected(1)) << "the batch once, nothing of the lost connection";
}

TEST_F(Mqtt, TheStatusIsOnlineWhileConnectedAndOfflineAfter) {
    startBroker();
    struct Case {
        const char* how;
        bool close; // close() first, or the forwarder just goes (the broker's will)
    };
    for (const Case c : {Case{"closed", true}, Case{"gone", false}}) {
        SCOPED_TRACE(c.how);
        auto f = std::make_unique<MqttForwarder>(settings(), QStringLiteral("0.1"));
        ASSERT_EQ(f->start(), QString());
        ASSERT_TRUE(waitFor([&] { return f->canSend(); }));
        ASSERT_TRUE(waitFor([&] { return retained()["kvtest/farm1/status"] == "online"; }));
        if (c.close) {
            bool closed = false;
            QObject::connect(f.get(), &MqttForwarder::closed, [&] { closed = true; });
            f->close();
            ASSERT_TRUE(waitFor([&] { return closed; }, 5000));
            EXPECT_FALSE(f->canSend());
        }
        f.reset();
        EXPECT_TRUE(waitFor([&] { return retained()["kvtest/farm1/status"] == "offline"; }));
    }
}

TEST_F(Mqtt, ABrokerWithPasswordsTakesTheRightOneOnly) {
    const QString passwords = dir_.filePath(QStringLiteral("passwords"));
    ASSERT_EQ(QProcess::execute(locate(QStringLiteral("mosquitto_passwd")),
                                {"-b", "-c", passwords, "collector", "s3cret pass"}),
              0);
    startBroker("allow_anonymous false\npassword_file " + passwords.toUtf8() + "\n");
    struct Case {
        const char* password;
        bool connects;
    };
    for (const Case c : {Case{"s3cret pass", true}, Case{"wrong", false}}) {
        SCOPED_TRACE(c.password);
        MqttSettings s = settings();
        s.user = QStringLiteral("collector");
        s.password = QString::fromUtf8(c.password);
        MqttForwarder f(s, QStringLiteral("0.1"));
        Answers a(f);
        ASSERT_EQ(f.start(), QString());
        if (c.connects) {
            EXPECT_TRUE(waitFor([&] { return f.canSend(); })) << a.notes.join('\n').toStdString();
        } else {
            ASSERT_TRUE(waitFor([&] { return !a.notes.isEmpty(); }));
            EXPECT_TRUE(a.notes.front().contains(
                QLatin1String("refused the connection: Connection Refused: not authorised")))
                << a.notes.front().toStdString();
            EXPECT_FALSE(f.canSend());
        }
    }
}

TEST_F(Mqtt, SettingsThatCannotWorkAreToldAtStart) {
    struct Case {
        std::function<void(MqttSettings&)> set;
        const char* says;
    };
    const std::vector<Case> cases{
        {[](MqttSettings& s) { s.topic = QStringLiteral("farm/#"); }, "is not a topic to publish on"},
        {[](MqttSettings& s) { s.topic.clear(); }, "is not a topic to publish on"},
        {[](MqttSettings& s) { s.protocol = QStringLiteral("3"); }, "is not one of 3.1.1 or 5"},
        {[](MqttSettings& s) { s.keepaliveS = 2; }, "keepalive 2 s"},
        {[](MqttSettings& s) {
             s.tls = true;
             s.caFile = QStringLiteral("/nonexistent/ca.pem");
         },
         "TLS file /nonexistent/ca.pem cannot be read"},
    };
    for (const Case& c : cases) {
        MqttSettings s = settings();
        c.set(s);
        MqttForwarder f(s, QStringLiteral("0.1"));
        EXPECT_TRUE(f.start().contains(QLatin1String(c.says))) << c.says;
    }
}

// Home Assistant's device discovery: one retained message a sensor on
// <prefix>/device/<object id>/config, its components under "components".
TEST_F(Mqtt, DiscoveryFollowsHomeAssistant) {
    startBroker();
    MqttSettings s = settings();
    s.offlineAfter = 3;
    MqttForwarder f(s, QStringLiteral("1.2.3"));
    ASSERT_EQ(f.start(), QString());
    ASSERT_TRUE(waitFor([&] { return f.canSend(); }));
    Subscriber sub(port_);
    ASSERT_TRUE(sub.sync());
    f.announce({{QStringLiteral("north/3"),
                 QStringLiteral("Bed 1"),
                 QStringLiteral("Greenhouse"),
                 10,
                 20,
                 60000,
                 {QStringLiteral("stale"), QStringLiteral("no_rise")}},
                {QStringLiteral("south/1"), QStringLiteral("Bed 2"), {}, {}, {}, 0, {}}});
    const QString topic = QStringLiteral("homeassistant/device/kv7702r_kvtest_farm1_north_3/config");
    const QString other = QStringLiteral("homeassistant/device/kv7702r_kvtest_farm1_south_1/config");
    ASSERT_TRUE(waitFor([&] { return retained().count(topic) && retained().count(other); }));

    const QJsonObject d = QJsonDocument::fromJson(retained()[topic]).object();
    const QJsonObject m = d[u"components"][u"kv7702r_kvtest_farm1_north_3_moisture"].toObject();
    const QJsonObject t = d[u"components"][u"kv7702r_kvtest_farm1_north_3_temperature"].toObject();
    const QJsonObject p = d[u"components"][u"kv7702r_kvtest_farm1_north_3_problem_no_rise"].toObject();
    const QJsonArray availability = d[u"availability"].toArray();
    const std::vector<std::pair<const char*, QJsonValue>> fields{
        {"device.identifiers", d[u"device"][u"identifiers"]},
        {"device.name", d[u"device"][u"name"]},
        {"device.model", d[u"device"][u"model"]},
        {"device.sw_version", d[u"device"][u"sw_version"]},
        {"device.suggested_area", d[u"device"][u"suggested_area"]},
        {"origin.name", d[u"origin"][u"name"]},
        {"origin.sw_version", d[u"origin"][u"sw_version"]},
        {"state_topic", d[u"state_topic"]},
        {"availability_mode", d[u"availability_mode"]},
        {"availability[0].topic", availability[0][u"topic"]},
        {"availability[1].topic", availability[1][u"topic"]},
        {"availability[1].payload_available", availability[1][u"payload_available"]},
        {"availability[1].payload_not_available", availability[1][u"payload_not_available"]},
        {"moisture.platform", m[u"platform"]},
        {"moisture.device_class", m[u"device_class"]},
        {"moisture.unit_of_measurement", m[u"unit_of_measurement"]},
        {"moisture.state_class", m[u"state_class"]},
        {"moisture.value_template", m[u"value_template"]},
        {"moisture.unique_id", m[u"unique_id"]},
        {"moisture.expire_after", m[u"expire_after"]},
        {"temperature.platform", t[u"platform"]},
        {"temperature.device_class", t[u"device_class"]},
        {"temperature.unit_of_measurement", t[u"unit_of_measurement"]},
        {"temperature.state_class", t[u"state_class"]},
        {"temperature.value_template", t[u"value_template"]},
        {"temperature.unique_id", t[u"unique_id"]},
        {"problem.platform", p[u"platform"]},
        {"problem.name", p[u"name"]},
        {"problem.device_class", p[u"device_class"]},
        {"problem.state_topic", p[u"state_topic"]},
        {"problem.payload_on", p[u"payload_on"]},
        {"problem.payload_off", p[u"payload_off"]},
        {"problem.unique_id", p[u"unique_id"]},
    };
    const std::map<std::string, QJsonValue> want{
        {"device.identifiers", QJsonArray{"kv7702r_kvtest_farm1_north_3"}},
        {"device.name", "Bed 1"},
        {"device.model", "KV7702R"},
        {"device.sw_version", "1.2.3"},
        {"device.suggested_area", "Greenhouse"},
        {"origin.name", "kv7702r"},
        {"origin.sw_version", "1.2.3"},
        {"state_topic", "kvtest/farm1/north/3"},
        {"availability_mode", "all"},
        {"availability[0].topic", "kvtest/farm1/status"},
        {"availability[1].topic", "kvtest/farm1/north/3/availability"},
        {"availability[1].payload_available", "online"},
        {"availability[1].payload_not_available", "offline"},
        {"moisture.platform", "sensor"},
        {"moisture.device_class", "moisture"},
        {"moisture.unit_of_measurement", "%"},
        {"moisture.state_class", "measurement"},
        {"moisture.value_template", "{{ value_json.moisture_percent }}"},
        {"moisture.unique_id", "kv7702r_kvtest_farm1_north_3_moisture"},
        {"moisture.expire_after", 180},
        {"temperature.platform", "sensor"},
        {"temperature.device_class", "temperature"},
        {"temperature.unit_of_measurement", QString::fromUtf8("°C")},
        {"temperature.state_class", "measurement"},
        {"temperature.value_template", "{{ value_json.temperature_celsius }}"},
        {"temperature.unique_id", "kv7702r_kvtest_farm1_north_3_temperature"},
        {"problem.platform", "binary_sensor"},
        {"problem.name", "No rise 10-20 cm"},
        {"problem.device_class", "problem"},
        {"problem.state_topic", "kvtest/farm1/north/3/problem/no_rise"},
        {"problem.payload_on", "ON"},
        {"problem.payload_off", "OFF"},
        {"problem.unique_id", "kv7702r_kvtest_farm1_north_3_problem_no_rise"},
    };
    for (const auto& [name, value] : fields)
        EXPECT_EQ(value, want.at(name)) << name;
    const QJsonObject o = QJsonDocument::fromJson(retained()[other]).object();
    EXPECT_FALSE(o[u"device"].toObject().contains(u"suggested_area")) << "no site, no area";
    EXPECT_FALSE(o[u"components"].toObject().begin()->toObject().contains(u"expire_after")) << "no period";

    // Availability: offline after three failures in a row, online at the first good reading,
    // each published once.
    const QString avail = QStringLiteral("kvtest/farm1/north/3/availability");
    for (bool ok : {false, false, false, false, true, true})
        f.sensorResult(QStringLiteral("north/3"), ok);
    ASSERT_TRUE(waitFor([&] { return sub.on(avail).size() == 2; }));
    ASSERT_TRUE(sub.sync());
    ASSERT_EQ(sub.on(avail).size(), 2u);
    EXPECT_EQ(sub.on(avail)[0].payload, "offline");
    EXPECT_EQ(sub.on(avail)[1].payload, "online");

    // An alarm and its end, each retained on the sensor's problem topic.
    const QString stale = QStringLiteral("kvtest/farm1/north/3/problem/stale");
    f.alarm(QStringLiteral("north/3"), QStringLiteral("stale"), true);
    ASSERT_TRUE(waitFor([&] { return retained()[stale] == "ON"; }));
    f.alarm(QStringLiteral("north/3"), QStringLiteral("stale"), false);
    ASSERT_TRUE(waitFor([&] { return retained()[stale] == "OFF"; }));

    // Home Assistant back online hears every sensor again.
    ASSERT_EQ(QProcess::execute(locate(QStringLiteral("mosquitto_pub")),
                                {"-h", "127.0.0.1", "-p", QString::number(port_), "-t",
                                 "homeassistant/status", "-m", "online"}),
              0);
    EXPECT_TRUE(waitFor([&] { return sub.on(topic).size() == 2 && sub.on(other).size() == 2; }));

    // A sensor taken out of the configuration is forgotten.
    f.retract({QStringLiteral("north/3")});
    ASSERT_TRUE(waitFor([&] { return !retained().count(topic); }));
    const auto kept = retained();
    EXPECT_FALSE(kept.count(avail)) << "its availability cleared too";
    EXPECT_FALSE(kept.count(stale)) << "and its alarm";
    EXPECT_TRUE(kept.count(other)) << "the other sensor stays";
}

} // namespace
