// The InfluxDB forwarder: the requests each version of the write endpoint wants, recorded by a
// small HTTP server that also answers as InfluxDB may; each answer becomes one acknowledgement
// or one failure, a body sent once; and batches written to Debian's influxd and read back.

#include "collect/influx.h"
#include "harness.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>

#include <gtest/gtest.h>

#include <memory>

using namespace collecttest;
using kv::collect::InfluxForwarder;
using kv::collect::InfluxSettings;
using kv::collect::Record;

namespace {

struct Request {
    QByteArray method, path, query, authorization, body;
};

// Records every request and answers each with `answer` (nothing at all when it is empty, and
// closes the connection instead when it is "close").
class TinyHttp {
public:
    TinyHttp() {
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                auto held = std::make_shared<QByteArray>();
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, held] {
                    *held += s->readAll();
                    const int end = held->indexOf("\r\n\r\n");
                    if (end < 0) return;
                    const QList<QByteArray> lines = held->left(end).split('\n');
                    Request r;
                    const QList<QByteArray> first = lines.front().trimmed().split(' ');
                    r.method = first.value(0);
                    const QByteArray target = first.value(1);
                    r.path = target.left(target.indexOf('?'));
                    r.query = target.mid(target.indexOf('?') + 1);
                    qsizetype length = 0;
                    for (const QByteArray& l : lines) {
                        const QByteArray name = l.left(l.indexOf(':')).trimmed().toLower();
                        const QByteArray value = l.mid(l.indexOf(':') + 1).trimmed();
                        if (name == "content-length") length = value.toLongLong();
                        if (name == "authorization") r.authorization = value;
                    }
                    if (held->size() < end + 4 + length) return;
                    r.body = held->mid(end + 4, length);
                    held->remove(0, end + 4 + length);
                    requests.push_back(r);
                    if (answer == "close")
                        s->disconnectFromHost();
                    else if (!answer.isEmpty())
                        s->write(answer);
                });
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    [[nodiscard]] QString url() const {
        return QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort());
    }

    QByteArray answer = "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n";
    std::vector<Request> requests;

private:
    QTcpServer server_;
};

