#include "collect/spool.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <algorithm>

namespace kv::collect {

namespace {

// The most forwarders one spool tells apart: one bit each of a reading's `owed`.
constexpr int MAX_FORWARDERS = 62;

const char* const SCHEMA = R"(
CREATE TABLE IF NOT EXISTS readings(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,  -- AUTOINCREMENT: a deleted seq is never given again
  unix_ms INTEGER NOT NULL, sensor TEXT NOT NULL, ok INTEGER NOT NULL,
  json BLOB NOT NULL, influx BLOB NOT NULL,
  owed INTEGER NOT NULL);                 -- a bit per forwarder that has not had it acknowledged
CREATE INDEX IF NOT EXISTS readings_time ON readings(unix_ms);
-- What is still owed, however many sent readings are kept for export beside it.
CREATE INDEX IF NOT EXISTS readings_owed ON readings(seq) WHERE owed != 0;
CREATE TABLE IF NOT EXISTS forwarders(
  name TEXT PRIMARY KEY, bit INTEGER NOT NULL UNIQUE,
  last_error TEXT NOT NULL DEFAULT '', last_error_ms INTEGER NOT NULL DEFAULT 0,
  last_sent_ms INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS sensors(
  sensor TEXT PRIMARY KEY, unix_ms INTEGER NOT NULL, ok INTEGER NOT NULL, json BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS counts(name TEXT PRIMARY KEY, value INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS alarms(
  sensor TEXT NOT NULL, alarm TEXT NOT NULL, since_ms INTEGER NOT NULL, value REAL, text TEXT NOT NULL,
  PRIMARY KEY(sensor, alarm));
)";

// Apart: `kv7702r watered` makes it in a spool an older collector made, without the rest.
const char* const WATERED_SCHEMA = R"(
CREATE TABLE IF NOT EXISTS watered(
  id INTEGER PRIMARY KEY AUTOINCREMENT,   -- the collector takes them up by id: never given again
  sensor TEXT NOT NULL, unix_ms INTEGER NOT NULL,
  taken INTEGER NOT NULL DEFAULT 0,       -- by the collector; one told on MQTT at once
  rise_from REAL,                         -- the sensor's last moisture when taken
  awaited INTEGER NOT NULL DEFAULT 0);    -- its rise: cleared by the rise, no_rise or a later watering
CREATE INDEX IF NOT EXISTS watered_untaken ON watered(id) WHERE taken = 0;
CREATE INDEX IF NOT EXISTS watered_awaited ON watered(sensor, unix_ms) WHERE awaited != 0;
)";

QString lastError(sqlite3* db) {
    return QString::fromUtf8(sqlite3_errmsg(db));
}

// One prepared statement, finalized when it goes.
class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) != SQLITE_OK) s_ = nullptr;
    }
    ~Stmt() { sqlite3_finalize(s_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    [[nodiscard]] bool ok() const { return s_ != nullptr; }
    Stmt& bind(int i, qint64 v) {
        sqlite3_bind_int64(s_, i, v);
        return *this;
    }
    Stmt& bind(int i, const QString& v) {
        const QByteArray u = v.toUtf8();
        sqlite3_bind_text(s_, i, u.constData(), static_cast<int>(u.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& bindReal(int i, double v) {
        sqlite3_bind_double(s_, i, v);
        return *this;
    }
    Stmt& bind(int i, const QByteArray& v) {
        sqlite3_bind_blob(s_, i, v.constData(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // A row came (true) or the statement is done; `failed` tells them apart from an error.
    bool row() {
        if (!s_) return false;
        const int rc = sqlite3_step(s_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) failed_ = true;
        return rc == SQLITE_ROW;
    }
    // Runs it to the end for its effect; false on an error.
    bool run() {
        while (row()) {
        }
        if (s_) sqlite3_reset(s_);
        return s_ && !failed_;
    }
    void reset() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    [[nodiscard]] bool failed() const { return !s_ || failed_; }
    [[nodiscard]] qint64 integer(int c) const { return sqlite3_column_int64(s_, c); }
    [[nodiscard]] double real(int c) const { return sqlite3_column_double(s_, c); }
    [[nodiscard]] bool null(int c) const { return sqlite3_column_type(s_, c) == SQLITE_NULL; }
    [[nodiscard]] QString text(int c) const {
        return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s_, c)),
                                 sqlite3_column_bytes(s_, c));
    }
    [[nodiscard]] QByteArray blob(int c) const {
        const void* p = sqlite3_column_blob(s_, c);
        return p ? QByteArray(static_cast<const char*>(p), sqlite3_column_bytes(s_, c)) : QByteArray();
    }

private:
    sqlite3_stmt* s_ = nullptr;
    bool failed_ = false;
};

bool exec(sqlite3* db, const char* sql, QString* error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    if (error) *error = QString::fromUtf8(message ? message : sqlite3_errmsg(db));
    sqlite3_free(message);
    return false;
}

// A write transaction, rolled back unless committed.
class Transaction {
public:
    Transaction(sqlite3* db, QString* error) : db_(db), open_(exec(db, "BEGIN IMMEDIATE", error)) {}
    ~Transaction() {
        if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    [[nodiscard]] bool open() const { return open_; }
    bool commit(QString* error) {
        if (!exec(db_, "COMMIT", error)) return false;
        open_ = false;
        return true;
    }

private:
    sqlite3* db_;
    bool open_;
};

bool fail(QString* error, const QString& message) {
    if (error) *error = message;
    return false;
}

qint64 scalar(sqlite3* db, const char* sql, qint64 otherwise = 0) {
    Stmt s(db, sql);
    return s.row() ? s.integer(0) : otherwise;
}

sqlite3* openDb(const QString& path, int flags, QString* error) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path,
                                                  db ? lastError(db) : QString::fromUtf8(sqlite3_errstr(rc)));
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_extended_result_codes(db, 1);
    // A reader beside the writer waits for a checkpoint rather than failing at once.
    sqlite3_busy_timeout(db, 5000);
    return db;
}

// The reading a row of "SELECT seq, unix_ms, sensor, ok, json, influx" holds.
Record recordAt(Stmt& q) {
    Record r;
    r.seq = q.integer(0);
    r.unixMs = q.integer(1);
    r.sensor = q.text(2);
    r.ok = q.integer(3) != 0;
    r.json = q.blob(4);
    r.influx = q.blob(5);
    return r;
}

} // namespace

Spool::Spool(sqlite3* db, Limits limits, bool readOnly) : db_(db), limits_(limits), readOnly_(readOnly) {}

Spool::~Spool() {
    sqlite3_close(db_);
}

std::unique_ptr<Spool> Spool::open(const QString& path, Limits limits, const QStringList& forwarders,
                                   QString* error) {
    const QFileInfo info(path);
    if (!info.absoluteDir().exists()) {
        fail(error, QStringLiteral("%1: its folder %2 does not exist").arg(path, info.absolutePath()));
        return nullptr;
    }
    if (forwarders.size() > MAX_FORWARDERS) {
        fail(error, QStringLiteral("a spool tells at most %1 forwarders apart").arg(MAX_FORWARDERS));
        return nullptr;
    }
    sqlite3* db = openDb(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error);
    if (!db) return nullptr;
    std::unique_ptr<Spool> spool(new Spool(db, limits, false));
    QString reason;
    // synchronous=FULL: a commit returns only once the WAL is on the disk, so a committed reading
    // survives a power cut.
    const bool walOn = [&] {
        Stmt wal(db, "PRAGMA journal_mode=WAL");
        return wal.row() && wal.text(0) == "wal";
    }();
    if (!walOn) {
        fail(error, QStringLiteral("%1: cannot use a write-ahead log: %2").arg(path, lastError(db)));
        return nullptr;
    }
    if (!exec(db, "PRAGMA synchronous=FULL", &reason) || !exec(db, SCHEMA, &reason) ||
        !exec(db, WATERED_SCHEMA, &reason)) {
        fail(error, QStringLiteral("%1: %2").arg(path, reason));
        return nullptr;
    }

    // Forwarders no longer named let go of their readings; new ones get a free bit.
    Transaction t(db, &reason);
    if (!t.open()) {
        fail(error, QStringLiteral("%1: %2").arg(path, reason));
        return nullptr;
    }
    std::vector<std::pair<QString, qint64>> known;
    {
        Stmt s(db, "SELECT name, bit FROM forwarders");
        while (s.row())
            known.emplace_back(s.text(0), s.integer(1));
    }
    bool sound = true;
    for (const auto& [name, bit] : known) {
        if (forwarders.contains(name)) continue;
        Stmt release(db, "UPDATE readings SET owed = owed & ~(1 << ?1) WHERE owed & (1 << ?1)");
        Stmt forget(db, "DELETE FROM forwarders WHERE name = ?1");
        sound = sound && release.bind(1, bit).run() && forget.bind(1, name).run();
    }
    for (const QString& name : forwarders) {
        if (std::any_of(known.begin(), known.end(), [&](const auto& k) { return k.first == name; })) continue;
        const qint64 bit =
            scalar(db,
                   "SELECT min(b) FROM (WITH RECURSIVE n(b) AS (SELECT 0 UNION ALL SELECT b + 1 "
                   "FROM n WHERE b < 61) SELECT b FROM n WHERE b NOT IN (SELECT bit FROM "
                   "forwarders))",
                   -1);
        Stmt add(db, "INSERT INTO forwarders(name, bit) VALUES (?1, ?2)");
        sound = sound && bit >= 0 && add.bind(1, name).bind(2, bit).run();
    }
    if (!sound || !t.commit(&reason)) {
        fail(error, QStringLiteral("%1: %2").arg(path, reason.isEmpty() ? lastError(db) : reason));
        return nullptr;
    }
    if (!spool->loadSlots(error)) return nullptr;
    return spool;
}

std::unique_ptr<Spool> Spool::openReadOnly(const QString& path, QString* error) {
    if (!QFileInfo(path).isFile()) {
        fail(error, QStringLiteral("%1: no spool there").arg(path));
        return nullptr;
    }
    sqlite3* db = openDb(path, SQLITE_OPEN_READONLY, error);
    if (!db) return nullptr;
    std::unique_ptr<Spool> spool(new Spool(db, {0, 0}, true));
    if (!spool->loadSlots(error)) return nullptr;
    return spool;
}

bool Spool::loadSlots(QString* error) {
    slots_.clear();
    owedByAll_ = 0;
    Stmt s(db_, "SELECT name, bit FROM forwarders ORDER BY name");
    while (s.row()) {
        slots_.push_back({s.text(0), qint64{1} << s.integer(1), 0});
        owedByAll_ |= slots_.back().bit;
    }
    if (s.failed()) return fail(error, lastError(db_));
    return true;
}

Spool::Slot* Spool::slot(const QString& forwarder) const {
    const auto it =
        std::find_if(slots_.begin(), slots_.end(), [&](const Slot& s) { return s.name == forwarder; });
    return it == slots_.end() ? nullptr : &*it;
}

bool Spool::append(std::vector<Record>& records, QString* error) {
    if (records.empty()) return true;
    if (readOnly_) return fail(error, QStringLiteral("the spool is open read-only"));
    Transaction t(db_, error);
    if (!t.open()) return false;
    Stmt insert(
        db_, "INSERT INTO readings(unix_ms, sensor, ok, json, influx, owed) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    Stmt last(db_,
              "INSERT INTO sensors(sensor, unix_ms, ok, json) VALUES (?1, ?2, ?3, ?4) ON CONFLICT(sensor) "
              "DO UPDATE SET unix_ms = excluded.unix_ms, ok = excluded.ok, json = excluded.json "
              "WHERE excluded.unix_ms >= sensors.unix_ms");
    std::vector<qint64> seqs;
    for (const Record& r : records) {
        insert.bind(1, r.unixMs).bind(2, r.sensor).bind(3, r.ok ? 1 : 0).bind(4, r.json).bind(5, r.influx);
        insert.bind(6, owedByAll_);
        last.bind(1, r.sensor).bind(2, r.unixMs).bind(3, r.ok ? 1 : 0).bind(4, r.json);
        if (!insert.run() || !last.run()) return fail(error, lastError(db_));
        seqs.push_back(sqlite3_last_insert_rowid(db_));
    }
    if (!t.commit(error)) return false;
    for (size_t i = 0; i < records.size(); ++i)
        records[i].seq = seqs[i];
    return true;
}

std::vector<Record> Spool::pending(const QString& forwarder, int max, qint64 after) const {
    std::vector<Record> out;
    Slot* s = slot(forwarder);
    if (!s || max <= 0) return out;
    const qint64 from = std::max(after, s->floor);
    Stmt q(db_, "SELECT seq, unix_ms, sensor, ok, json, influx FROM readings WHERE owed != 0 AND seq > ?1 "
                "AND (owed & ?2) != 0 ORDER BY seq LIMIT ?3");
    q.bind(1, from).bind(2, s->bit).bind(3, max);
    while (q.row()) {
        out.push_back(recordAt(q));
    }
    // Owed bits only ever clear, and new readings come above every seq: a scan from the floor
    // is the whole of what is owed, and skips the rows other forwarders still hold.
    if (!q.failed() && from == s->floor)
        s->floor =
            out.empty() ? scalar(db_, "SELECT coalesce(max(seq), 0) FROM readings") : out.front().seq - 1;
    return out;
}

bool Spool::acknowledge(const QString& forwarder, const std::vector<qint64>& seqs, QString* error) {
    const Slot* s = slot(forwarder);
    if (!s) return fail(error, QStringLiteral("no forwarder '%1' in the spool").arg(forwarder));
    if (readOnly_) return fail(error, QStringLiteral("the spool is open read-only"));
    Transaction t(db_, error);
    if (!t.open()) return false;
    Stmt clear(db_, "UPDATE readings SET owed = owed & ~?2 WHERE seq = ?1");
    for (qint64 seq : seqs)
        if (!clear.bind(1, seq).bind(2, s->bit).run()) return fail(error, lastError(db_));
    Stmt sent(db_, "UPDATE forwarders SET last_sent_ms = ?2 WHERE name = ?1");
    if (!sent.bind(1, forwarder).bind(2, QDateTime::currentMSecsSinceEpoch()).run())
        return fail(error, lastError(db_));
    return t.commit(error);
}

qint64 Spool::backlog(const QString& forwarder) const {
    const Slot* s = slot(forwarder);
    if (!s) return 0;
    Stmt q(db_, "SELECT count(*) FROM readings WHERE owed != 0 AND seq > ?1 AND (owed & ?2) != 0");
    q.bind(1, s->floor).bind(2, s->bit);
    return q.row() ? q.integer(0) : 0;
}

void Spool::noteError(const QString& forwarder, const QString& why, qint64 unixMs) {
    if (readOnly_) return;
    Stmt s(db_, "UPDATE forwarders SET last_error = ?2, last_error_ms = ?3 WHERE name = ?1");
    s.bind(1, forwarder).bind(2, why).bind(3, unixMs).run();
}

Spool::Status Spool::status() const {
    Status out;
    {
        Stmt s(db_, "SELECT name, last_error, last_error_ms, last_sent_ms FROM forwarders ORDER BY name");
        while (s.row())
            out.forwarders.push_back({s.text(0), 0, s.text(1), s.integer(2), s.integer(3)});
    }
    for (ForwarderStatus& f : out.forwarders)
        f.backlog = backlog(f.name);
    {
        Stmt s(db_, "SELECT sensor, unix_ms, ok, json FROM sensors ORDER BY sensor");
        while (s.row())
            out.sensors.push_back({s.text(0), s.integer(1), s.integer(2) != 0, s.blob(3)});
    }
    out.alarms = alarms();
    out.dropped = scalar(db_, "SELECT value FROM counts WHERE name = 'dropped'");
    out.expired = scalar(db_, "SELECT value FROM counts WHERE name = 'expired'");
    out.lastSeq = scalar(db_, "SELECT seq FROM sqlite_sequence WHERE name = 'readings'");
    return out;
}

qint64 Spool::trim(qint64 nowMs, QString* error) {
    const auto broken = [&](const QString& reason) {
        fail(error, reason);
        return qint64{-1};
    };
    if (readOnly_) return broken(QStringLiteral("the spool is open read-only"));
    Transaction t(db_, error);
    if (!t.open()) return -1;
    qint64 dropped = 0;
    qint64 expired = 0;
    // Counts, then deletes, the readings `where` picks: those still owed are lost, the rest expire.
    const auto remove = [&](const char* owedSql, const char* deleteSql, qint64 bound) {
        Stmt owed(db_, owedSql);
        if (!owed.bind(1, bound).row()) return false;
        const qint64 unsent = owed.integer(0);
        Stmt gone(db_, deleteSql);
        if (!gone.bind(1, bound).run()) return false;
        const qint64 all = sqlite3_changes(db_);
        dropped += unsent;
        expired += all - unsent;
        return true;
    };
    if (limits_.maxAgeMs > 0 && !remove("SELECT count(*) FROM readings WHERE owed != 0 AND unix_ms < ?1",
                                        "DELETE FROM readings WHERE unix_ms < ?1", nowMs - limits_.maxAgeMs))
        return broken(lastError(db_));
    if (limits_.maxReadings > 0) {
        Stmt last(db_, "SELECT seq FROM readings ORDER BY seq DESC LIMIT 1 OFFSET ?1");
        const qint64 over = last.bind(1, limits_.maxReadings).row() ? last.integer(0) : 0;
        if (last.failed()) return broken(lastError(db_));
        if (over > 0 && !remove("SELECT count(*) FROM readings WHERE owed != 0 AND seq <= ?1",
                                "DELETE FROM readings WHERE seq <= ?1", over))
            return broken(lastError(db_));
    }
    // Waterings go with the readings of their time; the collector remembers the last it took.
    if (limits_.maxAgeMs > 0) {
        Stmt old(db_, "DELETE FROM watered WHERE unix_ms < ?1");
        if (!old.bind(1, nowMs - limits_.maxAgeMs).run()) return broken(lastError(db_));
    }
    Stmt count(db_, "INSERT INTO counts(name, value) VALUES (?1, ?2) ON CONFLICT(name) "
                    "DO UPDATE SET value = value + excluded.value");
    for (const auto& [name, n] : {std::pair{"dropped", dropped}, std::pair{"expired", expired}}) {
        if (n == 0) continue;
        count.reset();
        if (!count.bind(1, QString::fromLatin1(name)).bind(2, n).run()) return broken(lastError(db_));
    }
    return t.commit(error) ? dropped : -1;
}

bool Spool::readings(qint64 fromMs, qint64 toMs, const std::function<bool(const Record&)>& each,
                     QString* error) const {
    Stmt q(db_, "SELECT seq, unix_ms, sensor, ok, json, influx FROM readings WHERE unix_ms >= ?1 AND "
                "unix_ms < ?2 ORDER BY unix_ms, seq");
    q.bind(1, fromMs).bind(2, toMs);
    while (q.row()) {
        const Record r = recordAt(q);
        if (!each(r)) return true;
    }
    return !q.failed() || fail(error, lastError(db_));
}

std::vector<Spool::Alarm> Spool::alarms() const {
    std::vector<Alarm> out;
    // Absent from a spool only an older collector has opened: read-only, it has none.
    Stmt s(db_, "SELECT sensor, alarm, since_ms, value, text FROM alarms ORDER BY sensor, alarm");
    while (s.row()) {
        Alarm a{s.text(0), s.text(1), s.integer(2), std::nullopt, s.text(4)};
        if (!s.null(3)) a.value = s.real(3);
        out.push_back(std::move(a));
    }
    return out;
}

bool Spool::raiseAlarm(const Alarm& a, QString* error) {
    if (readOnly_) return fail(error, QStringLiteral("the spool is open read-only"));
    Stmt s(db_, "INSERT INTO alarms(sensor, alarm, since_ms, value, text) VALUES (?1, ?2, ?3, ?4, ?5) "
                "ON CONFLICT(sensor, alarm) DO UPDATE SET since_ms = excluded.since_ms, "
                "value = excluded.value, text = excluded.text");
    s.bind(1, a.sensor).bind(2, a.alarm).bind(3, a.sinceMs).bind(5, a.text);
    if (a.value) s.bindReal(4, *a.value);
    return s.run() || fail(error, lastError(db_));
}

bool Spool::clearAlarm(const QString& sensor, const QString& alarm, QString* error) {
    if (readOnly_) return fail(error, QStringLiteral("the spool is open read-only"));
    Stmt s(db_, "DELETE FROM alarms WHERE sensor = ?1 AND alarm = ?2");
    return s.bind(1, sensor).bind(2, alarm).run() || fail(error, lastError(db_));
}

bool Spool::addWatering(const QString& path, const QStringList& sensors, qint64 unixMs, QString* error) {
    if (!QFileInfo(path).isFile())
        return fail(
            error,
            QStringLiteral("%1: no spool there; the collector makes it when it first starts").arg(path));
    sqlite3* db = openDb(path, SQLITE_OPEN_READWRITE, error);
    if (!db) return false;
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> closing(db, sqlite3_close);
    QString why;
    if (!exec(db, WATERED_SCHEMA, &why)) return fail(error, QStringLiteral("%1: %2").arg(path, why));
    Transaction t(db, &why);
    if (!t.open()) return fail(error, QStringLiteral("%1: %2").arg(path, why));
    Stmt insert(db, "INSERT INTO watered(sensor, unix_ms) VALUES (?1, ?2)");
    for (const QString& sensor : sensors)
        if (!insert.bind(1, sensor).bind(2, unixMs).run())
            return fail(error, QStringLiteral("%1: %2").arg(path, lastError(db)));
    if (!t.commit(&why)) return fail(error, QStringLiteral("%1: %2").arg(path, why));
    return true;
}

std::vector<Spool::Watering> Spool::untakenWaterings(qint64 id, QString* error) const {
    std::vector<Watering> out;
    Stmt s(db_, "SELECT id, sensor, unix_ms FROM watered WHERE taken = 0 AND id > ?1 ORDER BY id");
    s.bind(1, id);
    while (s.row())
        out.push_back({s.integer(0), s.text(1), s.integer(2), std::nullopt});
    if (s.failed()) fail(error, lastError(db_));
    return out;
}

qint64 Spool::takeWatering(const Watering& w, bool awaited, QString* error) {
    const auto broken = [&](const QString& reason) {
        fail(error, reason);
        return qint64{0};
    };
    if (readOnly_) return broken(QStringLiteral("the spool is open read-only"));
    Transaction t(db_, error);
    if (!t.open()) return 0;
    // The sensor awaits one rise at a time: a new watering replaces the one before.
    if (awaited && !settleWaterings(w.sensor, error)) return 0;
    Stmt take(
        db_,
        w.id == 0
            ? "INSERT INTO watered(sensor, unix_ms, taken, rise_from, awaited) VALUES (?2, ?3, 1, ?4, ?5)"
            : "UPDATE watered SET taken = 1, rise_from = ?4, awaited = ?5 WHERE id = ?1 AND sensor = ?2 "
              "AND unix_ms = ?3");
    take.bind(1, w.id).bind(2, w.sensor).bind(3, w.unixMs).bind(5, qint64{awaited ? 1 : 0});
    if (w.riseFrom) take.bindReal(4, *w.riseFrom);
    if (!take.run()) return broken(lastError(db_));
    const qint64 id = w.id == 0 ? sqlite3_last_insert_rowid(db_) : w.id;
    return t.commit(error) ? id : 0;
}

bool Spool::settleWaterings(const QString& sensor, QString* error) {
    if (readOnly_) return fail(error, QStringLiteral("the spool is open read-only"));
    Stmt s(db_, "UPDATE watered SET awaited = 0 WHERE sensor = ?1 AND awaited != 0");
    return s.bind(1, sensor).run() || fail(error, lastError(db_));
}

std::vector<Spool::Watering> Spool::awaitedWaterings(QString* error) const {
    std::vector<Watering> out;
    Stmt s(db_, "SELECT id, sensor, unix_ms, rise_from FROM watered w WHERE awaited != 0 AND id = "
                "(SELECT id FROM watered v WHERE v.sensor = w.sensor AND v.awaited != 0 "
                "ORDER BY unix_ms DESC, id DESC LIMIT 1) ORDER BY sensor");
    while (s.row()) {
        Watering w{s.integer(0), s.text(1), s.integer(2), std::nullopt};
        if (!s.null(3)) w.riseFrom = s.real(3);
        out.push_back(std::move(w));
    }
    if (s.failed()) fail(error, lastError(db_));
    return out;
}

QString Spool::meta(const QString& key) const {
    Stmt s(db_, "SELECT value FROM meta WHERE key = ?1");
    s.bind(1, key);
    return s.row() ? s.text(0) : QString();
}

bool Spool::setMeta(const QString& key, const QString& value) {
    if (readOnly_) return false;
    Stmt s(
        db_,
        "INSERT INTO meta(key, value) VALUES (?1, ?2) ON CONFLICT(key) DO UPDATE SET value = excluded.value");
    return s.bind(1, key).bind(2, value).run();
}

} // namespace kv::collect
