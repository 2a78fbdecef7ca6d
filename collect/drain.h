#pragma once
// The pump between the spool and the forwarders. Each forwarder has one batch out at a time: the
// readings that come while it keeps up go at once (the live lane); what piled up while it was away
// or was found at start (the backlog) goes oldest first at a bounded pace, so that a small broker
// is not flooded after an outage. A failed batch stays owed and goes again after a backoff.

#include "collect/forwarder.h"
#include "collect/record.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <vector>

namespace kv::collect {

class Spool;

// One forwarder's timing, without I/O or a clock of its own: its backoff after failures and the
// pace of its backlog, asked with the time in milliseconds of any steady clock.
class Pace {
public:
    static constexpr qint64 FIRST_BACKOFF_MS = 1000;
    static constexpr qint64 MAX_BACKOFF_MS = 60000;

    Pace(int perSecond, int batchMax);
    // A batch failed at `now`: nothing goes before retryAt(); each failure in a row waits twice
    // as long as the one before, up to a minute.
    void failed(qint64 now);
    // A batch was taken: the next failure waits the first backoff again.
    void succeeded();
    [[nodiscard]] bool backingOff(qint64 now) const { return now < retryAt_; }
    // Its last batch failed, and none has been taken since.
    [[nodiscard]] bool failing() const { return failing_; }
    [[nodiscard]] qint64 retryAt() const { return retryAt_; }
    // How many backlog readings may go at `now`: 0 until the pace allows the next batch.
    [[nodiscard]] int backlogRoom(qint64 now) const;
    // `n` backlog readings went at `now`: the next batch waits n / perSecond seconds.
    void sentBacklog(int n, qint64 now);
    [[nodiscard]] qint64 backlogAt() const { return backlogAt_; }
    [[nodiscard]] int batchMax() const { return batchMax_; }

private:
    int perSecond_;
    int batchMax_;
    qint64 backoff_ = FIRST_BACKOFF_MS;
    qint64 retryAt_ = 0;
    qint64 backlogAt_ = 0;
    bool failing_ = false;
};

class Drain : public QObject {
    Q_OBJECT
public:
    // Milliseconds of a steady clock; tests pass a virtual one.
    using Clock = std::function<qint64()>;

    // Every reading in the spool at start is backlog. The forwarders must outlive the drain.
    Drain(Spool& spool, const std::vector<Forwarder*>& forwarders, int drainPerSecond, int batchMax,
          Clock clock = steadyMs, QObject* parent = nullptr);

    // The collector committed these records (in seq order): a forwarder that keeps up gets them
    // at once, one that is away later as backlog.
    void appended(const std::vector<Record>& records);
    // Sends no new batch; an answer to one outstanding is still recorded in the spool.
    void stop();
    // No batch is outstanding at any forwarder.
    [[nodiscard]] bool idle() const;

    // Sends what may go at `now`; when it should be called again at the latest (-1: only when
    // something happens). The timer calls it; tests on a virtual clock call it themselves.
    qint64 pump(qint64 now);

    [[nodiscard]] static qint64 steadyMs();

signals:
    void sent(const QString& forwarder, int n);
    void error(const QString& forwarder, const QString& why);

private:
    struct Lane {
        Forwarder* forwarder;
        Pace pace;
        std::vector<qint64> outstanding; // the batch sent, until its answer
        qint64 liveFrom = 0;             // readings above this seq are live, the rest backlog
        bool backlogLeft = true;         // as far as the last look at the spool knows
    };
    void answered(Lane& lane, const QString* failure);
    void send(Lane& lane, std::vector<Record> batch);
    // Calls pump() from the event loop soon.
    void wake();

    Spool& spool_;
    std::vector<Lane> lanes_;
    Clock clock_;
    QTimer timer_;
    qint64 lastSeq_ = 0;
    bool stopped_ = false;
};

} // namespace kv::collect
