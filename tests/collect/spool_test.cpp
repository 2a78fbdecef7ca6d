// The spool: seqs that never repeat, readings owed until every forwarder has them and kept after,
// limits, and what a writer killed mid-stream leaves behind.

#include "collect/spool.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <limits>
#include <map>
#include <poll.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

using namespace kv::collect;

namespace {

constexpr Spool::Limits NO_LIMITS{1000000, 0};

std::vector<Record> records(int n, qint64 unixMs = 1000, const QString& tag = "r") {
    std::vector<Record> out;
    for (int i = 0; i < n; ++i) {
        Record r;
        r.unixMs = unixMs + i;
        r.sensor = QStringLiteral("north/%1").arg(i % 3 + 1);
        r.ok = i % 2 == 0;
        r.json = QStringLiteral("{\"tag\":\"%1-%2\"}").arg(tag).arg(i).toUtf8();
        r.influx = QStringLiteral("soil,tag=%1-%2 m=1").arg(tag).arg(i).toUtf8();
        out.push_back(r);
    }
    return out;
}

std::vector<qint64> seqs(const std::vector<Record>& rs) {
    std::vector<qint64> out;
    for (const Record& r : rs)
        out.push_back(r.seq);
    return out;
}

class SpoolTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
    std::unique_ptr<Spool> open(const QStringList& forwarders, Spool::Limits limits = NO_LIMITS) {
        QString error;
        auto s = Spool::open(path(), limits, forwarders, &error);
        EXPECT_TRUE(s) << error.toStdString();
        return s;
    }
    std::vector<qint64> append(Spool& s, std::vector<Record> rs) {
        QString error;
        EXPECT_TRUE(s.append(rs, &error)) << error.toStdString();
        return seqs(rs);
    }
    QString path() const { return dir_.filePath("spool.db"); }
    QTemporaryDir dir_;
};

TEST_F(SpoolTest, SeqRisesAcrossReopenAndIsNeverReusedAfterDeletes) {
    auto s = open({"mqtt"});
    ASSERT_TRUE(s);
    EXPECT_EQ(append(*s, records(3)), (std::vector<qint64>{1, 2, 3}));
    QString error;
    ASSERT_TRUE(s->acknowledge("mqtt", {1, 2, 3}, &error));
    EXPECT_EQ(s->backlog("mqtt"), 0);
    s.reset();
    s = open({"mqtt"});
    EXPECT_EQ(append(*s, records(2)), (std::vector<qint64>{4, 5}));
    EXPECT_EQ(s->status().lastSeq, 5);
    EXPECT_TRUE(s->setMeta("announced", "north/1"));
    s.reset();
    s = open({"mqtt"});
    EXPECT_EQ(s->meta("announced"), "north/1");
    EXPECT_EQ(seqs(s->pending("mqtt", 10)), (std::vector<qint64>{4, 5}));
}

// Every kept reading's seq, oldest first.
std::vector<qint64> kept(const Spool& s) {
    std::vector<qint64> out;
    QString error;
    EXPECT_TRUE(s.readings(
        0, std::numeric_limits<qint64>::max(),
        [&](const Record& r) {
            out.push_back(r.seq);
            return true;
        },
        &error))
        << error.toStdString();
    return out;
}

