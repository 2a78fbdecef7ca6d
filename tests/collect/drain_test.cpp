// The drain on a virtual clock: live readings pass at once while a backlog goes at its pace, a
// failure backs off and sends the same readings again, and nothing is lost or taken twice.

#include "collect/drain.h"
#include "collect/spool.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>

using namespace kv::collect;

namespace {

// Holds each batch until the test answers it; counts what the destination took.
class FakeForwarder : public Forwarder {
public:
    explicit FakeForwarder(QString name) : name_(std::move(name)) {}
    QString name() const override { return name_; }
    bool canSend() const override { return connected && !out; }
    void send(std::vector<Record> batch) override {
        EXPECT_FALSE(out) << "a batch sent while one is outstanding";
        out = true;
        batches.push_back(std::move(batch));
    }
    void ack() {
        ASSERT_TRUE(out);
        out = false;
        for (const Record& r : batches.back())
            ++taken[r.seq];
        emit acknowledged();
    }
    void fail(const QString& why) {
        ASSERT_TRUE(out);
        out = false;
        emit failed(why);
    }
    std::vector<qint64> last() const {
        std::vector<qint64> s;
        for (const Record& r : batches.back())
            s.push_back(r.seq);
        return s;
    }

    bool connected = true;
    bool out = false;
    std::vector<std::vector<Record>> batches;
    std::map<qint64, int> taken;

private:
    QString name_;
};

std::vector<qint64> range(qint64 from, qint64 to) {
    std::vector<qint64> v;
    for (qint64 s = from; s <= to; ++s)
        v.push_back(s);
    return v;
}

class DrainTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        QString error;
        spool_ = Spool::open(dir_.filePath("s.db"), {1000000, 0}, {"mqtt"}, &error);
        ASSERT_TRUE(spool_) << error.toStdString();
    }
    std::vector<Record> append(int n) {
        std::vector<Record> rs(static_cast<size_t>(n));
        for (Record& r : rs)
            r.sensor = "n/1";
        QString error;
        EXPECT_TRUE(spool_->append(rs, &error));
        return rs;
    }
    QTemporaryDir dir_;
    std::unique_ptr<Spool> spool_;
    FakeForwarder fwd_{"mqtt"};
    qint64 now_ = 0;
};

