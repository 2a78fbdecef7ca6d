#include "collect/mqtt.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QSysInfo>

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kv::collect {
namespace {

constexpr int kBackoffMinMs = 1000;
constexpr int kBackoffMaxMs = 60000;
constexpr int kCloseWaitMs = 2000;
constexpr int kConnectWaitMs = 15000;
constexpr int kQos = 1;
const QByteArray kOnline = QByteArrayLiteral("online");
const QByteArray kOffline = QByteArrayLiteral("offline");

// The library's words for a code; its errno case in the system's words.
QString mosquittoText(int rc) {
    if (rc == MOSQ_ERR_ERRNO) return QString::fromLocal8Bit(std::strerror(errno));
    return QString::fromUtf8(mosquitto_strerror(rc));
}

QString sanitised(const QString& s) {
    QString out = s;
    for (QChar& c : out)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('_')) c = QLatin1Char('_');
    return out;
}

QString depthText(const SensorInfo& s) {
    if (s.depthFromCm && s.depthToCm)
        return QStringLiteral(" %1-%2 cm").arg(*s.depthFromCm).arg(*s.depthToCm);
    if (s.depthFromCm) return QStringLiteral(" %1 cm").arg(*s.depthFromCm);
    if (s.depthToCm) return QStringLiteral(" %1 cm").arg(*s.depthToCm);
    return {};
}

} // namespace

MqttForwarder::MqttForwarder(MqttSettings settings, QString version, QObject* parent)
    : Forwarder(parent), settings_(std::move(settings)), version_(std::move(version)) {
    static const bool initialised = mosquitto_lib_init() == MOSQ_ERR_SUCCESS;
    Q_UNUSED(initialised);
    clientId_ = settings_.clientId;
    if (clientId_.isEmpty()) {
        const QByteArray hash = QCryptographicHash::hash(settings_.topic.toUtf8(), QCryptographicHash::Sha1);
        clientId_ = QStringLiteral("kv7702r-%1-%2")
                        .arg(QSysInfo::machineHostName(), QString::fromLatin1(hash.toHex().left(8)));
    }
    misc_.setInterval(1000);
    connect(&misc_, &QTimer::timeout, this, [this] {
        if (!mosq_ || losing_) return;
        const int rc = mosquitto_loop_misc(mosq_);
        if (rc != MOSQ_ERR_SUCCESS && !losing_) lose(mosquittoText(rc));
        armWrite();
    });
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &MqttForwarder::connectNow);
    closeDeadline_.setSingleShot(true);
    closeDeadline_.setInterval(kCloseWaitMs);
    connect(&closeDeadline_, &QTimer::timeout, this, [this] {
        tell(QStringLiteral("MQTT: the broker did not take \"offline\" within %1 s; disconnecting")
                 .arg(kCloseWaitMs / 1000));
        dropped(QString());
    });
    connectDeadline_.setSingleShot(true);
    connectDeadline_.setInterval(kConnectWaitMs);
    connect(&connectDeadline_, &QTimer::timeout, this, [this] {
        lose(QStringLiteral("no answer from the broker within %1 s").arg(kConnectWaitMs / 1000));
    });
}

MqttForwarder::~MqttForwarder() {
    // Without a DISCONNECT the broker publishes the will: "offline".
    teardown();
}

QString MqttForwarder::statusTopic() const {
    return settings_.topic + QStringLiteral("/status");
}

QString MqttForwarder::readingTopic(const QString& key) const {
    return settings_.topic + QLatin1Char('/') + key;
}

QString MqttForwarder::availabilityTopic(const QString& key) const {
    return readingTopic(key) + QStringLiteral("/availability");
}

QString MqttForwarder::problemTopic(const QString& key, const QString& alarm) const {
    return readingTopic(key) + QStringLiteral("/problem/") + alarm;
}

QString MqttForwarder::wateredTopic(const QString& key) const {
    return readingTopic(key) + QStringLiteral("/watered");
}

QString MqttForwarder::discoveryTopic(const QString& key) const {
    return settings_.discoveryPrefix + QStringLiteral("/device/kv7702r_") +
           sanitised(settings_.topic + QLatin1Char('_') + key) + QStringLiteral("/config");
}

