// kv7702r collect as a process: virtual sensors on a pty, behind a device server and behind DTUs
// dialling in, into Mosquitto and InfluxDB started on loopback; through outages of both, a kill -9,
// the spool's bound, configuration errors and a reload. MQTT's seq numbers are the ledger: every
// reading the spool numbered arrives, none twice unless a batch was cut in flight.

#include "harness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QUrlQuery>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <map>
#include <pwd.h>
#include <set>
#include <unistd.h>

using namespace collecttest;

namespace {

constexpr int kEveryMs = 500;

// A reading as MQTT carried it.
struct Arrival {
    qint64 seq = 0;
    qint64 atMs = 0;
    QString sensor; // port#address, as InfluxDB's tags name it too
    bool ok = false;
};

// mosquitto_sub on every topic in a session the broker keeps across its restarts, so that what
// the collector sends before the subscriber is back still reaches it.
class Subscriber : public collecttest::Subscriber {
public:
    explicit Subscriber(int port)
        : collecttest::Subscriber(
              port, {QStringLiteral("-c"), QStringLiteral("-i"), QStringLiteral("kvtest-sub")}) {}
    // The readings, in order of arrival.
    [[nodiscard]] std::vector<Arrival> readings() const {
        std::vector<Arrival> out;
        for (const Message& m : got) {
            if (!m.topic.startsWith(QLatin1String("kvtest/")) || m.topic.count(QLatin1Char('/')) != 2 ||
                m.topic.endsWith(QLatin1String("/status")))
                continue;
            const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
            out.push_back({o[u"seq"].toInteger(), m.atMs,
                           o[u"port"].toString() + QLatin1Char('#') + QString::number(o[u"address"].toInt()),
                           o[u"status"].toString() == QLatin1String("ok")});
        }
        return out;
    }
    [[nodiscard]] std::map<QString, int> perSensor() const {
        std::map<QString, int> n;
        for (const Arrival& a : readings())
            ++n[a.sensor];
        return n;
    }
};

// What the seqs that arrived say: how many times each, and the ok readings per sensor.
struct Ledger {
    std::map<qint64, int> times;
    std::map<QString, int> okPerSensor;
    int duplicates = 0;
    explicit Ledger(const std::vector<Arrival>& arrivals) {
        for (const Arrival& a : arrivals)
            if (++times[a.seq] == 1) {
                if (a.ok) ++okPerSensor[a.sensor];
            } else {
                ++duplicates;
            }
    }
    // Exactly 1..last, each at least once.
    [[nodiscard]] bool contiguousTo(qint64 last) const {
        return qint64(times.size()) == last && (times.empty() || times.rbegin()->first == last) &&
               (times.empty() || times.begin()->first == 1);
    }
};

struct SpoolStatus {
    qint64 lastSeq = -1;
    qint64 dropped = -1;
    qint64 mqtt = -1, influx = -1; // readings each forwarder owes
};

struct Bus {
    QString name, port, dtu;
    std::vector<int> addresses;
};

struct Plan {
    int mqttPort = 0; // 0: no [mqtt]
    int influxPort = 0;
    int drainPerSecond = 1000;
    int maxReadings = 1000000;
    std::vector<Bus> buses;
};

QByteArray toml(const Plan& s) {
    QByteArray t =
        "[spool]\npath = \"spool.db\"\ndrain_per_second = " + QByteArray::number(s.drainPerSecond) +
        "\nmax_readings = " + QByteArray::number(s.maxReadings) + "\n";
    if (s.mqttPort)
        t += "[mqtt]\nhost = \"127.0.0.1\"\nport = " + QByteArray::number(s.mqttPort) +
             "\ntopic = \"kvtest\"\nclient_id = \"kvtest-collector\"\n";
    if (s.influxPort)
        t += "[influx]\nurl = \"http://127.0.0.1:" + QByteArray::number(s.influxPort) +
             "\"\ndatabase = \"kvtest\"\n";
    for (const Bus& b : s.buses) {
        t += "[[bus]]\nname = \"" + b.name.toUtf8() + "\"\nport = \"" + b.port.toUtf8() +
             "\"\nevery_ms = " + QByteArray::number(kEveryMs) + "\ntimeout_ms = 300\n";
        if (!b.dtu.isEmpty()) t += "dtu = \"" + b.dtu.toUtf8() + "\"\nheartbeat = \"HB\"\n";
        for (int a : b.addresses)
            t += "[[bus.sensor]]\naddress = " + QByteArray::number(a) + "\n";
    }
    return t;
}

std::string dump(const Subscriber& sub) {
    std::string out;
    for (const Message& m : sub.got)
        out += std::to_string(m.atMs) + " " + m.topic.toStdString() + " " + m.payload.left(60).toStdString() +
               "\n";
    return out;
}

class Collector : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        config_ = dir_.filePath(QStringLiteral("collect.toml"));
        mqttPort_ = freePort();
        influxPort_ = freePort();
        ASSERT_GT(mqttPort_, 0);
        ASSERT_GT(influxPort_, 0);
    }

    // SIGTERM, not SIGKILL: the broker saves the subscriber's session, whose queue then holds
    // what the collector sends before the subscriber is back.
    void startBroker() {
        const QString conf = dir_.filePath(QStringLiteral("mosquitto.conf"));
        const passwd* me = getpwuid(getuid());
        writeFile(conf, "listener " + QByteArray::number(mqttPort_) +
                            " 127.0.0.1\nallow_anonymous true\npersistence true\npersistence_location " +
                            QFile::encodeName(dir_.path()) + "/\nuser " +
                            QByteArray(me ? me->pw_name : "root") + "\n");
        broker_.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), conf});
        ASSERT_TRUE(waitFor([&] { return listening(mqttPort_); })) << broker_.output().toStdString();
    }
    void stopBroker() { ASSERT_EQ(broker_.stop(SIGTERM), 0) << broker_.output().toStdString(); }

    void startInflux() {
        const QByteArray data = QFile::encodeName(dir_.filePath(QStringLiteral("influx")));
        const QString conf = dir_.filePath(QStringLiteral("influxdb.conf"));
        writeFile(conf, "reporting-disabled = true\nbind-address = \"127.0.0.1:" +
                            QByteArray::number(freePort()) + "\"\n[meta]\n  dir = \"" + data +
                            "/meta\"\n[data]\n  dir = \"" + data + "/data\"\n  wal-dir = \"" + data +
                            "/wal\"\n  query-log-enabled = false\n[http]\n  bind-address = \"127.0.0.1:" +
                            QByteArray::number(influxPort_) +
                            "\"\n  log-enabled = false\n[monitor]\n  store-enabled = false\n");
        influx_.start(QStringLiteral("influxd"), {QStringLiteral("run"), QStringLiteral("-config"), conf});
        ASSERT_TRUE(waitFor([&] { return http("/ping", {}).first == 204; }))
            << influx_.output().toStdString();
        ASSERT_EQ(http("/query", {{"q", "CREATE DATABASE kvtest"}}, true).first, 200);
    }

    // The status code and body of a request to InfluxDB; 0 when it does not answer.
    std::pair<int, QByteArray> http(const QString& path, const QList<std::pair<QString, QString>>& query,
                                    bool post = false) {
        QUrl url(QStringLiteral("http://127.0.0.1:%1%2").arg(influxPort_).arg(path));
        QUrlQuery q;
        q.setQueryItems(query);
        url.setQuery(q);
        QNetworkRequest request(url);
        request.setTransferTimeout(5000);
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QStringLiteral("application/x-www-form-urlencoded"));
        std::unique_ptr<QNetworkReply> reply(post ? net_.post(request, QByteArray()) : net_.get(request));
        waitFor([&] { return reply->isFinished(); });
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
    }

    // The points holding a moisture per port#address.
    std::map<QString, int> influxCounts() {
        const auto [code, body] = http(
            QStringLiteral("/query"),
            {{"db", "kvtest"}, {"q", "SELECT count(moisture) FROM soil GROUP BY \"port\", \"address\""}});
        EXPECT_EQ(code, 200) << body.toStdString();
        std::map<QString, int> out;
        for (const auto& series : QJsonDocument::fromJson(body)[u"results"][0][u"series"].toArray())
            out[series[u"tags"][u"port"].toString() + QLatin1Char('#') +
                series[u"tags"][u"address"].toString()] = series[u"values"][0][1].toInt();
        return out;
    }
    int influxTotal() {
        int n = 0;
        for (const auto& [sensor, count] : influxCounts())
            n += count;
        return n;
    }

    // A virtual sensor; its ready line's last word (the pty's path or the TCP address).
    QString startSim(const QStringList& args) {
        sims_.push_back(std::make_unique<Server>());
        Server& sim = *sims_.back();
        sim.start(QStringLiteral(KV_SIM_BINARY), args);
        static const QRegularExpression ready(QStringLiteral("ready (?:\\S+ -> |tcp |dial )(\\S+)"));
        QRegularExpressionMatch m;
        EXPECT_TRUE(waitFor([&] { return (m = ready.match(sim.output())).hasMatch(); }))
            << sim.output().toStdString();
        return m.captured(1);
    }
    // The bus of a pty sensor at each address.
    Bus serialBus(const std::vector<int>& addresses) {
        QStringList args{QStringLiteral("--link"), dir_.filePath(QStringLiteral("tty"))};
        for (int a : addresses)
            args << QStringLiteral("--address") << QString::number(a);
        startSim(args);
        return {QStringLiteral("field"), dir_.filePath(QStringLiteral("tty")), {}, addresses};
    }

    void writeConfig(const Plan& s) { writeFile(config_, toml(s)); }
    void startCollector() {
        collector_.start(QStringLiteral(KV_CLI_BINARY),
                         {QStringLiteral("collect"), QStringLiteral("--config"), config_});
    }
    [[nodiscard]] QString log() const { return collector_.output(); }

    // kv7702r with these arguments: its exit code and its stdout and stderr together.
    static std::pair<int, QString> cli(const QStringList& args) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QStringLiteral(KV_CLI_BINARY), args);
        EXPECT_TRUE(p.waitForFinished(kDeadlineMs));
        return {p.exitCode(), QString::fromUtf8(p.readAll())};
    }
    QString statusText() { return cli({"collect", "--config", config_, "--status"}).second; }
    QString metricsText(int port) {
        std::unique_ptr<QNetworkReply> reply(
            net_.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/metrics").arg(port)))));
        waitFor([&] { return reply->isFinished(); });
        return QString::fromUtf8(reply->readAll());
    }
    // A sensor at address 3 behind a device server, its moisture fixed until its offset moves it.
    QString fixedSensor(double moisture) {
        return "tcp://" +
               startSim({"--tcp", "127.0.0.1:0", "--address", "3", "--moisture", QString::number(moisture)});
    }
    void offset(const QString& port, int hundredths) {
        const auto [code, out] = cli(
            {"raw", "--port", port, "--address", "3", "--register", "0x0A02", QString::number(hundredths)});
        ASSERT_EQ(code, 0) << out.toStdString();
    }
    void publish(const QStringList& args) {
        ASSERT_EQ(QProcess::execute(
                      locate(QStringLiteral("mosquitto_pub")),
                      QStringList{"-h", "127.0.0.1", "-p", QString::number(mqttPort_), "-q", "1"} + args),
                  0);
    }
    // Until the last message on `topic` says `payload`, a new one since `before` messages there.
    static bool told(const Subscriber& sub, const QString& topic, size_t before, const QByteArray& payload) {
        return waitFor([&] {
            const auto on = sub.on(topic);
            return on.size() > before && on.back().payload == payload;
        });
    }

    SpoolStatus status() {
        QProcess p;
        p.start(QStringLiteral(KV_CLI_BINARY),
                {QStringLiteral("collect"), QStringLiteral("--config"), config_, QStringLiteral("--status")});
        p.waitForFinished(kDeadlineMs);
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        SpoolStatus s;
        static const QRegularExpression head(
            QStringLiteral("last reading number (\\d+), (\\d+) reading\\(s\\) dropped"));
        static const QRegularExpression owed(QStringLiteral("forwarder (\\w+): (\\d+) reading\\(s\\) owed"));
        if (const auto m = head.match(out); m.hasMatch()) {
            s.lastSeq = m.captured(1).toLongLong();
            s.dropped = m.captured(2).toLongLong();
        }
        for (auto it = owed.globalMatch(out); it.hasNext();) {
            const auto m = it.next();
            (m.captured(1) == QLatin1String("mqtt") ? s.mqtt : s.influx) = m.captured(2).toLongLong();
        }
        return s;
    }

    // Until every sensor has `n` readings at the subscriber.
    bool eachHas(const Subscriber& sub, size_t sensors, int n, int deadlineMs = kDeadlineMs) {
        return waitFor(
            [&] {
                const auto per = sub.perSensor();
                return per.size() == sensors &&
                       std::all_of(per.begin(), per.end(), [n](const auto& p) { return p.second >= n; });
            },
            deadlineMs);
    }

    // SIGTERM: the collector ends with 0, then what it sent and owes add up to its last seq.
    SpoolStatus stopCollector(const Subscriber& sub) {
        EXPECT_EQ(collector_.stop(SIGTERM), 0) << log().toStdString();
        const SpoolStatus s = status();
        EXPECT_TRUE(log().contains(QLatin1String("stopped; every reading is in the spool or sent")));
        const Ledger ledger(sub.readings());
        EXPECT_TRUE(ledger.contiguousTo(s.lastSeq - s.mqtt))
            << "seqs " << ledger.times.size() << " of " << s.lastSeq;
        return s;
    }

    QTemporaryDir dir_;
    QString config_;
    int mqttPort_ = -1, influxPort_ = -1;
    Server broker_, influx_, collector_;
    std::vector<std::unique_ptr<Server>> sims_;
    QNetworkAccessManager net_;
};

