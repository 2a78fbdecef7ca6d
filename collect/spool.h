#pragma once
// The collector's durable spool: every reading committed to SQLite (WAL, synchronous=FULL) before
// anything is forwarded, and owed until each forwarder has it acknowledged. A reading owes one bit
// per forwarder; once none is left it stays, for exports, until the limits trim it.

#include "collect/record.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct sqlite3;

namespace kv::collect {

class Spool {
public:
    struct Limits {
        qint64 maxReadings;
        qint64 maxAgeMs;
    };

    // Opens or creates the database (its folder must exist) for these forwarders: one new to it
    // owes only the readings appended from now on, one no longer named holds none back. Null
    // with the reason in `error` when it cannot.
    static std::unique_ptr<Spool> open(const QString& path, Limits limits, const QStringList& forwarders,
                                       QString* error);
    // Read-only, beside a running collector (WAL lets it read while the service writes).
    static std::unique_ptr<Spool> openReadOnly(const QString& path, QString* error);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // Commits the records in one transaction, each given its seq (rising across restarts, never
    // reused after deletes); false with why (disk full...), and then none of them is kept.
    bool append(std::vector<Record>& records, QString* error);
    // What the forwarder still owes, oldest first: at most `max`, only seqs above `after`.
    [[nodiscard]] std::vector<Record> pending(const QString& forwarder, int max, qint64 after = 0) const;
    // The forwarder has these seqs; a record every forwarder has is owed no more (and kept). One
    // transaction.
    bool acknowledge(const QString& forwarder, const std::vector<qint64>& seqs, QString* error);
    // Records the forwarder still owes.
    [[nodiscard]] qint64 backlog(const QString& forwarder) const;
    // Kept for --status.
    void noteError(const QString& forwarder, const QString& why, qint64 unixMs);

    struct ForwarderStatus {
        QString name;
        qint64 backlog = 0;
        QString lastError;
        qint64 lastErrorMs = 0;
        qint64 lastSentMs = 0;
    };
    // A sensor's last reading, kept after the reading has left the spool.
    struct SensorStatus {
        QString sensor;
        qint64 unixMs = 0;
        bool ok = false;
        QByteArray json;
    };
    // An alarm raised and not yet cleared, kept across restarts.
    struct Alarm {
        QString sensor; // "<bus>/<address>"
        QString alarm;  // "dry", "no_rise"...
        qint64 sinceMs = 0;
        std::optional<double> value; // the moisture when it was raised
        QString text;
    };
    struct Status {
        std::vector<ForwarderStatus> forwarders;
        std::vector<Alarm> alarms; // by sensor, then alarm
        std::vector<SensorStatus> sensors;
        qint64 dropped = 0; // over the limits while still owed, since the spool was made
        qint64 expired = 0; // sent, then over the limits
        qint64 lastSeq = 0;
    };
    [[nodiscard]] Status status() const;

    // Drops the oldest readings beyond maxReadings and those older than maxAgeMs before nowMs: those
    // still owed counted in `dropped`, the sent ones in `expired`, across restarts; how many owed
    // ones it dropped now, or -1 with the reason.
    qint64 trim(qint64 nowMs, QString* error);

    // Every kept reading taken in [fromMs, toMs), oldest first, to `each` until it returns false;
    // false with the reason when the database fails.
    bool readings(qint64 fromMs, qint64 toMs, const std::function<bool(const Record&)>& each,
                  QString* error) const;

    // The active alarms, by sensor then alarm; a raise replaces the row of the same alarm.
    [[nodiscard]] std::vector<Alarm> alarms() const;
    bool raiseAlarm(const Alarm& a, QString* error);
    bool clearAlarm(const QString& sensor, const QString& alarm, QString* error);

    // Waterings: told by `kv7702r watered` (recorded for the collector, running or not, to take
    // up) or on MQTT (recorded as the collector takes them), each kept with whether a rise is
    // still awaited, so that a restart or reload awaits it again.
    struct Watering {
        qint64 id = 0; // rising, never reused; 0 for one not recorded yet
        QString sensor;
        qint64 unixMs = 0;
        std::optional<double> riseFrom; // the moisture it should rise from; none when none was known
    };
    // Records the sensors watered at `unixMs`, all or none, in the spool at `path` (which must
    // exist: one made by a collector), beside a running collector; false with why.
    static bool addWatering(const QString& path, const QStringList& sensors, qint64 unixMs, QString* error);
    // Those not yet taken with an id above `id`, oldest first.
    [[nodiscard]] std::vector<Watering> untakenWaterings(qint64 id, QString* error) const;
    // The collector takes `w` (recorded first when its id is 0): `awaited` from w.riseFrom, in place
    // of the sensor's watering awaited before, or not at all (too old, or the sensor unknown). Its
    // id, or 0 with why.
    qint64 takeWatering(const Watering& w, bool awaited, QString* error);
    // The sensor's rise came, or its no_rise was raised (the kept alarm carries it from then on):
    // none of its waterings is awaited any more.
    bool settleWaterings(const QString& sensor, QString* error);
    // Each sensor's latest watering still awaited, by sensor.
    [[nodiscard]] std::vector<Watering> awaitedWaterings(QString* error) const;

    // The collector's own small memory (e.g. the sensors announced to Home Assistant).
    [[nodiscard]] QString meta(const QString& key) const;
    bool setMeta(const QString& key, const QString& value);

private:
    Spool(sqlite3* db, Limits limits, bool readOnly);
    struct Slot {
        QString name;
        qint64 bit = 0;
        qint64 floor = 0; // nothing at or below this seq is owed to it
    };
    [[nodiscard]] Slot* slot(const QString& forwarder) const;
    bool loadSlots(QString* error);

    sqlite3* db_;
    Limits limits_;
    bool readOnly_;
    mutable std::vector<Slot> slots_;
    qint64 owedByAll_ = 0;
};

} // namespace kv::collect
