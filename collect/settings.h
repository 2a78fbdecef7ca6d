#pragma once
// What the forwarders need to reach their servers, as the configuration gives it; plain data, so
// that the configuration's parser needs none of the forwarders' libraries.

#include <QString>

namespace kv::collect {

struct MqttSettings {
    QString host = QStringLiteral("127.0.0.1");
    int port = 1883;
    QString topic = QStringLiteral("kv7702r");                 // the readings' and the status's prefix
    QString discoveryPrefix = QStringLiteral("homeassistant"); // empty: no discovery
    QString protocol = QStringLiteral("3.1.1");                // or "5"
    bool tls = false;
    QString caFile, certFile, keyFile; // caFile empty with tls: the system's certificates
    QString user, password;
    QString clientId; // empty: kv7702r-<host name>-<hash of the topic>
    int keepaliveS = 60;
    int offlineAfter = 3; // failed readings in a row before a sensor is told offline
};

struct InfluxSettings {
    QString url = QStringLiteral("http://127.0.0.1:8086");
    QString database, user, password; // version 1
    QString org, bucket, token;       // version 2, chosen by a bucket
    int timeoutMs = 10000;            // a request unanswered this long fails
};

} // namespace kv::collect