TEST_F(Collector, EveryKindOfBusReachesBothServersEveryReadingOnce) {
    startBroker();
    startInflux();
    Subscriber sub(mqttPort_);
    ASSERT_TRUE(sub.sync());
    const int listen = freePort();
    const QString server = startSim({"--tcp", "127.0.0.1:0", "--address", "5", "--seed", "2"});
    Plan s{mqttPort_, influxPort_, 1000, 1000000, {}};
    s.buses = {serialBus({3}),
               {"tcp", "tcp://" + server, {}, {5}},
               {"dtu-a", QStringLiteral("listen://127.0.0.1:%1").arg(listen), "DTU-A", {7}},
               {"dtu-b", QStringLiteral("listen://127.0.0.1:%1").arg(listen), "DTU-B", {7, 8}}};
    writeConfig(s);
    startCollector();
    ASSERT_TRUE(waitFor([&] { return log().contains(QLatin1String("for DTUs")); })) << log().toStdString();
    for (const char* dtu : {"DTU-A", "DTU-B"})
        startSim({"--dial", QStringLiteral("127.0.0.1:%1").arg(listen), "--registration", dtu, "--heartbeat",
                  "HB", "--heartbeat-every", "1", "--redial-after", "200", "--address", "7", "--address",
                  "8"});
    ASSERT_TRUE(eachHas(sub, 5, 6)) << log().toStdString();

    const SpoolStatus end = stopCollector(sub);
    EXPECT_EQ(Ledger(sub.readings()).duplicates, 0);
    EXPECT_EQ(end.mqtt, 0);
    EXPECT_EQ(end.influx, 0);
    EXPECT_EQ(influxCounts(), Ledger(sub.readings()).okPerSensor);
    ASSERT_FALSE(sub.on(QStringLiteral("kvtest/status")).empty());
    EXPECT_EQ(sub.on(QStringLiteral("kvtest/status")).back().payload, "offline");
    EXPECT_FALSE(log().contains(QLatin1String("not polled")))
        << "DTU-B's address 8 is not configured, DTU-B is";
}

