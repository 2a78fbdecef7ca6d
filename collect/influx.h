#pragma once
// Readings to InfluxDB over its HTTP write endpoint, a batch a request: version 1 by database
// (with a user and password when it asks for them), version 2 by organisation, bucket and token.

#include "collect/forwarder.h"
#include "collect/settings.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QUrl>

namespace kv::collect {

class InfluxForwarder final : public Forwarder {
    Q_OBJECT
public:
    explicit InfluxForwarder(InfluxSettings settings, QObject* parent = nullptr);

    // Why the settings cannot work (no database or bucket, a URL that is not http); empty when they can.
    [[nodiscard]] QString check() const;
    // Where a batch goes: the write endpoint with its query.
    [[nodiscard]] QUrl writeUrl() const;

    [[nodiscard]] QString name() const override { return QStringLiteral("influx"); }
    [[nodiscard]] bool canSend() const override { return !reply_; }
    void send(std::vector<Record> batch) override;

signals:
    // Points InfluxDB dropped as malformed: the batch counts as taken, and this says which.
    void note(const QString& text);

private:
    void answered();
    [[nodiscard]] bool v2() const { return !settings_.bucket.isEmpty(); }

    InfluxSettings settings_;
    QNetworkAccessManager network_;
    QPointer<QNetworkReply> reply_;
};

} // namespace kv::collect
