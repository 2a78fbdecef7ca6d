#pragma once
// The collector's Prometheus endpoint: GET /metrics answers in the text format with what the spool
// holds (each sensor's last reading and active alarms, each forwarder's backlog and last error, the
// drops) and what this process counted (readings by sensor and outcome), read afresh at each scrape.

#include <QObject>
#include <QString>
#include <QtGlobal>

#include <map>
#include <memory>
#include <utility>

class QHttpServer;

namespace kv::collect {

class Spool;

class MetricsServer : public QObject {
    Q_OBJECT
public:
    // The spool must outlive the server; nothing is served before listen().
    explicit MetricsServer(Spool& spool, QObject* parent = nullptr);
    ~MetricsServer() override;
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Serves on HOST:PORT ("127.0.0.1:9107", "[::1]:9107", "localhost:9107"; port 0: any free one);
    // false with the reason in `why` (a malformed address, a host that is no address here, the
    // port taken or not ours to bind).
    bool listen(const QString& hostPort, QString* why);
    // The port it serves on; 0 before listen() succeeded.
    [[nodiscard]] quint16 port() const { return port_; }
    // A reading of `sensor` was committed to the spool, a measurement (`ok`) or a failure.
    void counted(const QString& sensor, bool ok);

    // The exposition: every metric with its HELP and TYPE lines, labels escaped as the format asks.
    [[nodiscard]] QByteArray text() const;

private:
    Spool& spool_;
    std::unique_ptr<QHttpServer> http_;
    quint16 port_ = 0;
    std::map<QString, std::pair<qint64, qint64>> counts_; // sensor → (ok, failed)
};

} // namespace kv::collect