TEST_F(Collector, OutagesOfBothServersLoseNothingAndTheBacklogDrainsAtItsPace) {
    constexpr int kPerSecond = 5;
    constexpr int kBacklog = 20;
    startBroker();
    startInflux();
    Subscriber sub(mqttPort_);
    ASSERT_TRUE(sub.sync());
    Plan s{mqttPort_, influxPort_, kPerSecond, 1000000, {}};
    s.buses = {serialBus({3, 4})};
    writeConfig(s);
    startCollector();
    ASSERT_TRUE(eachHas(sub, 2, 1)) << log().toStdString();

    stopBroker();
    influx_.kill();
    ASSERT_TRUE(waitFor([&] {
        const SpoolStatus st = status();
        return st.mqtt >= kBacklog && st.influx >= kBacklog;
    })) << log().toStdString();
    const qint64 backlogTo = status().lastSeq;
    // Whatever came before the broker is back was sent before it went.
    qint64 lastBeforeOutage = 0;
    for (const Arrival& a : sub.readings())
        lastBeforeOutage = std::max(lastBeforeOutage, a.seq);
    startBroker();
    startInflux();
    // Every backlog reading at MQTT, and every forwarder caught up once.
    ASSERT_TRUE(waitFor([&] { return Ledger(sub.readings()).times.size() >= size_t(backlogTo) + 4; }, 60000))
        << log().toStdString();
    ASSERT_TRUE(waitFor(
        [&] {
            const SpoolStatus st = status();
            return st.mqtt <= 2 && st.influx <= 2;
        },
        60000))
        << log().toStdString();
    const SpoolStatus end = stopCollector(sub);
    const Ledger ledger(sub.readings());
    // At least once, on both legs (collector to broker, broker to the subscriber's kept session),
    // each of which may repeat a message in flight: a reading more than once only when it was in
    // flight as the broker went, one batch at most, and once more per leg at most.
    for (const auto& [seq, n] : ledger.times) {
        EXPECT_TRUE(n == 1 || (n <= 3 && seq <= lastBeforeOutage && seq > lastBeforeOutage - kPerSecond))
            << "seq " << seq << " arrived " << n << " times\n"
            << dump(sub);
    }
    // Idempotent: a point sent twice is one point.
    EXPECT_EQ(end.influx, 0);
    EXPECT_EQ(influxCounts(), ledger.okPerSensor);

    // The newest kBacklog readings owed when the servers came back, each at its first arrival.
    std::vector<qint64> backlog;
    std::set<qint64> first;
    for (const Arrival& a : sub.readings())
        if (a.seq <= backlogTo && a.seq > backlogTo - kBacklog && first.insert(a.seq).second)
            backlog.push_back(a.atMs);
    ASSERT_EQ(backlog.size(), size_t(kBacklog));
    const qint64 span =
        *std::max_element(backlog.begin(), backlog.end()) - *std::min_element(backlog.begin(), backlog.end());
    // n readings in batches of kPerSecond, a second apart: (n / kPerSecond - 1) s at the least.
    EXPECT_GE(span, 700 * (kBacklog / kPerSecond - 1)) << "the backlog came faster than its pace";
}