QByteArray answer(int status, const QByteArray& reason, const QByteArray& body, const QByteArray& more = {}) {
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason +
           "\r\nContent-Type: application/json\r\n" + more +
           "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

struct Answers {
    explicit Answers(InfluxForwarder& f) {
        QObject::connect(&f, &InfluxForwarder::acknowledged, [this] { ++acks; });
        QObject::connect(&f, &InfluxForwarder::failed, [this](const QString& why) { failures << why; });
        QObject::connect(&f, &InfluxForwarder::note, [this](const QString& n) { notes << n; });
        QObject::connect(&f, &InfluxForwarder::ready, [this] { ++readies; });
    }
    [[nodiscard]] int answers() const { return acks + int(failures.size()); }
    int acks = 0, readies = 0;
    QStringList failures, notes;
};

Record point(qint64 seq, const QByteArray& line) {
    return {seq, 0, QStringLiteral("north/3"), true, "{}", line};
}

const std::vector<Record> kBatch{
    point(1, R"(soil,address=3,bus=north moisture=23.5,temperature=18.25,status="ok" 1714557600000000000)"),
    point(2, R"(soil,address=37,bus=north status="timeout" 1714557600100000000)"),
    point(3, R"(soil,address=3,bus=north moisture=23.75,temperature=18.5,status="ok" 1714557660000000000)")};

TEST(Influx, EachVersionGetsTheRequestItsEndpointWants) {
    struct Case {
        const char* what;
        InfluxSettings settings;
        QByteArray path, query, authorization;
    };
    TinyHttp http;
    const std::vector<Case> cases{
        {"v1", {http.url(), "fleet", {}, {}, {}, {}, {}, 10000}, "/write", "db=fleet&precision=ns", {}},
        {"v1 with a user",
         {http.url() + "/", "fleet", "kv", "p:w", {}, {}, {}, 10000},
         "/write",
         "db=fleet&precision=ns",
         "Basic " + QByteArray("kv:p:w").toBase64()},
        {"v2",
         {http.url(), {}, {}, {}, "farm org", "soil", "t0k3n==", 10000},
         "/api/v2/write",
         "org=farm%20org&bucket=soil&precision=ns",
         "Token t0k3n=="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        http.requests.clear();
        InfluxForwarder f(c.settings);
        ASSERT_EQ(f.check(), QString());
        Answers a(f);
        f.send(kBatch);
        EXPECT_FALSE(f.canSend());
        ASSERT_TRUE(waitFor([&] { return a.answers() == 1; }));
        EXPECT_EQ(a.acks, 1) << a.failures.join('\n').toStdString();
        EXPECT_EQ(a.readies, 1);
        ASSERT_EQ(http.requests.size(), 1u);
        const Request& r = http.requests.front();
        EXPECT_EQ(r.method, "POST");
        EXPECT_EQ(r.path, c.path);
        EXPECT_EQ(r.query, c.query);
        EXPECT_EQ(r.authorization, c.authorization);
        EXPECT_EQ(r.body, kBatch[0].influx + '\n' + kBatch[1].influx + '\n' + kBatch[2].influx);
    }
}

TEST(Influx, EachAnswerIsOneAcknowledgementOrOneFailureForOneRequest) {
    struct Case {
        const char* what;
        QByteArray answer;
        const char* failure; // empty: acknowledged
        const char* note = "";
    };
    const std::vector<Case> cases{
        {"written", answer(204, "No Content", {}), ""},
        {"a point malformed (v1)",
         answer(400, "Bad Request",
                R"({"error":"partial write: unable to parse 'soil x': missing fields dropped=1"})"),
         "", "InfluxDB dropped points it cannot take (400): partial write: unable to parse 'soil x'"},
        {"a point malformed (v2)",
         answer(400, "Bad Request",
                R"({"code":"invalid","message":"unable to parse 'soil x': missing fields"})"),
         "", "InfluxDB dropped points it cannot take (400): unable to parse 'soil x'"},
        {"another bad request", answer(400, "Bad Request", R"({"error":"bad precision"})"),
         "InfluxDB answered 400 Bad Request: bad precision"},
        {"a wrong password", answer(401, "Unauthorized", R"({"error":"authorization failed"})"),
         "InfluxDB refused the user and password (401): authorization failed"},
        {"no database", answer(404, "Not Found", R"({"error":"database not found: \"fleet\""})"),
         R"(InfluxDB has no database fleet (404): database not found: "fleet")"},
        {"a server error", answer(503, "Service Unavailable", "down for maintenance"),
         "InfluxDB answered 503 Service Unavailable: down for maintenance"},
        {"a redirect", answer(307, "Temporary Redirect", {}, "Location: http://elsewhere:8086/write\r\n"),
         "redirects to http://elsewhere:8086/write (307); give that URL instead"},
        {"no answer", {}, "did not answer within 0.3 s"},
        {"the connection closed", "close", "closed the connection without an answer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TinyHttp http;
        http.answer = c.answer;
        InfluxForwarder f({http.url(), "fleet", {}, {}, {}, {}, {}, 300});
        Answers a(f);
        f.send(kBatch);
        ASSERT_TRUE(waitFor([&] { return a.answers() == 1; }));
        if (*c.failure) {
            ASSERT_EQ(a.failures.size(), 1);
            EXPECT_TRUE(a.failures.front().contains(QLatin1String(c.failure)))
                << a.failures.front().toStdString();
        } else {
            EXPECT_EQ(a.acks, 1) << a.failures.join('\n').toStdString();
        }
        EXPECT_EQ(a.notes.size(), *c.note ? 1 : 0);
        if (*c.note) {
            EXPECT_TRUE(a.notes.value(0).contains(QLatin1String(c.note))) << a.notes.value(0).toStdString();
        }
        EXPECT_TRUE(f.canSend());
        EXPECT_EQ(a.readies, 1);
        // Whatever Qt does with a redirect or a closed connection, the body went out once.
        EXPECT_EQ(http.requests.size(), 1u);
    }
}

TEST(Influx, NoServerIsAFailure) {
    InfluxForwarder f(
        {QStringLiteral("http://127.0.0.1:%1").arg(freePort()), "fleet", {}, {}, {}, {}, {}, 5000});
    Answers a(f);
    f.send(kBatch);
    ASSERT_TRUE(waitFor([&] { return a.answers() == 1; }));
    ASSERT_EQ(a.failures.size(), 1);
    EXPECT_TRUE(a.failures.front().contains(QLatin1String("cannot reach InfluxDB at http://127.0.0.1:")) &&
                a.failures.front().contains(QLatin1String("refused")))
        << a.failures.front().toStdString();
}

TEST(Influx, SettingsThatCannotWorkAreTold) {
    const std::vector<std::pair<InfluxSettings, const char*>> cases{
        {{"127.0.0.1:8086", "fleet", {}, {}, {}, {}, {}, 1000}, "is not an http:// or https:// URL"},
        {{"ftp://host/", "fleet", {}, {}, {}, {}, {}, 1000}, "is not an http:// or https:// URL"},
        {{"http://host:8086", {}, {}, {}, {}, {}, {}, 1000}, "needs a database (version 1) or a bucket"},
        {{"http://host:8086", {}, {}, {}, "org", "soil", {}, 1000}, "bucket soil needs a token"},
        {{"http://host:8086", {}, {}, {}, {}, "soil", "t", 1000}, "bucket soil needs an org"},
    };
    for (const auto& [settings, says] : cases)
        EXPECT_TRUE(InfluxForwarder(settings).check().contains(QLatin1String(says))) << says;
}

class RealInflux : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        http_ = freePort();
        const int rpc = freePort();
        ASSERT_GT(http_, 0);
        ASSERT_GT(rpc, 0);
        const QByteArray data = QFile::encodeName(dir_.filePath(QStringLiteral("data")));
        config_ = dir_.filePath(QStringLiteral("influxdb.conf"));
        writeFile(config_, "reporting-disabled = true\nbind-address = \"127.0.0.1:" +
                               QByteArray::number(rpc) + "\"\n[meta]\n  dir = \"" + data +
                               "/meta\"\n[data]\n  dir = \"" + data + "/data\"\n  wal-dir = \"" + data +
                               "/wal\"\n  query-log-enabled = false\n[http]\n  bind-address = \"127.0.0.1:" +
                               QByteArray::number(http_) +
                               "\"\n  log-enabled = false\n[monitor]\n  store-enabled = false\n"
                               "[continuous_queries]\n  enabled = false\n");
        startServer();
        ASSERT_EQ(query("CREATE DATABASE fleet").first, 200);
    }

    void startServer() {
        server_ = std::make_unique<Server>();
        server_->start(QStringLiteral("influxd"),
                       {QStringLiteral("run"), QStringLiteral("-config"), config_});
        ASSERT_TRUE(waitFor([&] { return query({}, "/ping").first == 204; }))
            << server_->output().toStdString();
    }

    // A query's status and answer; the empty query asks `path` alone.
    std::pair<int, QByteArray> query(const QByteArray& q, const QString& path = QStringLiteral("/query")) {
        QUrl url(base() + path);
        QUrlQuery items;
        items.addQueryItem(QStringLiteral("db"), QStringLiteral("fleet"));
        items.addQueryItem(QStringLiteral("q"), QString::fromUtf8(q));
        if (!q.isEmpty()) url.setQuery(items);
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        std::unique_ptr<QNetworkReply> reply(q.isEmpty() ? network_.get(request)
                                                         : network_.post(request, QByteArray()));
        if (!waitFor([&] { return reply->isFinished(); })) return {0, {}};
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
    }

    // time, address, moisture, status of every point stored.
    QJsonArray stored() {
        const auto [status, body] = query("SELECT address, moisture, status FROM soil");
        EXPECT_EQ(status, 200) << body.toStdString();
        return QJsonDocument::fromJson(body)[u"results"][0][u"series"][0][u"values"].toArray();
    }

    [[nodiscard]] QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(http_); }

    QTemporaryDir dir_;
    QString config_;
    int http_ = -1;
    std::unique_ptr<Server> server_;
    QNetworkAccessManager network_;
};