QString MqttForwarder::start() {
    const auto badTopic = [](const QString& t) {
        return mosquitto_pub_topic_check(t.toUtf8().constData()) != MOSQ_ERR_SUCCESS;
    };
    if (settings_.topic.isEmpty() || badTopic(statusTopic()))
        return QStringLiteral("MQTT topic \"%1\" is not a topic to publish on (empty, or with + or #)")
            .arg(settings_.topic);
    if (!settings_.discoveryPrefix.isEmpty() &&
        badTopic(settings_.discoveryPrefix + QStringLiteral("/status")))
        return QStringLiteral("MQTT discovery prefix \"%1\" is not a topic (it has + or #)")
            .arg(settings_.discoveryPrefix);
    if (settings_.protocol != QLatin1String("3.1.1") && settings_.protocol != QLatin1String("5"))
        return QStringLiteral("MQTT protocol \"%1\" is not one of 3.1.1 or 5").arg(settings_.protocol);
    if (settings_.host.isEmpty()) return QStringLiteral("MQTT broker host is empty");
    if (settings_.port < 1 || settings_.port > 65535)
        return QStringLiteral("MQTT port %1 is not between 1 and 65535").arg(settings_.port);
    // The library takes 0 (none) or at least 5 s.
    if (settings_.keepaliveS != 0 && (settings_.keepaliveS < 5 || settings_.keepaliveS > 65535))
        return QStringLiteral("MQTT keepalive %1 s is not 0 or between 5 and 65535")
            .arg(settings_.keepaliveS);
    if (settings_.offlineAfter < 1)
        return QStringLiteral("MQTT offline-after %1 is not at least 1").arg(settings_.offlineAfter);
    if (settings_.tls) {
        for (const QString& f : {settings_.caFile, settings_.certFile, settings_.keyFile})
            if (!f.isEmpty() && !QFileInfo(f).isReadable())
                return QStringLiteral("MQTT TLS file %1 cannot be read").arg(f);
        if (settings_.certFile.isEmpty() != settings_.keyFile.isEmpty())
            return QStringLiteral("MQTT TLS needs both a certificate and its key, or neither");
    }
    if (started_) return {};
    started_ = true;
    connectNow();
    return {};
}

void MqttForwarder::connectNow() {
    if (closing_ || mosq_ || lookupId_ >= 0) return;
    const QHostAddress literal(settings_.host);
    if (!literal.isNull()) {
        resolved(literal.toString(), {});
        return;
    }
    // The library would resolve the name itself and block the event loop while it does.
    lookupId_ = QHostInfo::lookupHost(settings_.host, this, [this](const QHostInfo& info) {
        if (info.lookupId() != lookupId_) return;
        // IPv4 first: a broker listening on 127.0.0.1 alone is common, and "localhost" may say ::1 first.
        const QList<QHostAddress> all = info.addresses();
        const auto v4 = std::find_if(all.begin(), all.end(), [](const QHostAddress& a) {
            return a.protocol() == QAbstractSocket::IPv4Protocol;
        });
        const QString address = v4 != all.end() ? v4->toString()
                                : all.isEmpty() ? QString()
                                                : all.first().toString();
        resolved(address, info.error() == QHostInfo::NoError && all.isEmpty() ? QStringLiteral("no address")
                                                                              : info.errorString());
    });
}