TEST_F(Collector, KilledInTheMiddleOfADrainItEndsWithEveryPointOnce) {
    startBroker();
    Subscriber sub(mqttPort_);
    ASSERT_TRUE(sub.sync());
    writeConfig({mqttPort_, influxPort_, 5, 1000000, {serialBus({3, 4})}});
    startCollector();
    ASSERT_TRUE(waitFor([&] { return status().influx >= 30; }, 60000)) << log().toStdString();
    startInflux();
    ASSERT_TRUE(waitFor([&] { return influxTotal() >= 5; })) << log().toStdString();
    ASSERT_EQ(collector_.stop(SIGKILL), 128 + SIGKILL);
    ASSERT_GT(status().influx, 0) << "killed after the drain, not in its middle";

    startCollector();
    ASSERT_TRUE(waitFor([&] { return status().influx == 0; }, 60000)) << log().toStdString();
    const SpoolStatus end = stopCollector(sub);
    EXPECT_EQ(end.influx, 0);
    EXPECT_EQ(influxCounts(), Ledger(sub.readings()).okPerSensor) << "each reading one point";
}

TEST_F(Collector, TheSpoolKeepsItsBoundDroppingTheOldest) {
    startBroker();
    Subscriber sub(mqttPort_);
    ASSERT_TRUE(sub.sync());
    stopBroker();
    // Nothing listens on the InfluxDB port all along.
    writeConfig({mqttPort_, influxPort_, 1000, 20, {serialBus({3, 4})}});
    startCollector();
    ASSERT_TRUE(waitFor([&] {
        const SpoolStatus st = status();
        return st.lastSeq > 24 && st.dropped > 0;
    })) << log().toStdString();
    const SpoolStatus full = status();
    EXPECT_LE(full.mqtt, 20 + 2) << "a tenth over the bound at most";
    EXPECT_LE(full.influx, 20 + 2);
    EXPECT_TRUE(log().contains(QLatin1String("the spool is full: the"))) << log().toStdString();

    startBroker();
    ASSERT_TRUE(waitFor([&] { return Ledger(sub.readings()).times.size() >= 20; })) << log().toStdString();
    const Ledger ledger(sub.readings());
    const qint64 first = ledger.times.begin()->first;
    EXPECT_GT(first, 1) << "the oldest went";
    EXPECT_EQ(ledger.times.rbegin()->first - first + 1, qint64(ledger.times.size())) << "none in between";
    collector_.stop(SIGTERM);
}