TEST_F(RealInflux, BatchesLandOnceAcrossAnOutageAndAMalformedPoint) {
    InfluxForwarder f({base(), "fleet", {}, {}, {}, {}, {}, 5000});
    Answers a(f);
    const auto sendAndWait = [&](const std::vector<Record>& batch) {
        const int before = a.answers();
        f.send(batch);
        return waitFor([&] { return a.answers() == before + 1; });
    };
    ASSERT_TRUE(sendAndWait(kBatch));
    ASSERT_TRUE(sendAndWait(kBatch)) << "the same batch again";
    EXPECT_EQ(a.acks, 2) << a.failures.join('\n').toStdString();
    const QJsonArray want{QJsonArray{"2024-05-01T10:00:00Z", "3", 23.5, "ok"},
                          QJsonArray{"2024-05-01T10:00:00.1Z", "37", QJsonValue::Null, "timeout"},
                          QJsonArray{"2024-05-01T10:01:00Z", "3", 23.75, "ok"}};
    EXPECT_EQ(stored(), want) << "one point a time and tags";

    const std::vector<Record> later{
        point(4, R"(soil,address=3,bus=north moisture=24,temperature=18.5,status="ok" 1714557720000000000)")};
    server_->kill();
    ASSERT_TRUE(sendAndWait(later));
    ASSERT_EQ(a.failures.size(), 1);
    // Refused, or closed under the request on the connection kept from before.
    EXPECT_TRUE(a.failures.front().contains(base())) << a.failures.front().toStdString();
    startServer();
    ASSERT_TRUE(sendAndWait(later)) << "sent again once it is back";
    EXPECT_EQ(a.acks, 3) << a.failures.join('\n').toStdString();
    QJsonArray after = want;
    after.append(QJsonArray{"2024-05-01T10:02:00Z", "3", 24, "ok"});
    EXPECT_EQ(stored(), after);

    // A malformed point is dropped and said so; the good ones of its batch are stored.
    ASSERT_TRUE(sendAndWait(
        {point(5, "soil,address=3,bus=north moisture=oops= 1714557780000000000"),
         point(6,
               R"(soil,address=3,bus=north moisture=25,temperature=18.5,status="ok" 1714557840000000000)")}));
    EXPECT_EQ(a.acks, 4) << a.failures.join('\n').toStdString();
    ASSERT_EQ(a.notes.size(), 1);
    EXPECT_TRUE(a.notes.front().contains(QLatin1String("moisture=oops="))) << a.notes.front().toStdString();
    after.append(QJsonArray{"2024-05-01T10:04:00Z", "3", 25, "ok"});
    EXPECT_EQ(stored(), after);
}

} // namespace