void MqttForwarder::resolved(const QString& address, const QString& error) {
    lookupId_ = -1;
    if (address.isEmpty() || closing_) {
        if (!closing_) retryLater(QStringLiteral("cannot find the broker %1: %2").arg(settings_.host, error));
        return;
    }
    losing_ = false;
    refusal_.clear();
    mosq_ = mosquitto_new(clientId_.toUtf8().constData(), true, this);
    if (!mosq_) {
        retryLater(QStringLiteral("cannot make an MQTT client: %1").arg(mosquittoText(MOSQ_ERR_ERRNO)));
        return;
    }
    int rc = mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION,
                                  settings_.protocol == QLatin1String("5") ? MQTT_PROTOCOL_V5
                                                                           : MQTT_PROTOCOL_V311);
    if (rc == MOSQ_ERR_SUCCESS && !settings_.user.isEmpty())
        rc = mosquitto_username_pw_set(
            mosq_, settings_.user.toUtf8().constData(),
            settings_.password.isEmpty() ? nullptr : settings_.password.toUtf8().constData());
    if (rc == MOSQ_ERR_SUCCESS && settings_.tls) {
        const auto path = [](const QString& f) { return f.isEmpty() ? QByteArray() : QFile::encodeName(f); };
        const QByteArray ca = path(settings_.caFile), cert = path(settings_.certFile),
                         key = path(settings_.keyFile);
        rc = mosquitto_tls_set(
            mosq_, ca.isEmpty() ? nullptr : ca.constData(), ca.isEmpty() ? "/etc/ssl/certs" : nullptr,
            cert.isEmpty() ? nullptr : cert.constData(), key.isEmpty() ? nullptr : key.constData(), nullptr);
    }
    const QByteArray status = statusTopic().toUtf8();
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_will_set(mosq_, status.constData(), int(kOffline.size()), kOffline.constData(), kQos,
                                true);
    if (rc != MOSQ_ERR_SUCCESS) {
        const QString why = mosquittoText(rc);
        teardown();
        retryLater(QStringLiteral("cannot set up the MQTT client: %1").arg(why));
        return;
    }
    mosquitto_connect_callback_set(mosq_, &MqttForwarder::onConnect);
    mosquitto_disconnect_callback_set(mosq_, &MqttForwarder::onDisconnect);
    mosquitto_publish_callback_set(mosq_, &MqttForwarder::onPublish);
    mosquitto_message_callback_set(mosq_, &MqttForwarder::onMessage);
    // TLS checks the certificate against the name, so it gets the name (resolved above, so the
    // system answers from its cache); plain TCP gets the address.
    const QByteArray host = (settings_.tls ? settings_.host : address).toUtf8();
    rc = mosquitto_connect_async(mosq_, host.constData(), settings_.port, settings_.keepaliveS);
    const int sock = mosquitto_socket(mosq_);
    if (rc != MOSQ_ERR_SUCCESS || sock < 0) {
        const QString why = mosquittoText(rc == MOSQ_ERR_SUCCESS ? MOSQ_ERR_NO_CONN : rc);
        teardown();
        retryLater(QStringLiteral("cannot connect to the MQTT broker at %1:%2: %3")
                       .arg(settings_.host)
                       .arg(settings_.port)
                       .arg(why));
        return;
    }
    readNotifier_ = std::make_unique<QSocketNotifier>(sock, QSocketNotifier::Read);
    writeNotifier_ = std::make_unique<QSocketNotifier>(sock, QSocketNotifier::Write);
    connect(readNotifier_.get(), &QSocketNotifier::activated, this, [this] { service(false); });
    connect(writeNotifier_.get(), &QSocketNotifier::activated, this, [this] { service(true); });
    misc_.start();
    connectDeadline_.start();
    armWrite();
}

void MqttForwarder::service(bool writable) {
    if (!mosq_ || losing_) return;
    // Writable: the whole loop (timeout 0: it does not wait), which also carries a TLS handshake
    // forward; mosquitto_loop_write alone would not.
    const int rc = writable ? mosquitto_loop(mosq_, 0, 1) : mosquitto_loop_read(mosq_, 1);
    if (rc != MOSQ_ERR_SUCCESS && !losing_)
        lose(rc == MOSQ_ERR_CONN_REFUSED && !refusal_.isEmpty() ? refusal_ : mosquittoText(rc));
    armWrite();
}

void MqttForwarder::armWrite() {
    if (writeNotifier_ && mosq_ && !losing_) writeNotifier_->setEnabled(mosquitto_want_write(mosq_));
}

void MqttForwarder::tell(const QString& text) {
    if (text == lastNote_) return;
    lastNote_ = text;
    emit note(text);
}