// A sensor wetter than its field capacity: the waterlogged alarm goes to the log and, as a problem,
// to Home Assistant, whose device knows it. The sensor is calibrated: its raw 22..38 % is 62..78 %
// calibrated, above the field capacity of 60 only so; each reading carries both, and Home Assistant
// gets an entity for the calibrated one.
TEST_F(Collector, AnAlarmIsToldAsAProblemOfTheCalibratedMoisture) {
    startBroker();
    Subscriber sub(mqttPort_);
    ASSERT_TRUE(sub.sync());
    const Bus serial = serialBus({3});
    writeFile(config_, toml({mqttPort_, 0, 1000, 1000000, {}}) + "[[bus]]\nname = \"field\"\nport = \"" +
                           serial.port.toUtf8() +
                           "\"\nevery_ms = 200\n[[bus.sensor]]\naddress = 3\nfield_capacity = 60\n"
                           "wilting_point = 10\nalarm_after_s = 0\n"
                           "calibration = { id = \"plot3\", date = 2026-05-04, a = 40, b = 1 }\n");
    startCollector();
    const auto said = [&](const QString& topic, const QByteArray& payload) {
        return std::any_of(sub.got.begin(), sub.got.end(),
                           [&](const Message& m) { return m.topic == topic && m.payload.contains(payload); });
    };
    ASSERT_TRUE(waitFor([&] { return said(QStringLiteral("kvtest/field/3/problem/waterlogged"), "ON"); }))
        << dump(sub) << log().toStdString();
    EXPECT_TRUE(said(QStringLiteral("homeassistant/device/kv7702r_kvtest_field_3/config"),
                     "\"kv7702r_kvtest_field_3_problem_waterlogged\""))
        << dump(sub);
    EXPECT_TRUE(said(QStringLiteral("homeassistant/device/kv7702r_kvtest_field_3/config"),
                     "\"kv7702r_kvtest_field_3_moisture_calibrated\""))
        << dump(sub);
    EXPECT_TRUE(log().contains(QLatin1String("field/3: "))) << log().toStdString();
    const auto readings = [&] {
        std::vector<QJsonObject> out;
        for (const Message& m : sub.got)
            if (m.topic == QLatin1String("kvtest/field/3"))
                out.push_back(QJsonDocument::fromJson(m.payload).object());
        return out;
    };
    ASSERT_TRUE(waitFor([&] { return !readings().empty(); })) << dump(sub);
    int checked = 0;
    for (const QJsonObject& o : readings()) {
        if (!o.value(u"moisture_percent").isDouble()) continue;
        ++checked;
        EXPECT_NEAR(o.value(u"moisture_calibrated").toDouble(), 40 + o.value(u"moisture_percent").toDouble(),
                    0.006);
        EXPECT_EQ(o.value(u"calibration").toString(), QLatin1String("plot3"));
    }
    EXPECT_GT(checked, 0) << dump(sub);
    collector_.stop(SIGTERM);
}

