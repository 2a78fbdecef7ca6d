#include "collect/influx.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrlQuery>

#include <cstring>

namespace kv::collect {
namespace {

// At most this much of an answer is read and quoted.
constexpr qint64 kBodyLimit = 4096;

// What InfluxDB said in its answer: the JSON's error (version 1) or message (version 2), else the
// text itself, on one line and short.
QString said(const QByteArray& body) {
    const QJsonObject o = QJsonDocument::fromJson(body).object();
    QString text = o.value(QStringLiteral("error")).toString();
    if (text.isEmpty()) text = o.value(QStringLiteral("message")).toString();
    if (text.isEmpty()) text = QString::fromUtf8(body);
    text = text.simplified();
    return text.size() > 300 ? text.left(300) + QStringLiteral("...") : text;
}

// A batch's body, readable once: Qt sends a request again by itself when the connection closes
// while it waits for the answer; from this body it cannot, and says so instead.
class OnceBody final : public QIODevice {
public:
    OnceBody(QByteArray bytes, QObject* parent) : QIODevice(parent), bytes_(std::move(bytes)) {
        open(QIODevice::ReadOnly);
    }
    [[nodiscard]] bool isSequential() const override { return true; }
    [[nodiscard]] qint64 bytesAvailable() const override {
        return bytes_.size() - at_ + QIODevice::bytesAvailable();
    }
    [[nodiscard]] qint64 size() const override { return bytes_.size(); }
    bool reset() override { return false; }

protected:
    qint64 readData(char* data, qint64 max) override {
        const qint64 n = std::min(max, qint64(bytes_.size()) - at_);
        std::memcpy(data, bytes_.constData() + at_, size_t(n));
        at_ += n;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray bytes_;
    qint64 at_ = 0;
};

} // namespace

InfluxForwarder::InfluxForwarder(InfluxSettings settings, QObject* parent)
    : Forwarder(parent), settings_(std::move(settings)) {
    // A redirect is answered, not followed: following it would send the body again elsewhere.
    network_.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

QString InfluxForwarder::check() const {
    const QUrl url(settings_.url);
    if (!url.isValid() || url.host().isEmpty() ||
        (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
        return QStringLiteral("InfluxDB URL \"%1\" is not an http:// or https:// URL").arg(settings_.url);
    if (v2()) {
        if (settings_.org.isEmpty())
            return QStringLiteral("InfluxDB bucket %1 needs an org").arg(settings_.bucket);
        if (settings_.token.isEmpty())
            return QStringLiteral("InfluxDB bucket %1 needs a token").arg(settings_.bucket);
    } else if (settings_.database.isEmpty()) {
        return QStringLiteral("InfluxDB needs a database (version 1) or a bucket (version 2)");
    }
    if (settings_.timeoutMs <= 0)
        return QStringLiteral("InfluxDB timeout %1 ms is not positive").arg(settings_.timeoutMs);
    return {};
}

QUrl InfluxForwarder::writeUrl() const {
    QUrl url(settings_.url);
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path + (v2() ? QStringLiteral("/api/v2/write") : QStringLiteral("/write")));
    QUrlQuery query;
    if (v2()) {
        query.addQueryItem(QStringLiteral("org"), settings_.org);
        query.addQueryItem(QStringLiteral("bucket"), settings_.bucket);
    } else {
        query.addQueryItem(QStringLiteral("db"), settings_.database);
    }
    query.addQueryItem(QStringLiteral("precision"), QStringLiteral("ns"));
    url.setQuery(query);
    return url;
}

void InfluxForwarder::send(std::vector<Record> batch) {
    if (reply_) {
        QMetaObject::invokeMethod(
            this, [this] { emit failed(QStringLiteral("an InfluxDB write is still outstanding")); },
            Qt::QueuedConnection);
        return;
    }
    QByteArray body;
    for (const Record& r : batch) {
        if (r.influx.isEmpty()) continue;
        if (!body.isEmpty()) body += '\n';
        body += r.influx;
    }
    if (body.isEmpty()) {
        QMetaObject::invokeMethod(
            this, [this] { emit acknowledged(); }, Qt::QueuedConnection);
        return;
    }
    QNetworkRequest request(writeUrl());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("text/plain; charset=utf-8"));
    request.setTransferTimeout(settings_.timeoutMs);
    if (v2()) {
        request.setRawHeader(QByteArrayLiteral("Authorization"), "Token " + settings_.token.toUtf8());
    } else if (!settings_.user.isEmpty()) {
        // Basic authentication keeps the password out of the URL and of proxies' logs.
        request.setRawHeader(
            QByteArrayLiteral("Authorization"),
            "Basic " + (settings_.user + QLatin1Char(':') + settings_.password).toUtf8().toBase64());
    }
    request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
    request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
    auto* once = new OnceBody(std::move(body), nullptr);
    reply_ = network_.post(request, once);
    once->setParent(reply_);
    connect(reply_, &QNetworkReply::finished, this, &InfluxForwarder::answered);
}

void InfluxForwarder::answered() {
    QNetworkReply* reply = reply_;
    if (!reply) return;
    reply_ = nullptr;
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString text = reply->isOpen() ? said(reply->read(kBodyLimit)) : QString();
    const QString where = settings_.url;
    if (status >= 200 && status < 300) {
        emit acknowledged();
    } else if (status == 400 && (text.contains(QLatin1String("unable to parse")) ||
                                 text.contains(QLatin1String("partial write")))) {
        // The points it names will never be taken; holding the batch would stop every later one.
        emit note(QStringLiteral("InfluxDB dropped points it cannot take (400): %1").arg(text));
        emit acknowledged();
    } else if (status == 401 || status == 403) {
        emit failed(QStringLiteral("InfluxDB refused the %1 (%2): %3")
                        .arg(v2() ? QStringLiteral("token") : QStringLiteral("user and password"))
                        .arg(status)
                        .arg(text));
    } else if (status == 404) {
        emit failed(QStringLiteral("InfluxDB has no %1 %2 (404): %3")
                        .arg(v2() ? QStringLiteral("bucket") : QStringLiteral("database"),
                             v2() ? settings_.bucket : settings_.database, text));
    } else if (status >= 300 && status < 400) {
        emit failed(QStringLiteral("InfluxDB at %1 redirects to %2 (%3); give that URL instead")
                        .arg(where, reply->header(QNetworkRequest::LocationHeader).toUrl().toString())
                        .arg(status));
    } else if (status != 0) {
        emit failed(QStringLiteral("InfluxDB answered %1 %2: %3")
                        .arg(status)
                        .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString(), text));
    } else if (reply->error() == QNetworkReply::ContentReSendError) {
        emit failed(QStringLiteral("InfluxDB at %1 closed the connection without an answer").arg(where));
    } else if (reply->error() == QNetworkReply::OperationCanceledError) {
        emit failed(QStringLiteral("InfluxDB at %1 did not answer within %2 s")
                        .arg(where)
                        .arg(settings_.timeoutMs / 1000.0));
    } else {
        emit failed(QStringLiteral("cannot reach InfluxDB at %1: %2").arg(where, reply->errorString()));
    }
    if (canSend()) emit ready();
}

} // namespace kv::collect