void MqttForwarder::lose(const QString& why) {
    if (losing_) return;
    losing_ = true;
    // The library has closed (or will close) the socket: no notifier may watch its number.
    if (readNotifier_) readNotifier_->setEnabled(false);
    if (writeNotifier_) writeNotifier_->setEnabled(false);
    QMetaObject::invokeMethod(
        this, [this, why] { dropped(why); }, Qt::QueuedConnection);
}

void MqttForwarder::dropped(const QString& why) {
    const bool was = connected_;
    teardown();
    connected_ = false;
    if (outstanding_) {
        outstanding_ = false;
        unacked_.clear();
        emit failed(closing_
                        ? QStringLiteral("the MQTT connection was closed before the broker took the batch")
                        : QStringLiteral("the MQTT connection was lost before the broker took the batch: ") +
                              why);
    }
    if (closing_) {
        if (!isClosed_) {
            isClosed_ = true;
            closeDeadline_.stop();
            if (was) tell(QStringLiteral("MQTT: disconnected from the broker"));
            emit closed();
        }
        return;
    }
    retryLater(was ? QStringLiteral("lost the MQTT broker at %1:%2: %3")
                         .arg(settings_.host)
                         .arg(settings_.port)
                         .arg(why)
                   : QStringLiteral("cannot connect to the MQTT broker at %1:%2: %3")
                         .arg(settings_.host)
                         .arg(settings_.port)
                         .arg(why));
}

void MqttForwarder::retryLater(const QString& why) {
    tell(QStringLiteral("MQTT: %1; trying again, at most every %2 s").arg(why).arg(kBackoffMaxMs / 1000));
    retry_.start(backoffMs_);
    backoffMs_ = std::min(backoffMs_ * 2, kBackoffMaxMs);
}

void MqttForwarder::teardown() {
    misc_.stop();
    connectDeadline_.stop();
    readNotifier_.reset();
    writeNotifier_.reset();
    if (mosq_) mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    losing_ = false;
}

bool MqttForwarder::publish(const QString& topic, const QByteArray& payload, bool retain, int* mid) {
    if (!mosq_) return false;
    const QByteArray t = topic.toUtf8();
    const int rc =
        mosquitto_publish(mosq_, mid, t.constData(), int(payload.size()), payload.constData(), kQos, retain);
    if (rc == MOSQ_ERR_SUCCESS) return true;
    if (rc == MOSQ_ERR_INVAL || rc == MOSQ_ERR_PAYLOAD_SIZE || rc == MOSQ_ERR_MALFORMED_UTF8 ||
        rc == MOSQ_ERR_OVERSIZE_PACKET)
        emit note(QStringLiteral("MQTT: not published on \"%1\": %2").arg(topic, mosquittoText(rc)));
    else
        lose(mosquittoText(rc));
    return false;
}

void MqttForwarder::send(std::vector<Record> batch) {
    if (!canSend()) {
        QMetaObject::invokeMethod(
            this, [this] { emit failed(QStringLiteral("not connected to the MQTT broker")); },
            Qt::QueuedConnection);
        return;
    }
    outstanding_ = true;
    unacked_.clear();
    for (const Record& r : batch) {
        const QByteArray seq = QByteArrayLiteral("{\"seq\":") + QByteArray::number(r.seq);
        const QByteArray body = r.json.trimmed();
        // The record's object with seq first; anything else goes as it is.
        const QByteArray payload = !body.startsWith('{') || !body.endsWith('}') ? body
                                   : body.mid(1).trimmed() == "}"               ? seq + '}'
                                                                                : seq + ',' + body.mid(1);
        int mid = 0;
        if (publish(readingTopic(r.sensor), payload, false, &mid)) unacked_.insert(mid);
        if (losing_) break; // the batch fails when the loss is handled
    }
    armWrite();
    if (!losing_ && unacked_.isEmpty()) finishBatch();
}

void MqttForwarder::finishBatch() {
    outstanding_ = false;
    answerPending_ = true;
    // Told once control is back on the event loop, never inside the library or send().
    QMetaObject::invokeMethod(
        this,
        [this] {
            answerPending_ = false;
            emit acknowledged();
            if (canSend()) emit ready();
        },
        Qt::QueuedConnection);
}