// A watering, told on MQTT or by kv7702r watered, that the moisture does not follow within
// rise_within_s raises no_rise (in MQTT, the spool's status and the metrics), though a reload came
// between; the rise clears it. A retained message is no watering: the collector would take it again
// at every connection.
TEST_F(Collector, AWateringWithoutARiseRaisesNoRiseUntilTheRise) {
    startBroker();
    Subscriber sub(mqttPort_);
    ASSERT_TRUE(sub.sync());
    publish({"-r", "-t", "kvtest/tcp/3/watered", "-m", "now"});
    const QString port = fixedSensor(20);
    const int metrics = freePort();
    writeFile(config_,
              toml({mqttPort_, 0, 1000, 1000000, {}}) + "[metrics]\nlisten = \"127.0.0.1:" +
                  QByteArray::number(metrics) + "\"\n[[bus]]\nname = \"tcp\"\nport = \"" + port.toUtf8() +
                  "\"\nevery_ms = 200\n[[bus.sensor]]\naddress = 3\nname = \"bed\"\nrise_within_s = 3\n");
    startCollector();
    ASSERT_TRUE(waitFor([&] {
        return log().contains("retained message on kvtest/tcp/3/watered is not taken");
    })) << log().toStdString();
    // Readings for longer than the rise window, and no alarm.
    const qint64 heard = sub.now();
    ASSERT_TRUE(
        waitFor([&] { return !sub.readings().empty() && sub.readings().back().atMs > heard + 4000; }));
    const QString topic = QStringLiteral("kvtest/tcp/3/problem/no_rise");
    EXPECT_TRUE(sub.on(topic).empty()) << log().toStdString();
    publish({"-r", "-n", "-t", "kvtest/tcp/3/watered"}); // cleared: an empty message waters nothing

    const QString line = QStringLiteral(R"(kv7702r_alarm{sensor="tcp/3",alarm="no_rise"} 1)");
    struct Case {
        const char* how;
        std::function<void()> tell;
        int offset;       // then the moisture rises to 20 + offset / 100
        const char* from; // the moisture before the watering
    };
    const Case cases[] = {
        {"MQTT",
         [&] {
             publish({"-t", "kvtest/tcp/3/watered", "-m", "1"});
         },
         500, "from 20.00 %"},
        {"kv7702r watered",
         [&] {
             const auto [code, out] = cli({"watered", "--config", config_, "bed"});
             EXPECT_EQ(code, 0) << out.toStdString();
             EXPECT_TRUE(out.contains("tcp/3: watered at")) << out.toStdString();
         },
         1000, "from 25.00 %"},
    };
    // A reload, once the new collector has started.
    const auto reload = [&] {
        const qsizetype started = log().count("collecting; the spool's");
        collector_.signal(SIGHUP);
        return waitFor([&] { return log().count("collecting; the spool's") > started; });
    };
    const QString awaited = QStringLiteral("tcp/3: watered at .*, still awaiting a rise by 1 points ");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        const qsizetype taken = log().count("the moisture should rise by");
        const qsizetype restored = log().count(QRegularExpression(awaited));
        const qsizetype kept = log().count("tcp/3: no_rise still raised");
        c.tell();
        ASSERT_TRUE(waitFor([&] { return log().count("the moisture should rise by") > taken; }))
            << log().toStdString();
        EXPECT_TRUE(statusText().contains(QStringLiteral("watering tcp/3: at ")) &&
                    statusText().contains(QStringLiteral("a rise by 1 points awaited ") + c.from))
            << statusText().toStdString();
        ASSERT_TRUE(reload()) << log().toStdString();
        EXPECT_EQ(log().count(QRegularExpression(awaited + c.from)), 1) << log().toStdString();
        ASSERT_TRUE(told(sub, topic, sub.on(topic).size(), "ON")) << log().toStdString() << dump(sub);
        EXPECT_TRUE(metricsText(metrics).split('\n').contains(line));
        EXPECT_TRUE(statusText().contains("alarm tcp/3 no_rise: since")) << statusText().toStdString();
        EXPECT_FALSE(statusText().contains("watering tcp/3")) << "settled by the alarm";
        // Settled by the alarm: the kept alarm outlives a reload, the watering is awaited no more.
        ASSERT_TRUE(reload()) << log().toStdString();
        EXPECT_EQ(log().count(QRegularExpression(awaited)), restored + 1) << log().toStdString();
        EXPECT_EQ(log().count("tcp/3: no_rise still raised"), kept + 1) << log().toStdString();
        offset(port, c.offset);
        ASSERT_TRUE(told(sub, topic, sub.on(topic).size() - 1, "OFF")) << log().toStdString() << dump(sub);
        EXPECT_FALSE(metricsText(metrics).contains("alarm=\"no_rise\""));
        EXPECT_FALSE(statusText().contains("alarm tcp/3")) << statusText().toStdString();
    }

    // A rise in time settles the watering: a reload within its window awaits it no more.
    const qsizetype restored = log().count(QRegularExpression(awaited));
    const qsizetype taken = log().count("the moisture should rise by");
    publish({"-t", "kvtest/tcp/3/watered", "-m", "1"});
    ASSERT_TRUE(waitFor([&] { return log().count("the moisture should rise by") > taken; }))
        << log().toStdString();
    offset(port, 1500);
    ASSERT_TRUE(waitFor([&] {
        return std::any_of(sub.got.begin(), sub.got.end(), [](const Message& m) {
            return m.topic == QLatin1String("kvtest/tcp/3") &&
                   QJsonDocument::fromJson(m.payload)[u"moisture_percent"].toDouble() > 34.9;
        });
    })) << dump(sub);
    ASSERT_TRUE(reload()) << log().toStdString();
    EXPECT_EQ(log().count(QRegularExpression(awaited)), restored) << log().toStdString();
    EXPECT_EQ(collector_.stop(SIGTERM), 0);
}