TEST(Pace, BacksOffDoublingToAMinuteAndPacesTheBacklog) {
    Pace p(20, 500);
    const std::vector<qint64> waits{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
    qint64 now = 0;
    for (qint64 w : waits) {
        p.failed(now);
        EXPECT_TRUE(p.failing());
        EXPECT_EQ(p.retryAt(), now + w);
        EXPECT_TRUE(p.backingOff(now + w - 1));
        EXPECT_FALSE(p.backingOff(now + w));
        now += w;
    }
    p.succeeded();
    EXPECT_FALSE(p.failing());
    p.failed(now);
    EXPECT_EQ(p.retryAt(), now + 1000);

    struct Case {
        int perSecond, batchMax, sent;
        int room;      // before sending
        qint64 nextAt; // after sending `sent` at 0
    };
    const std::vector<Case> cases{{20, 500, 20, 20, 1000},
                                  {20, 5, 5, 5, 250},
                                  {1000, 500, 500, 500, 500},
                                  {3, 10, 1, 3, 334},
                                  {20, 500, 7, 20, 350}};
    for (const Case& c : cases) {
        Pace q(c.perSecond, c.batchMax);
        EXPECT_EQ(q.backlogRoom(0), c.room);
        q.sentBacklog(c.sent, 0);
        EXPECT_EQ(q.backlogAt(), c.nextAt);
        EXPECT_EQ(q.backlogRoom(c.nextAt - 1), 0);
        EXPECT_EQ(q.backlogRoom(c.nextAt), c.room);
    }
}

TEST_F(DrainTest, LiveReadingsPassAtOnceWhileTheBacklogDrainsAtItsPace) {
    append(100); // found at start: backlog
    Drain drain(*spool_, {&fwd_}, 20, 50, [this] { return now_; });
    std::map<qint64, int> backlogPerSecond;
    std::vector<qint64> liveSent;
    for (now_ = 0; now_ <= 10000; now_ += 10) {
        if (now_ % 700 == 0) {
            const auto live = append(2);
            drain.appended(live);
            drain.pump(now_);
            // The live pair goes at once, or right after the batch outstanding.
            if (fwd_.out && fwd_.last() != std::vector<qint64>{live[0].seq, live[1].seq}) {
                fwd_.ack();
                drain.pump(now_);
            }
            ASSERT_TRUE(fwd_.out);
            EXPECT_EQ(fwd_.last(), (std::vector<qint64>{live[0].seq, live[1].seq})) << now_;
            liveSent.push_back(live[0].seq);
            fwd_.ack();
        }
        drain.pump(now_);
        if (fwd_.out) {
            for (const Record& r : fwd_.batches.back())
                if (r.seq <= 100) ++backlogPerSecond[now_ / 1000];
            fwd_.ack();
        }
    }
    for (const auto& [second, n] : backlogPerSecond)
        EXPECT_LE(n, 20) << "in second " << second;
    // 100 at 20 a second: the fifth batch goes at 4 s.
    EXPECT_EQ(backlogPerSecond.size(), 5u);
    EXPECT_EQ(fwd_.taken.size(), size_t(100 + 2 * liveSent.size()));
    for (const auto& [seq, n] : fwd_.taken)
        EXPECT_EQ(n, 1) << seq;
    EXPECT_EQ(spool_->backlog("mqtt"), 0);
}

TEST_F(DrainTest, FailureBacksOffResendsTheSameReadingsAndLosesNothing) {
    Drain drain(*spool_, {&fwd_}, 20, 50, [this] { return now_; });
    std::vector<QString> errors;
    QObject::connect(&drain, &Drain::error,
                     [&](const QString&, const QString& why) { errors.push_back(why); });
    drain.appended(append(3));
    drain.pump(now_);
    ASSERT_TRUE(fwd_.out);
    EXPECT_EQ(fwd_.last(), range(1, 3));

    // Each failure waits longer; the same readings go again, nothing in between.
    for (qint64 wait : {1000, 2000, 4000}) {
        fwd_.fail("broker gone");
        const qint64 failedAt = now_;
        for (; now_ < failedAt + wait; now_ += 100) {
            EXPECT_EQ(drain.pump(now_), failedAt + wait);
            EXPECT_FALSE(fwd_.out) << now_;
        }
        // Readings taken meanwhile wait behind the failed ones.
        drain.appended(append(30));
        drain.pump(now_);
        ASSERT_TRUE(fwd_.out);
        EXPECT_EQ(fwd_.last().front(), 1);
    }
    EXPECT_EQ(errors, (std::vector<QString>(3, "broker gone")));
    EXPECT_EQ(spool_->status().forwarders.at(0).lastError, "broker gone");

    // Back: the 93 owed go oldest first at the backlog's pace, 20 at a time.
    std::vector<qint64> order;
    for (const qint64 start = now_; spool_->backlog("mqtt") > 0 && now_ < start + 10000; now_ += 50) {
        drain.pump(now_);
        if (!fwd_.out) continue;
        EXPECT_LE(fwd_.batches.back().size(), 20u);
        for (qint64 s : fwd_.last())
            order.push_back(s);
        fwd_.ack();
    }
    EXPECT_EQ(order, range(1, 93));
    for (const auto& [seq, n] : fwd_.taken)
        EXPECT_EQ(n, 1) << seq;
    EXPECT_TRUE(drain.idle());
}

TEST_F(DrainTest, OnTheEventLoopAReadingReachesTheForwarder) {
    Drain drain(*spool_, {&fwd_}, 20, 50);
    int sent = 0;
    QObject::connect(&drain, &Drain::sent, [&](const QString&, int n) { sent += n; });
    drain.appended(append(2));
    const qint64 deadline = Drain::steadyMs() + 5000;
    while (!fwd_.out && Drain::steadyMs() < deadline)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    ASSERT_TRUE(fwd_.out);
    fwd_.ack();
    EXPECT_EQ(sent, 2);
    EXPECT_EQ(spool_->backlog("mqtt"), 0);
}

} // namespace
