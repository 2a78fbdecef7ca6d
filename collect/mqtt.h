#pragma once
// Readings to an MQTT broker through libmosquitto, driven by Qt's event loop (no thread of its own):
// each reading a QoS 1 message on <topic>/<bus>/<address>, the collector's own state retained on
// <topic>/status (a will says "offline" when it goes away unannounced), and Home Assistant's
// device discovery for every sensor, with each sensor's availability; waterings heard on
// <topic>/<bus>/<address>/watered.

#include "collect/forwarder.h"
#include "collect/settings.h"

#include <QSet>
#include <QStringList>
#include <QTimer>

#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QSocketNotifier;
struct mosquitto;
struct mosquitto_message;

namespace kv::collect {

// A sensor as Home Assistant is told of it.
struct SensorInfo {
    QString key;  // "<bus>/<address>", as in its readings' topic
    QString name; // the device's name
    QString site; // the suggested area; may be empty
    std::optional<int> depthFromCm, depthToCm;
    int periodMs = 0; // its polling period; 0: its values never expire
    // Its alarms ("dry", "stale"...), each a problem sensor of the device in Home Assistant.
    QStringList problems;
    bool calibrated = false; // its readings carry moisture_calibrated: an entity of its own
};

class MqttForwarder final : public Forwarder {
    Q_OBJECT
public:
    // `version` is the tool's, told to Home Assistant.
    MqttForwarder(MqttSettings settings, QString version, QObject* parent = nullptr);
    ~MqttForwarder() override;

    // Checks the settings and starts connecting (again and again until it succeeds); the message
    // when the settings cannot work (a topic with wildcards, a TLS file that cannot be read).
    [[nodiscard]] QString start();

    [[nodiscard]] QString name() const override { return QStringLiteral("mqtt"); }
    [[nodiscard]] bool canSend() const override {
        return connected_ && !outstanding_ && !answerPending_ && !closing_;
    }
    void send(std::vector<Record> batch) override;

    // Tells Home Assistant of these sensors (kept and told again at every connection).
    void announce(const std::vector<SensorInfo>& sensors);
    // A sensor's reading was good or not: its availability changes after offlineAfter failures
    // in a row, and back at the first good one.
    void sensorResult(const QString& key, bool ok);
    // A sensor's alarm is raised (on) or ended: retained "ON" or "OFF" on its problem topic, told
    // again at every connection; of a sensor not announced (gone from the configuration), told once.
    void alarm(const QString& key, const QString& alarm, bool on);
    // Home Assistant forgets these sensors: their discovery and availability are cleared.
    void retract(const QStringList& keys);
    // Says "offline" on the status topic, waits (at most ~2 s) for the broker to take it, then
    // disconnects; closed() when done. Without it, the broker says "offline" for us (the will).
    void close();

    [[nodiscard]] bool connected() const { return connected_; }
    // The topics, for those who read them back.
    [[nodiscard]] QString statusTopic() const;
    [[nodiscard]] QString readingTopic(const QString& key) const;
    [[nodiscard]] QString availabilityTopic(const QString& key) const;
    [[nodiscard]] QString problemTopic(const QString& key, const QString& alarm) const;
    [[nodiscard]] QString wateredTopic(const QString& key) const;
    [[nodiscard]] QString discoveryTopic(const QString& key) const;
    // The retained discovery message of a sensor, as Home Assistant's device discovery reads it.
    [[nodiscard]] QByteArray discoveryPayload(const SensorInfo& sensor) const;

signals:
    // What happened to the connection, in English, once for each change.
    void note(const QString& text);
    void closed();
    // A message on an announced sensor's watered topic, not retained: the zone was watered now.
    void watered(const QString& key);

private:
    enum class Availability { Unknown, Online, Offline };
    struct Sensor {
        SensorInfo info;
        int failures = 0;
        Availability told = Availability::Unknown; // last published
        std::map<QString, bool> alarms;            // each alarm's last state, by name
    };

    void connectNow();
    void resolved(const QString& address, const QString& error);
    // The connection is gone (or never came): the library is left alone until the event loop
    // has returned from it, then torn down.
    void lose(const QString& why);
    void dropped(const QString& why);
    void retryLater(const QString& why);
    void service(bool writable);
    void armWrite();
    void tell(const QString& text);
    bool publish(const QString& topic, const QByteArray& payload, bool retain, int* mid = nullptr);
    void publishSensor(const Sensor& s);
    void publishAvailability(const QString& key, Availability a);
    void wateredMessage(const QString& topic, const QString& key, bool retained, bool empty);
    void finishBatch();
    void disconnectNow();
    void teardown();

    static void onConnect(mosquitto*, void* self, int rc);
    static void onDisconnect(mosquitto*, void* self, int rc);
    static void onPublish(mosquitto*, void* self, int mid);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* msg);

    MqttSettings settings_;
    QString version_;
    QString clientId_;
    mosquitto* mosq_ = nullptr;
    std::unique_ptr<QSocketNotifier> readNotifier_, writeNotifier_;
    QTimer misc_;            // keepalive and the library's own timeouts
    QTimer retry_;           // the next connection attempt
    QTimer closeDeadline_;   // close() gives up waiting for the broker
    QTimer connectDeadline_; // a connection that never completes is given up
    int backoffMs_ = 1000;
    int lookupId_ = -1;
    bool started_ = false;
    bool connected_ = false;
    bool closing_ = false;
    bool isClosed_ = false;
    bool losing_ = false;
    QString refusal_;  // the broker's CONNACK, when it refused
    QString lastNote_; // told once until the state changes
    bool outstanding_ = false;
    bool answerPending_ = false; // acknowledged() is on its way
    QSet<int> unacked_;          // the batch's message ids still without their PUBACK
    int offlineMid_ = -1;
    std::map<QString, Sensor> sensors_;
    QSet<QString> retracted_; // cleared again at the next connection, when gone while disconnected
    std::vector<std::pair<QString, QByteArray>> once_; // told at the next connection, then forgotten
    QSet<QString> retainedWatered_;                    // watered topics whose retained message was told of
};

} // namespace kv::collect