QByteArray MqttForwarder::discoveryPayload(const SensorInfo& s) const {
    const QString id = QStringLiteral("kv7702r_") + sanitised(settings_.topic + QLatin1Char('_') + s.key);
    const auto availability = [](const QString& topic) {
        return QJsonObject{{QStringLiteral("topic"), topic},
                           {QStringLiteral("payload_available"), QString::fromLatin1(kOnline)},
                           {QStringLiteral("payload_not_available"), QString::fromLatin1(kOffline)}};
    };
    QJsonObject device{{QStringLiteral("identifiers"), QJsonArray{id}},
                       {QStringLiteral("name"), s.name.isEmpty() ? s.key : s.name},
                       {QStringLiteral("model"), QStringLiteral("KV7702R")},
                       {QStringLiteral("manufacturer"), QStringLiteral("kv7702r")},
                       {QStringLiteral("sw_version"), version_}};
    if (!s.site.isEmpty()) device.insert(QStringLiteral("suggested_area"), s.site);
    const QString depth = depthText(s);
    const auto component = [&](const QString& what, const QString& name, const QString& unit,
                               const QString& field, const QString& idSuffix = {}) {
        QJsonObject c{{QStringLiteral("platform"), QStringLiteral("sensor")},
                      {QStringLiteral("name"), name + depth},
                      {QStringLiteral("device_class"), what},
                      {QStringLiteral("unit_of_measurement"), unit},
                      {QStringLiteral("state_class"), QStringLiteral("measurement")},
                      {QStringLiteral("value_template"), QStringLiteral("{{ value_json.%1 }}").arg(field)},
                      {QStringLiteral("unique_id"), id + QLatin1Char('_') + what + idSuffix}};
        // A reading missed three periods in a row makes the value unknown.
        if (s.periodMs > 0) c.insert(QStringLiteral("expire_after"), int((3LL * s.periodMs + 999) / 1000));
        return c;
    };
    QJsonObject components{{id + QStringLiteral("_moisture"),
                            component(QStringLiteral("moisture"), QStringLiteral("Moisture"),
                                      QStringLiteral("%"), QStringLiteral("moisture_percent"))},
                           {id + QStringLiteral("_temperature"),
                            component(QStringLiteral("temperature"), QStringLiteral("Temperature"),
                                      QStringLiteral("°C"), QStringLiteral("temperature_celsius"))}};
    if (s.calibrated)
        components.insert(id + QStringLiteral("_moisture_calibrated"),
                          component(QStringLiteral("moisture"), QStringLiteral("Moisture calibrated"),
                                    QStringLiteral("%"), QStringLiteral("moisture_calibrated"),
                                    QStringLiteral("_calibrated")));
    for (const QString& alarm : s.problems) {
        QString name = alarm;
        name.replace(QLatin1Char('_'), QLatin1Char(' '));
        name[0] = name[0].toUpper();
        components.insert(
            id + QStringLiteral("_problem_") + alarm,
            QJsonObject{{QStringLiteral("platform"), QStringLiteral("binary_sensor")},
                        {QStringLiteral("name"), name + depth},
                        {QStringLiteral("device_class"), QStringLiteral("problem")},
                        {QStringLiteral("state_topic"), problemTopic(s.key, alarm)},
                        {QStringLiteral("payload_on"), QStringLiteral("ON")},
                        {QStringLiteral("payload_off"), QStringLiteral("OFF")},
                        {QStringLiteral("unique_id"), id + QStringLiteral("_problem_") + alarm}});
    }
    const QJsonObject root{
        {QStringLiteral("device"), device},
        {QStringLiteral("origin"), QJsonObject{{QStringLiteral("name"), QStringLiteral("kv7702r")},
                                               {QStringLiteral("sw_version"), version_}}},
        {QStringLiteral("availability"),
         QJsonArray{availability(statusTopic()), availability(availabilityTopic(s.key))}},
        {QStringLiteral("availability_mode"), QStringLiteral("all")},
        {QStringLiteral("state_topic"), readingTopic(s.key)},
        {QStringLiteral("qos"), kQos},
        {QStringLiteral("components"), components}};
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

void MqttForwarder::publishSensor(const Sensor& s) {
    if (!settings_.discoveryPrefix.isEmpty())
        publish(discoveryTopic(s.info.key), discoveryPayload(s.info), true);
    if (s.told != Availability::Unknown) publishAvailability(s.info.key, s.told);
    for (const auto& [alarm, on] : s.alarms)
        publish(problemTopic(s.info.key, alarm), QByteArray(on ? "ON" : "OFF"), true);
}

void MqttForwarder::alarm(const QString& key, const QString& alarm, bool on) {
    const QByteArray payload(on ? "ON" : "OFF");
    const auto it = sensors_.find(key);
    if (it == sensors_.end()) {
        if (connected_)
            publish(problemTopic(key, alarm), payload, true);
        else
            once_.emplace_back(problemTopic(key, alarm), payload);
        armWrite();
        return;
    }
    it->second.alarms[alarm] = on;
    if (!connected_) return; // told at the connection
    publish(problemTopic(key, alarm), payload, true);
    armWrite();
}

void MqttForwarder::publishAvailability(const QString& key, Availability a) {
    publish(availabilityTopic(key), a == Availability::Online ? kOnline : kOffline, true);
}

void MqttForwarder::announce(const std::vector<SensorInfo>& sensors) {
    for (const SensorInfo& info : sensors) {
        Sensor& s = sensors_[info.key];
        s.info = info;
        retracted_.remove(info.key);
        if (connected_) publishSensor(s);
    }
    armWrite();
}

void MqttForwarder::sensorResult(const QString& key, bool ok) {
    const auto it = sensors_.find(key);
    if (it == sensors_.end()) return;
    Sensor& s = it->second;
    s.failures = ok ? 0 : s.failures + 1;
    const Availability now = ok                                     ? Availability::Online
                             : s.failures >= settings_.offlineAfter ? Availability::Offline
                                                                    : s.told;
    if (now == s.told) return;
    s.told = now;
    // While disconnected it is told at the next connection.
    if (connected_) publishAvailability(key, now);
    armWrite();
}

void MqttForwarder::retract(const QStringList& keys) {
    for (const QString& key : keys) {
        QStringList alarms;
        if (const auto it = sensors_.find(key); it != sensors_.end())
            for (const auto& [alarm, on] : it->second.alarms)
                alarms << alarm;
        sensors_.erase(key);
        if (connected_) {
            if (!settings_.discoveryPrefix.isEmpty()) publish(discoveryTopic(key), {}, true);
            publish(availabilityTopic(key), {}, true);
            for (const QString& alarm : alarms)
                publish(problemTopic(key, alarm), {}, true);
        } else {
            retracted_.insert(key);
        }
    }
    armWrite();
}

void MqttForwarder::close() {
    if (closing_) return;
    closing_ = true;
    retry_.stop();
    lookupId_ = -1;
    if (!connected_ || losing_) {
        // Nothing to tell the broker; the loss (if one is on its way) finds closing_ set.
        if (!losing_)
            QMetaObject::invokeMethod(
                this, [this] { dropped(QString()); }, Qt::QueuedConnection);
        return;
    }
    closeDeadline_.start();
    if (!publish(statusTopic(), kOffline, true, &offlineMid_)) disconnectNow();
    armWrite();
}

void MqttForwarder::disconnectNow() {
    // The DISCONNECT written, the library reports the disconnection, and closed() follows.
    if (mosq_ && mosquitto_disconnect(mosq_) != MOSQ_ERR_SUCCESS) lose(QString());
    armWrite();
}

void MqttForwarder::onConnect(mosquitto*, void* self, int rc) {
    auto* f = static_cast<MqttForwarder*>(self);
    if (rc != 0) {
        f->refusal_ = QStringLiteral("the broker refused the connection: %1")
                          .arg(QString::fromUtf8(f->settings_.protocol == QLatin1String("5")
                                                     ? mosquitto_reason_string(rc)
                                                     : mosquitto_connack_string(rc)));
        return;
    }
    f->connectDeadline_.stop();
    f->connected_ = true;
    f->backoffMs_ = kBackoffMinMs;
    f->tell(QStringLiteral("MQTT: connected to the broker at %1:%2 as %3")
                .arg(f->settings_.host)
                .arg(f->settings_.port)
                .arg(f->clientId_));
    f->publish(f->statusTopic(), kOnline, true);
    if (!f->settings_.discoveryPrefix.isEmpty()) {
        const QByteArray ha = (f->settings_.discoveryPrefix + QStringLiteral("/status")).toUtf8();
        mosquitto_subscribe(f->mosq_, nullptr, ha.constData(), kQos);
    }
    // Every sensor's waterings, known or not: an unknown one is said rather than lost unseen.
    const QByteArray watered = f->wateredTopic(QStringLiteral("+/+")).toUtf8(); // every bus's every sensor
    mosquitto_subscribe(f->mosq_, nullptr, watered.constData(), kQos);
    const QSet<QString> gone = std::exchange(f->retracted_, {});
    f->retract(QStringList(gone.begin(), gone.end()));
    for (const auto& [key, s] : f->sensors_)
        f->publishSensor(s);
    for (const auto& [topic, payload] : std::exchange(f->once_, {}))
        f->publish(topic, payload, true);
    if (f->canSend())
        QMetaObject::invokeMethod(
            f,
            [f] {
                if (f->canSend()) emit f->ready();
            },
            Qt::QueuedConnection);
}

void MqttForwarder::onDisconnect(mosquitto*, void* self, int rc) {
    auto* f = static_cast<MqttForwarder*>(self);
    f->lose(rc == MOSQ_ERR_CONN_REFUSED && !f->refusal_.isEmpty() ? f->refusal_ : mosquittoText(rc));
}

void MqttForwarder::onPublish(mosquitto*, void* self, int mid) {
    auto* f = static_cast<MqttForwarder*>(self);
    if (f->closing_ && mid == f->offlineMid_) {
        f->disconnectNow();
        return;
    }
    if (f->unacked_.remove(mid) && f->unacked_.isEmpty() && f->outstanding_) f->finishBatch();
}

void MqttForwarder::wateredMessage(const QString& topic, const QString& key, bool retained, bool empty) {
    // An empty message is how a retained one is cleared, not a watering.
    if (empty) return;
    if (retained) {
        if (!retainedWatered_.contains(topic)) {
            retainedWatered_.insert(topic);
            emit note(QStringLiteral("MQTT: the retained message on %1 is not taken for a watering: it "
                                     "would water again at every connection; publish waterings without "
                                     "retain, and clear it with an empty retained message")
                          .arg(topic));
        }
        return;
    }
    if (sensors_.find(key) == sensors_.end()) {
        emit note(
            QStringLiteral("MQTT: a watering on %1 names no sensor of this collector; ignored").arg(topic));
        return;
    }
    // Told once control is back on the event loop, never inside the library.
    QMetaObject::invokeMethod(
        this, [this, key] { emit watered(key); }, Qt::QueuedConnection);
}

void MqttForwarder::onMessage(mosquitto*, void* self, const mosquitto_message* msg) {
    auto* f = static_cast<MqttForwarder*>(self);
    if (!msg->topic) return;
    const QString topic = QString::fromUtf8(msg->topic);
    const QString prefix = f->settings_.topic + QLatin1Char('/');
    const QString suffix = QStringLiteral("/watered");
    if (topic.startsWith(prefix) && topic.endsWith(suffix)) {
        const QString key = topic.mid(prefix.size(), topic.size() - prefix.size() - suffix.size());
        f->wateredMessage(topic, key, msg->retain, msg->payloadlen <= 0);
        return;
    }
    // Home Assistant came (back) online: it is told every sensor anew.
    if (f->settings_.discoveryPrefix.isEmpty() ||
        topic != f->settings_.discoveryPrefix + QStringLiteral("/status"))
        return;
    const QByteArray payload(static_cast<const char*>(msg->payload), msg->payloadlen);
    if (payload != kOnline) return;
    for (const auto& [key, s] : f->sensors_)
        f->publishSensor(s);
}

} // namespace kv::collect
