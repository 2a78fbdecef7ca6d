// The metrics endpoint scraped over HTTP as Prometheus would: what the spool holds and what was
// counted, in the text format; addresses it cannot serve on refused with the reason.

#include "collect/metrics.h"
#include "collect/spool.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

using namespace kv::collect;

namespace {

struct Answer {
    int status = 0;
    QString type;
    QString body;
};

// One request to the server on loopback, waited for with a deadline.
Answer fetch(quint16 port, const QString& path, const QByteArray& method = "GET") {
    QNetworkAccessManager nam;
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)));
    std::unique_ptr<QNetworkReply> reply(nam.sendCustomRequest(request, method));
    QElapsedTimer t;
    t.start();
    while (!reply->isFinished() && t.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_TRUE(reply->isFinished()) << "no answer from the metrics endpoint";
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
            reply->header(QNetworkRequest::ContentTypeHeader).toString(),
            QString::fromUtf8(reply->readAll())};
}

class MetricsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        QString why;
        spool_ = Spool::open(dir_.filePath("spool.db"), {3, 0}, {"influx", "mqtt"}, &why);
        ASSERT_TRUE(spool_) << why.toStdString();
    }
    void append(const QString& sensor, qint64 unixMs, bool ok) {
        Record r;
        r.unixMs = unixMs;
        r.sensor = sensor;
        r.ok = ok;
        r.json = "{}";
        r.influx = "soil m=1";
        std::vector<Record> rs{r};
        QString why;
        ASSERT_TRUE(spool_->append(rs, &why)) << why.toStdString();
    }
    QTemporaryDir dir_;
    std::unique_ptr<Spool> spool_;
};

TEST_F(MetricsTest, ScrapeShowsTheSpoolAndTheCounts) {
    append("north/1", 1700000000000, true);
    append("north/2", 1700000001500, false);
    append("we\"st\\\n/7", 1700000002250, true); // a bus name the labels must escape
    append("north/1", 1700000003000, true);
    QString why;
    ASSERT_TRUE(spool_->acknowledge("mqtt", {1, 2, 3}, &why)) << why.toStdString();
    spool_->noteError("influx", "refused", 1700000004125);
    ASSERT_EQ(spool_->trim(0, &why), 1) << why.toStdString(); // over 3 readings: the oldest goes
    for (const char* alarm : {"dry", "stale", "stuck"})
        ASSERT_TRUE(spool_->raiseAlarm({"north/2", alarm, 1700000001500, 12.5, "raised"}, &why))
            << why.toStdString();
    ASSERT_TRUE(spool_->clearAlarm("north/2", "stale", &why)) << why.toStdString();

    MetricsServer metrics(*spool_);
    ASSERT_TRUE(metrics.listen("127.0.0.1:0", &why)) << why.toStdString();
    ASSERT_GT(metrics.port(), 0);
    metrics.counted("north/1", true);
    metrics.counted("north/1", true);
    metrics.counted("north/1", false);
    metrics.counted("south/9", false); // counted, but nothing of it in the spool yet

    const Answer a = fetch(metrics.port(), "/metrics");
    ASSERT_EQ(a.status, 200) << a.body.toStdString();
    EXPECT_TRUE(a.type.startsWith("text/plain; version=0.0.4")) << a.type.toStdString();
    const QStringList lines = a.body.split('\n', Qt::SkipEmptyParts);
    for (const char* want : {
             R"(kv7702r_readings_total{sensor="north/1",status="ok"} 2)",
             R"(kv7702r_readings_total{sensor="north/1",status="failed"} 1)",
             R"(kv7702r_readings_total{sensor="north/2",status="ok"} 0)",
             R"(kv7702r_readings_total{sensor="north/2",status="failed"} 0)",
             R"(kv7702r_readings_total{sensor="south/9",status="failed"} 1)",
             R"(kv7702r_readings_total{sensor="we\"st\\\n/7",status="ok"} 0)",
             R"(kv7702r_last_reading_timestamp_seconds{sensor="north/1"} 1700000003.000)",
             R"(kv7702r_last_reading_timestamp_seconds{sensor="north/2"} 1700000001.500)",
             R"(kv7702r_last_reading_timestamp_seconds{sensor="we\"st\\\n/7"} 1700000002.250)",
             R"(kv7702r_forwarder_backlog{forwarder="influx"} 3)",
             R"(kv7702r_forwarder_backlog{forwarder="mqtt"} 1)",
             R"(kv7702r_forwarder_last_error_timestamp_seconds{forwarder="influx"} 1700000004.125)",
             R"(kv7702r_forwarder_last_error_timestamp_seconds{forwarder="mqtt"} 0.000)",
             R"(kv7702r_alarm{sensor="north/2",alarm="dry"} 1)",
             R"(kv7702r_alarm{sensor="north/2",alarm="stuck"} 1)",
             "kv7702r_spool_dropped_total 1",
             "kv7702r_spool_last_seq 4",
         })
        EXPECT_TRUE(lines.contains(QString::fromUtf8(want))) << want << "\nin:\n" << a.body.toStdString();
    EXPECT_FALSE(a.body.contains(R"(last_reading_timestamp_seconds{sensor="south/9"})"));
    EXPECT_FALSE(a.body.contains(R"(alarm="stale")")) << "cleared";

    // The format as a scraper parses it: each sample after its family's TYPE, one value a line.
    static const QRegularExpression sample(R"(^([a-z_0-9]+)(\{[^\n]*\})? [0-9.]+$)");
    QStringList typed;
    for (const QString& line : lines) {
        if (line.startsWith("# TYPE ")) typed << line.section(' ', 2, 2);
        if (line.startsWith('#')) continue;
        const auto m = sample.match(line);
        ASSERT_TRUE(m.hasMatch()) << line.toStdString();
        EXPECT_EQ(typed.isEmpty() ? QString() : typed.back(), m.captured(1)) << line.toStdString();
    }
    EXPECT_EQ(typed.size(), 7);

    // A later scrape reads the spool afresh.
    append("north/2", 1700000009000, true);
    EXPECT_TRUE(fetch(metrics.port(), "/metrics").body.contains("kv7702r_spool_last_seq 5\n"));
}