TEST_F(SpoolTest, ReadingIsOwedUntilEveryForwarderHasItThenKept) {
    auto s = open({"mqtt", "influx"});
    ASSERT_TRUE(s);
    const std::vector<Record> in = records(4);
    append(*s, in);
    QString error;
    ASSERT_TRUE(s->acknowledge("mqtt", {1, 2}, &error));
    ASSERT_TRUE(s->acknowledge("influx", {1, 3}, &error));
    const auto got = s->pending("influx", 10);
    EXPECT_EQ(seqs(got), (std::vector<qint64>{2, 4}));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].json, in[3].json);
    EXPECT_EQ(got[1].influx, in[3].influx);
    EXPECT_EQ(got[1].sensor, in[3].sensor);
    EXPECT_EQ(got[1].unixMs, in[3].unixMs);
    EXPECT_EQ(seqs(s->pending("mqtt", 10)), (std::vector<qint64>{3, 4}));
    EXPECT_EQ(seqs(s->pending("mqtt", 1, 3)), (std::vector<qint64>{4}));
    EXPECT_EQ(s->backlog("mqtt"), 2);
    EXPECT_FALSE(s->acknowledge("ftp", {4}, &error));

    // influx leaves the configuration: it holds nothing back; a new forwarder owes only what comes.
    s.reset();
    s = open({"mqtt", "http"});
    ASSERT_TRUE(s);
    EXPECT_EQ(seqs(s->pending("mqtt", 10)), (std::vector<qint64>{3, 4}));
    EXPECT_TRUE(s->pending("http", 10).empty());
    append(*s, records(1));
    EXPECT_EQ(seqs(s->pending("http", 10)), (std::vector<qint64>{5}));
    ASSERT_TRUE(s->acknowledge("mqtt", {3, 4, 5}, &error));
    ASSERT_TRUE(s->acknowledge("http", {5}, &error));
    s->noteError("http", "connection refused", 77);
    const Spool::Status st = s->status();
    ASSERT_EQ(st.forwarders.size(), 2u);
    EXPECT_EQ(st.forwarders[0].name, "http");
    EXPECT_EQ(st.forwarders[0].lastError, "connection refused");
    EXPECT_EQ(st.forwarders[0].lastErrorMs, 77);
    EXPECT_GT(st.forwarders[0].lastSentMs, 0);
    EXPECT_EQ(st.forwarders[1].backlog, 0);
    // Nothing is owed; every reading stays for exports, and the sensors' last ones for --status.
    EXPECT_TRUE(s->pending("mqtt", 10).empty());
    // In the order taken: 5 was taken at 1000 ms, beside 1.
    EXPECT_EQ(kept(*s), (std::vector<qint64>{1, 5, 2, 3, 4}));
    ASSERT_EQ(st.sensors.size(), 3u);
    EXPECT_EQ(st.sensors[0].sensor, "north/1");
    // The reading appended last for north/1 (r-0 at 1000 ms) was taken before r-3: the newest stays.
    EXPECT_EQ(st.sensors[0].json, "{\"tag\":\"r-3\"}");

    QString roError;
    auto ro = Spool::openReadOnly(path(), &roError);
    ASSERT_TRUE(ro) << roError.toStdString();
    EXPECT_EQ(ro->status().lastSeq, 5);
    EXPECT_EQ(ro->status().forwarders.size(), 2u);
}