// An alarm kept in the spool outlives a restart, not told again as new; a reload without its
// setting clears it.
TEST_F(Collector, AnAlarmOutlivesARestartAndGoesWithItsSetting) {
    startBroker();
    Subscriber sub(mqttPort_);
    ASSERT_TRUE(sub.sync());
    const QString port = fixedSensor(20);
    const QByteArray sensor = toml({mqttPort_, 0, 1000, 1000000, {}}) + "[[bus]]\nname = \"tcp\"\nport = \"" +
                              port.toUtf8() +
                              "\"\nevery_ms = 200\n[[bus.sensor]]\naddress = 3\nalarm_after_s = 0\n"
                              "field_capacity = 30\nwilting_point = 10\n";
    writeFile(config_, sensor + "refill = 25\n");
    const QString topic = QStringLiteral("kvtest/tcp/3/problem/dry");
    startCollector();
    ASSERT_TRUE(told(sub, topic, 0, "ON")) << log().toStdString();
    ASSERT_EQ(collector_.stop(SIGTERM), 0);

    const size_t readings = sub.readings().size();
    startCollector();
    ASSERT_TRUE(waitFor([&] { return sub.readings().size() >= readings + 5; })) << log().toStdString();
    EXPECT_EQ(log().count("dry raised:"), 1) << log().toStdString();
    EXPECT_TRUE(log().contains("tcp/3: dry still raised, since")) << log().toStdString();
    EXPECT_EQ(sub.on(topic).back().payload, "ON");
    EXPECT_TRUE(statusText().contains("alarm tcp/3 dry: since")) << statusText().toStdString();

    writeFile(config_, sensor);
    collector_.signal(SIGHUP);
    ASSERT_TRUE(told(sub, topic, 0, "OFF")) << log().toStdString();
    EXPECT_TRUE(log().contains("tcp/3: dry cleared: the sensor has no refill point")) << log().toStdString();
    EXPECT_FALSE(statusText().contains("alarm tcp/3")) << statusText().toStdString();
    EXPECT_EQ(collector_.stop(SIGTERM), 0);
}