TEST_F(MetricsTest, OnlyGetMetricsIsServed) {
    MetricsServer metrics(*spool_);
    QString why;
    ASSERT_TRUE(metrics.listen("localhost:0", &why)) << why.toStdString();
    struct Case {
        const char* method;
        const char* path;
        int status;
    };
    for (const Case& c : {Case{"GET", "/metrics", 200}, Case{"GET", "/", 404}, Case{"GET", "/metrics/x", 404},
                          Case{"POST", "/metrics", 404}, Case{"DELETE", "/metrics", 404}})
        EXPECT_EQ(fetch(metrics.port(), c.path, c.method).status, c.status) << c.method << ' ' << c.path;
}

TEST_F(MetricsTest, AnAddressItCannotServeOnIsRefusedWithTheReason) {
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost));
    const QString busy = QStringLiteral("127.0.0.1:%1").arg(taken.serverPort());
    struct Case {
        QString listen;
        const char* says;
    };
    for (const Case& c : {Case{"9107", "not HOST:PORT"}, Case{":9107", "not HOST:PORT"},
                          Case{"127.0.0.1:65536", "not HOST:PORT"}, Case{"127.0.0.1:x", "not HOST:PORT"},
                          Case{"::1:9107", "in brackets"}, Case{"[127.0.0.1]:9107", "in brackets"},
                          Case{"no-such-host.invalid:9107", "cannot listen on no-such-host.invalid"},
                          Case{busy, "cannot listen on"}, Case{"192.0.2.1:9107", "cannot listen on"}}) {
        MetricsServer metrics(*spool_);
        QString why;
        EXPECT_FALSE(metrics.listen(c.listen, &why)) << c.listen.toStdString();
        EXPECT_TRUE(why.contains(c.says)) << c.listen.toStdString() << ": " << why.toStdString();
        EXPECT_EQ(metrics.port(), 0);
    }
}

} // namespace