TEST_F(SpoolTest, LimitsDropTheOldestAndCountThemAcrossReopen) {
    struct Case {
        Spool::Limits limits;
        std::vector<qint64> kept;
        qint64 dropped;
        qint64 droppedAgain; // after a reopen, the same 8 readings once more
    };
    // Readings 1..8 taken at 1000..1007 ms, trimmed at 1010 ms.
    const std::vector<Case> cases{
        {{5, 0}, {4, 5, 6, 7, 8}, 3, 8},
        {{100, 6}, {5, 6, 7, 8}, 4, 4}, // older than 1004 ms
        {{3, 9}, {6, 7, 8}, 5, 8},
        {{100, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dropped);
        for (const QString& f : {path(), path() + "-wal", path() + "-shm"})
            QFile::remove(f);
        auto s = open({"mqtt"}, c.limits);
        append(*s, records(8, 1000));
        QString error;
        EXPECT_EQ(s->trim(1010, &error), c.dropped) << error.toStdString();
        EXPECT_EQ(s->trim(1010, &error), 0);
        EXPECT_EQ(seqs(s->pending("mqtt", 100)), c.kept);
        s.reset();
        s = open({"mqtt"}, c.limits);
        EXPECT_EQ(s->status().dropped, c.dropped);
        append(*s, records(8, 1000));
        EXPECT_EQ(s->trim(1010, &error), c.droppedAgain);
        EXPECT_EQ(s->status().dropped, c.dropped + c.droppedAgain);
    }
}

// Sent readings stay until the limits, oldest first; only those still owed count as dropped.
TEST_F(SpoolTest, SentReadingsStayUntilTheLimitsAndExpireUncounted) {
    struct Case {
        Spool::Limits limits;
        std::vector<qint64> kept;
        qint64 dropped, expired;
    };
    // Readings 1..8 taken at 1000..1007 ms, 1..4 sent, trimmed at 1010 ms.
    const std::vector<Case> cases{
        {{5, 0}, {4, 5, 6, 7, 8}, 0, 3},
        {{100, 6}, {5, 6, 7, 8}, 0, 4}, // older than 1004 ms
        {{3, 9}, {6, 7, 8}, 1, 4},
        {{2, 4}, {7, 8}, 2, 4}, // the age first, then the count
        {{100, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.limits.maxReadings << " readings, " << c.limits.maxAgeMs << " ms");
        for (const QString& f : {path(), path() + "-wal", path() + "-shm"})
            QFile::remove(f);
        auto s = open({"mqtt"}, c.limits);
        append(*s, records(8, 1000));
        QString error;
        ASSERT_TRUE(s->acknowledge("mqtt", {1, 2, 3, 4}, &error)) << error.toStdString();
        EXPECT_EQ(s->trim(1010, &error), c.dropped) << error.toStdString();
        EXPECT_EQ(kept(*s), c.kept);
        // A reopen forgets where the forwarder was: still nothing it has is sent again.
        s.reset();
        s = open({"mqtt"}, c.limits);
        std::vector<qint64> owed;
        for (qint64 seq : c.kept)
            if (seq > 4) owed.push_back(seq);
        EXPECT_EQ(seqs(s->pending("mqtt", 100)), owed);
        EXPECT_EQ(s->backlog("mqtt"), qint64(owed.size()));
        EXPECT_EQ(s->status().dropped, c.dropped);
        EXPECT_EQ(s->status().expired, c.expired);
    }

    // With no forwarder at all the readings are still kept, for exports.
    for (const QString& f : {path(), path() + "-wal", path() + "-shm"})
        QFile::remove(f);
    auto s = open({});
    append(*s, records(3));
    EXPECT_EQ(kept(*s), (std::vector<qint64>{1, 2, 3}));
}

// A writer killed with SIGKILL at any moment: every batch it was told is committed is there,
// whole, once; a batch is all there or not at all.
TEST_F(SpoolTest, KilledWriterLosesNoCommittedBatch) {
    constexpr int BATCH = 8;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        QString error;
        auto s = Spool::open(path(), NO_LIMITS, {"mqtt"}, &error);
        for (int b = 0; s; ++b) {
            std::vector<Record> rs = records(BATCH, 1000 + b * BATCH, QString::number(b));
            if (!s->append(rs, &error) || write(fds[1], &b, sizeof b) != sizeof b) _exit(3);
        }
        _exit(2);
    }
    close(fds[1]);
    // Kill it somewhere after its 30th commit, mid-stream.
    int committed = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (committed < 30 && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) continue;
        int b = 0;
        if (read(fds[0], &b, sizeof b) != sizeof b) break;
        committed = b;
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    // Reports already in the pipe were committed too.
    for (int b = 0; read(fds[0], &b, sizeof b) == sizeof b;)
        committed = b;
    close(fds[0]);
    ASSERT_GE(committed, 30);
    ASSERT_TRUE(WIFSIGNALED(status));

    auto s = open({"mqtt"});
    ASSERT_TRUE(s);
    std::map<QByteArray, int> count;
    std::set<qint64> seen;
    const std::vector<Record> all = s->pending("mqtt", 1000000);
    for (const Record& r : all) {
        EXPECT_TRUE(seen.insert(r.seq).second) << r.seq;
        ++count[r.json];
    }
    ASSERT_GE(all.size(), size_t(committed + 1) * BATCH);
    EXPECT_EQ(all.size() % BATCH, 0u);
    for (int b = 0; b * BATCH < int(all.size()); ++b) {
        const std::vector<Record> want = records(BATCH, 1000 + b * BATCH, QString::number(b));
        for (int i = 0; i < BATCH; ++i) {
            const Record& got = all[size_t(b * BATCH + i)];
            EXPECT_EQ(got.json, want[size_t(i)].json);
            EXPECT_EQ(got.influx, want[size_t(i)].influx);
            EXPECT_EQ(got.unixMs, want[size_t(i)].unixMs);
            EXPECT_EQ(count[got.json], 1);
        }
    }
}

} // namespace