// kv7702r watered records nothing unless every sensor it is given is one of the file's.
TEST_F(Collector, WateredNamesItsSensorsOrRecordsNothing) {
    writeFile(config_, toml({1883, 0, 1000, 1000000, {{"b", "/dev/null", {}, {}}}}) +
                           "[[bus.sensor]]\naddress = 3\nname = \"bed\"\n[[bus.sensor]]\naddress = 4\n"
                           "name = \"bed\"\n[[bus.sensor]]\naddress = 5\n");
    struct Case {
        QStringList sensors;
        const char* says;
    };
    for (const Case& c : {Case{{"b/9"}, "no sensor 'b/9' in"}, Case{{"bed"}, "'bed' names 2 sensors"},
                          Case{{"b/5", "x"}, "no sensor 'x'"}, Case{{"b/5"}, "no spool there"}}) {
        const auto [code, out] = cli(QStringList{"watered", "--config", config_} + c.sensors);
        EXPECT_EQ(code, 1) << out.toStdString();
        EXPECT_TRUE(out.contains(c.says)) << out.toStdString();
        EXPECT_FALSE(QFile::exists(dir_.filePath(QStringLiteral("spool.db"))));
    }
}

TEST_F(Collector, ABadConfigurationIsRefusedWithEveryPlace) {
    const QByteArray head =
        "[mqtt]\nhost = \"127.0.0.1\"\ntopic = \"t\"\n[[bus]]\nname = \"b\"\n"; // lines 1-5
    struct Case {
        QByteArray rest;      // from line 6
        QStringList expected; // after "FILE:"
    };
    const std::vector<Case> cases{
        {"port = \"tcp://127.0.0.1\"\n[[bus.sensor]]\naddress = 1\n", {"6:8: port: "}},
        {"port = \"listen://127.0.0.1:4001\"\n[[bus.sensor]]\naddress = 1\n",
         {"6:8: a listen:// bus needs dtu"}},
        {"port = \"tcp://127.0.0.1:4001\"\ndtu = \"D\"\nevery_ms = 500\n[[bus.sensor]]\naddress = 300\n"
         "[[bus.sensor]]\naddress = 2\nevery_ms = 700\n",
         {"7:7: dtu: only a listen:// bus", "10:11: address: must be 1..247",
          "11:1: every_ms: a sensor's period must be a multiple of its bus's (500 ms), not 700"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rest.toStdString());
        writeFile(config_, head + c.rest);
        QProcess p;
        p.start(QStringLiteral(KV_CLI_BINARY),
                {QStringLiteral("collect"), QStringLiteral("--config"), config_});
        ASSERT_TRUE(p.waitForFinished(kDeadlineMs));
        EXPECT_EQ(p.exitCode(), 1) << "EXIT_USAGE";
        const QStringList lines =
            QString::fromUtf8(p.readAllStandardError()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), c.expected.size()) << lines.join(QLatin1Char('\n')).toStdString();
        for (int i = 0; i < lines.size(); ++i) {
            EXPECT_TRUE(lines[i].startsWith("kv7702r: " + config_ + QLatin1Char(':') + c.expected[i]))
                << lines[i].toStdString();
        }
        EXPECT_FALSE(QFile::exists(dir_.filePath(QStringLiteral("spool.db")))) << "refused before anything";
    }
}

TEST_F(Collector, AReloadTakesTheNewSensorsAndLosesNoReading) {
    startBroker();
    Subscriber sub(mqttPort_);
    ASSERT_TRUE(sub.sync());
    const Bus serial = serialBus({3, 4});
    const QString server = startSim({"--tcp", "127.0.0.1:0", "--address", "5"});
    const Bus tcp{"tcp", "tcp://" + server, {}, {5}};
    writeConfig({mqttPort_, 0, 1000, 1000000, {{serial.name, serial.port, {}, {3}}, tcp}});
    startCollector();
    ASSERT_TRUE(eachHas(sub, 2, 2)) << log().toStdString();
    QString discovery; // the tcp sensor's
    for (const Message& m : sub.got)
        if (m.topic.startsWith(QLatin1String("homeassistant/")) && m.payload.contains("\"kvtest/tcp/5\""))
            discovery = m.topic;
    ASSERT_FALSE(discovery.isEmpty()) << dump(sub);

    writeConfig({mqttPort_, 0, 1000, 1000000, {serial}});
    collector_.signal(SIGHUP);
    ASSERT_TRUE(waitFor([&] {
        const auto on = sub.on(discovery);
        return eachHas(sub, 3, 2, 0) && !on.empty() && on.back().payload.isEmpty();
    })) << log().toStdString()
        << dump(sub);
    EXPECT_TRUE(log().contains(QLatin1String("configuration reloaded")));
    const SpoolStatus end = stopCollector(sub);
    EXPECT_EQ(end.mqtt, 0);
}

} // namespace
