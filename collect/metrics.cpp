#include "collect/metrics.h"

#include "collect/spool.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QTcpServer>

#include <set>

namespace kv::collect {

namespace {

// A label's value as the text format takes it: backslash, double quote and line feed escaped.
QByteArray label(const QString& value) {
    QByteArray out;
    for (const char c : value.toUtf8()) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

QByteArray seconds(qint64 unixMs) {
    return QByteArray::number(static_cast<double>(unixMs) / 1000.0, 'f', 3);
}

void family(QByteArray& out, const char* name, const char* type, const char* help) {
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

// HOST:PORT or [V6]:PORT split and the host resolved (a name once, at start); false with why.
bool resolve(const QString& hostPort, QHostAddress& address, quint16& port, QString* why) {
    const auto fail = [&](const QString& reason) {
        if (why) *why = reason;
        return false;
    };
    const qsizetype colon = hostPort.lastIndexOf(QLatin1Char(':'));
    QString host = hostPort.left(colon);
    bool ok = false;
    const uint p = colon > 0 ? hostPort.mid(colon + 1).toUInt(&ok) : 0;
    if (!ok || p > 65535)
        return fail(QStringLiteral("'%1' is not HOST:PORT (127.0.0.1:9107, [::1]:9107)").arg(hostPort));
    port = static_cast<quint16>(p);
    const bool bracketed = host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'));
    if (bracketed) host = host.mid(1, host.size() - 2);
    if (address.setAddress(host) && (bracketed == (address.protocol() == QAbstractSocket::IPv6Protocol)))
        return true;
    if (bracketed || host.contains(QLatin1Char(':')))
        return fail(QStringLiteral("'%1': an IPv6 address is written in brackets, [::1]:9107").arg(hostPort));
    if (host == QLatin1String("localhost")) {
        address = QHostAddress(QHostAddress::LocalHost);
        return true;
    }
    const QHostInfo info = QHostInfo::fromName(host);
    if (info.addresses().isEmpty())
        return fail(QStringLiteral("cannot listen on %1: %2").arg(host, info.errorString()));
    address = info.addresses().front();
    return true;
}

} // namespace

MetricsServer::MetricsServer(Spool& spool, QObject* parent) : QObject(parent), spool_(spool) {}

MetricsServer::~MetricsServer() = default;

bool MetricsServer::listen(const QString& hostPort, QString* why) {
    QHostAddress address;
    quint16 port = 0;
    if (!resolve(hostPort, address, port, why)) return false;
    // Our own socket rather than QHttpServer::listen(), which keeps the reason to itself.
    auto tcp = std::make_unique<QTcpServer>();
    if (!tcp->listen(address, port)) {
        if (why) *why = QStringLiteral("cannot listen on %1: %2").arg(hostPort, tcp->errorString());
        return false;
    }
    port_ = tcp->serverPort();
    http_ = std::make_unique<QHttpServer>();
    http_->route(QStringLiteral("/metrics"), QHttpServerRequest::Method::Get, [this] {
        QHttpServerResponse response("text/plain; version=0.0.4; charset=utf-8", text());
        return response;
    });
    http_->bind(tcp.release()); // the HTTP server owns it now
    return true;
}

void MetricsServer::counted(const QString& sensor, bool ok) {
    auto& [good, failed] = counts_[sensor];
    ++(ok ? good : failed);
}

QByteArray MetricsServer::text() const {
    const Spool::Status s = spool_.status();
    QByteArray out;

    // Every sensor the spool or this process knows, both outcomes shown from 0, as rate() wants.
    std::set<QString> sensors;
    for (const auto& [sensor, n] : counts_)
        sensors.insert(sensor);
    for (const Spool::SensorStatus& r : s.sensors)
        sensors.insert(r.sensor);
    family(out, "kv7702r_readings_total", "counter",
           "Readings committed to the spool since the collector started, by outcome.");
    for (const QString& sensor : sensors) {
        const auto it = counts_.find(sensor);
        const auto [good, failed] = it == counts_.end() ? std::pair<qint64, qint64>{} : it->second;
        out += "kv7702r_readings_total{sensor=\"" + label(sensor) + "\",status=\"ok\"} " +
               QByteArray::number(good) + '\n';
        out += "kv7702r_readings_total{sensor=\"" + label(sensor) + "\",status=\"failed\"} " +
               QByteArray::number(failed) + '\n';
    }

    family(out, "kv7702r_last_reading_timestamp_seconds", "gauge",
           "When the sensor's last reading, measured or failed, was taken (Unix time).");
    for (const Spool::SensorStatus& r : s.sensors)
        out += "kv7702r_last_reading_timestamp_seconds{sensor=\"" + label(r.sensor) + "\"} " +
               seconds(r.unixMs) + '\n';

    family(out, "kv7702r_forwarder_backlog", "gauge", "Readings in the spool the forwarder still owes.");
    for (const Spool::ForwarderStatus& f : s.forwarders)
        out += "kv7702r_forwarder_backlog{forwarder=\"" + label(f.name) + "\"} " +
               QByteArray::number(f.backlog) + '\n';
    family(out, "kv7702r_forwarder_last_error_timestamp_seconds", "gauge",
           "When the forwarder last failed (Unix time); 0: never.");
    for (const Spool::ForwarderStatus& f : s.forwarders)
        out += "kv7702r_forwarder_last_error_timestamp_seconds{forwarder=\"" + label(f.name) + "\"} " +
               seconds(f.lastErrorMs) + '\n';

    family(out, "kv7702r_alarm", "gauge", "1 for each alarm of a sensor raised and not yet cleared.");
    for (const Spool::Alarm& a : s.alarms)
        out += "kv7702r_alarm{sensor=\"" + label(a.sensor) + "\",alarm=\"" + label(a.alarm) + "\"} 1\n";

    family(out, "kv7702r_spool_dropped_total", "counter",
           "Readings dropped unsent over the spool's limits, since the spool was made.");
    out += "kv7702r_spool_dropped_total " + QByteArray::number(s.dropped) + '\n';
    family(out, "kv7702r_spool_last_seq", "gauge", "The sequence number of the last reading committed.");
    out += "kv7702r_spool_last_seq " + QByteArray::number(s.lastSeq) + '\n';
    return out;
}

} // namespace kv::collect
