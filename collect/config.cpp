#include "collect/config.h"

#include "sensor/protocol.h"
#include "soil/settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include <toml++/toml.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>
#include <utility>

namespace kv::collect {

namespace {

// The most of a secret's file read: a longer one is not a secret but a wrong path.
constexpr qint64 MAX_SECRET_BYTES = 64 * 1024;
constexpr qint64 MAX_CONFIG_BYTES = 4 * 1024 * 1024;

QString q(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

Where whereOf(const toml::source_region& r) {
    return {static_cast<int>(r.begin.line), static_cast<int>(r.begin.column)};
}

const char* typeName(const toml::node& n) {
    switch (n.type()) {
    case toml::node_type::string:
        return "a string";
    case toml::node_type::integer:
        return "a whole number";
    case toml::node_type::floating_point:
        return "a number with a fraction";
    case toml::node_type::boolean:
        return "true or false";
    case toml::node_type::table:
        return "a table";
    case toml::node_type::array:
        return "a list";
    default:
        return "a date or time";
    }
}

// Reads one file's tables into the configuration, every fault noted with its place.
class Reader {
public:
    Reader(QString folder, std::vector<ConfigError>& errors) : folder_(std::move(folder)), errors_(errors) {}

    void fail(Where at, QString message) { errors_.push_back({at, std::move(message), {}}); }
    void fail(const toml::node& n, QString message) { fail(whereOf(n.source()), std::move(message)); }
    void fail(ConfigError e) { errors_.push_back(std::move(e)); }
    [[nodiscard]] std::size_t errorCount() const { return errors_.size(); }

    // Unknown keys and secrets written into the file; `name` is the table as the file writes it.
    void keys(const toml::table& t, const QString& name, const std::vector<const char*>& allowed) {
        for (auto&& [k, v] : t) {
            const QString key = q(k.str());
            if (std::find_if(allowed.begin(), allowed.end(), [&](const char* a) { return key == a; }) !=
                allowed.end())
                continue;
            const Where at = whereOf(k.source());
            if (key == "password" || key == "token") {
                fail(at, QStringLiteral("%1: secrets are read from files: use %1_file").arg(key));
                continue;
            }
            QStringList names;
            for (const char* a : allowed)
                names << QString::fromLatin1(a);
            fail(at, QStringLiteral("unknown key '%1' in %2; allowed: %3").arg(key, name, names.join(", ")));
        }
    }

    // The key's whole number when it is one within lo..hi; none (and an error) otherwise.
    std::optional<qint64> integer(const toml::table& t, const char* key, qint64 lo, qint64 hi) {
        const toml::node* n = t.get(key);
        if (!n) return std::nullopt;
        const auto* v = n->as_integer();
        if (!v) {
            fail(*n, QStringLiteral("%1: must be a whole number %2..%3, not %4")
                         .arg(key)
                         .arg(lo)
                         .arg(hi)
                         .arg(typeName(*n)));
            return std::nullopt;
        }
        const qint64 x = v->get();
        if (x < lo || x > hi) {
            fail(*n, QStringLiteral("%1: must be %2..%3, not %4").arg(key).arg(lo).arg(hi).arg(x));
            return std::nullopt;
        }
        return x;
    }
    // A number, whole or not, within lo..hi.
    std::optional<double> number(const toml::table& t, const char* key, double lo, double hi) {
        const toml::node* n = t.get(key);
        if (!n) return std::nullopt;
        std::optional<double> x;
        if (const auto* f = n->as_floating_point()) x = f->get();
        if (const auto* i = n->as_integer()) x = static_cast<double>(i->get());
        if (!x || !(*x >= lo && *x <= hi)) {
            fail(*n, QStringLiteral("%1: must be a number %2..%3").arg(key).arg(lo).arg(hi));
            return std::nullopt;
        }
        return x;
    }

    template <typename T> void integer(const toml::table& t, const char* key, qint64 lo, qint64 hi, T& out) {
        if (const auto x = integer(t, key, lo, hi)) out = static_cast<T>(*x);
    }

    std::optional<QString> string(const toml::table& t, const char* key, bool mayBeEmpty = true) {
        const toml::node* n = t.get(key);
        if (!n) return std::nullopt;
        const auto* v = n->as_string();
        if (!v) {
            fail(*n, QStringLiteral("%1: must be a string in quotes, not %2").arg(key, typeName(*n)));
            return std::nullopt;
        }
        QString s = q(v->get());
        if (!mayBeEmpty && s.isEmpty()) {
            fail(*n, QStringLiteral("%1: must not be empty").arg(key));
            return std::nullopt;
        }
        return s;
    }
    void string(const toml::table& t, const char* key, QString& out, bool mayBeEmpty = true) {
        if (auto s = string(t, key, mayBeEmpty)) out = *s;
    }

    void boolean(const toml::table& t, const char* key, bool& out) {
        const toml::node* n = t.get(key);
        if (!n) return;
        if (const auto* v = n->as_boolean())
            out = v->get();
        else
            fail(*n, QStringLiteral("%1: must be true or false, not %2").arg(key, typeName(*n)));
    }

    // A path from the file: a relative one is taken from the file's folder.
    QString path(const toml::table& t, const char* key, QString& out) {
        if (auto s = string(t, key, false)) out = QDir(folder_).absoluteFilePath(*s);
        return out;
    }

    // A file that must be there and readable (a certificate); its content when `secret`.
    std::optional<QString> file(const toml::table& t, const char* key, QString& out, bool secret) {
        const toml::node* n = t.get(key);
        if (!n || path(t, key, out).isEmpty()) return std::nullopt;
        const QFileInfo info(out);
        QFile f(out);
        if (info.exists() && !info.isFile()) {
            fail(*n, QStringLiteral("%1: %2 is not a file").arg(key, out));
            return std::nullopt;
        }
        if (!f.open(QIODevice::ReadOnly)) {
            fail(*n, QStringLiteral("%1: cannot read %2: %3").arg(key, out, f.errorString()));
            return std::nullopt;
        }
        if (!secret) return QString();
        const QByteArray bytes = f.read(MAX_SECRET_BYTES + 1);
        if (bytes.size() > MAX_SECRET_BYTES) {
            fail(*n, QStringLiteral("%1: %2 is longer than %3 bytes: not a secret")
                         .arg(key, out)
                         .arg(MAX_SECRET_BYTES));
            return std::nullopt;
        }
        QString text = QString::fromUtf8(bytes);
        while (text.endsWith('\n') || text.endsWith('\r'))
            text.chop(1);
        if (text.isEmpty()) {
            fail(*n, QStringLiteral("%1: %2 is empty").arg(key, out));
            return std::nullopt;
        }
        return text;
    }

private:
    QString folder_;
    std::vector<ConfigError>& errors_;
};

// A name an MQTT topic can carry as one level: not empty, no wildcard, no level separator.
bool topicPart(const QString& s) {
    return !s.isEmpty() && !s.contains('+') && !s.contains('#') && !s.contains('/');
}

// A topic a message can be published to: levels without wildcards.
bool topicName(const QString& s) {
    return !s.isEmpty() && !s.contains('+') && !s.contains('#');
}

void readSpool(Reader& r, const toml::table& t, SpoolConfig& s) {
    r.keys(t, "[spool]", {"path", "max_readings", "max_age_days", "drain_per_second"});
    r.path(t, "path", s.path);
    r.integer(t, "max_readings", 1, 1000000000, s.maxReadings);
    r.integer(t, "max_age_days", 1, 36500, s.maxAgeDays);
    r.integer(t, "drain_per_second", 1, 1000000, s.drainPerSecond);
}

void readMqtt(Reader& r, const toml::table& t, MqttConfig& m) {
    m.enabled = true;
    r.keys(t, "[mqtt]",
           {"host", "port", "topic", "discovery_prefix", "protocol", "tls", "ca_file", "cert_file",
            "key_file", "user", "password_file", "client_id", "keepalive_s", "offline_after"});
    const Where at = whereOf(t.source());
    if (!t.contains("host")) r.fail(at, "[mqtt] needs host = \"the broker's name or address\"");
    r.string(t, "host", m.host, false);
    r.boolean(t, "tls", m.tls);
    if (m.tls) m.port = 8883;
    r.integer(t, "port", 1, 65535, m.port);
    if (!t.contains("topic")) r.fail(at, "[mqtt] needs topic = \"the prefix of every reading's topic\"");
    if (auto s = r.string(t, "topic")) {
        if (topicName(*s) && !s->startsWith('/') && !s->endsWith('/'))
            m.topic = *s;
        else
            r.fail(*t.get("topic"),
                   "topic: must be levels without + or # and no / at either end, not '" + *s + "'");
    }
    if (auto s = r.string(t, "discovery_prefix")) {
        if (s->isEmpty() || topicName(*s))
            m.discoveryPrefix = *s;
        else
            r.fail(*t.get("discovery_prefix"),
                   "discovery_prefix: must be without + or # (empty: no discovery)");
    }
    if (auto s = r.string(t, "protocol")) {
        if (*s == "3.1.1" || *s == "5")
            m.protocol = *s;
        else
            r.fail(*t.get("protocol"), "protocol: must be \"3.1.1\" or \"5\", not \"" + *s + "\"");
    }
    for (auto [key, out] :
         {std::pair{"ca_file", &m.caFile}, {"cert_file", &m.certFile}, {"key_file", &m.keyFile}}) {
        if (t.contains(key) && !m.tls) r.fail(*t.get(key), QStringLiteral("%1: needs tls = true").arg(key));
        r.file(t, key, *out, false);
    }
    if (t.contains("key_file") != t.contains("cert_file"))
        r.fail(*t.get(t.contains("key_file") ? "key_file" : "cert_file"),
               "cert_file and key_file: a client certificate needs both");
    r.string(t, "user", m.user, false);
    if (t.contains("password_file") && !t.contains("user"))
        r.fail(*t.get("password_file"), "password_file: needs user");
    if (auto s = r.file(t, "password_file", m.passwordFile, true)) m.password = *s;
    r.string(t, "client_id", m.clientId, false);
    r.integer(t, "keepalive_s", 1, 65535, m.keepaliveS);
    r.integer(t, "offline_after", 1, 1000000, m.offlineAfter);
}

void readInflux(Reader& r, const toml::table& t, InfluxConfig& f) {
    f.enabled = true;
    r.keys(t, "[influx]",
           {"url", "database", "org", "bucket", "token_file", "user", "password_file", "batch"});
    const Where at = whereOf(t.source());
    if (!t.contains("url")) r.fail(at, "[influx] needs url = \"http://host:8086\"");
    if (auto s = r.string(t, "url")) {
        const QUrl url(*s, QUrl::StrictMode);
        if (url.isValid() && (url.scheme() == "http" || url.scheme() == "https") && !url.host().isEmpty())
            f.url = *s;
        else
            r.fail(*t.get("url"), "url: must be http://HOST[:PORT] or https://..., not '" + *s + "'");
    }
    r.string(t, "database", f.database, false);
    r.string(t, "org", f.org, false);
    r.string(t, "bucket", f.bucket, false);
    const bool v1 = t.contains("database");
    const bool v2 = t.contains("org") || t.contains("bucket");
    if (v1 && v2)
        r.fail(*t.get("database"),
               "database: is InfluxDB 1's, org and bucket InfluxDB 2's: give one or the other");
    else if (!v1 && !v2)
        r.fail(at, "[influx] needs database (InfluxDB 1) or org and bucket (InfluxDB 2)");
    else if (v2 && !(t.contains("org") && t.contains("bucket")))
        r.fail(at, "[influx] needs both org and bucket (InfluxDB 2)");
    if (v2 && !v1 && !t.contains("token_file")) r.fail(at, "[influx] needs token_file with org and bucket");
    if (v1 && t.contains("token_file"))
        r.fail(*t.get("token_file"), "token_file: is for InfluxDB 2 (org, bucket); InfluxDB 1 takes user and "
                                     "password_file");
    if (auto s = r.file(t, "token_file", f.tokenFile, true)) f.token = *s;
    r.string(t, "user", f.user, false);
    if (t.contains("user") != t.contains("password_file"))
        r.fail(*t.get(t.contains("user") ? "user" : "password_file"),
               "user and password_file: give both or neither");
    if (auto s = r.file(t, "password_file", f.passwordFile, true)) f.password = *s;
    r.integer(t, "batch", 1, 100000, f.batch);
}

void readMetrics(Reader& r, const toml::table& t, HttpConfig& h) {
    h.enabled = true;
    r.keys(t, "[metrics]", {"listen"});
    if (auto s = r.string(t, "listen")) {
        static const QRegularExpression form(
            QStringLiteral(R"(^(\[[0-9A-Fa-f:.]+\]|[^\[\]:\s]+):(\d{1,5})$)"));
        const auto m = form.match(*s);
        const int port = m.hasMatch() ? m.captured(2).toInt() : 0;
        if (port >= 1 && port <= 65535)
            h.listen = *s;
        else
            r.fail(*t.get("listen"),
                   "listen: must be HOST:PORT (127.0.0.1:9107, [::1]:9107), not '" + *s + "'");
    }
}

// A number of a sample, or none (and an error) when it is none or lies outside 0..100 %.
std::optional<double> samplePart(Reader& r, const toml::node& n, const char* what) {
    std::optional<double> x;
    if (const auto* f = n.as_floating_point()) x = f->get();
    if (const auto* i = n.as_integer()) x = static_cast<double>(i->get());
    if (!x) {
        r.fail(n, QStringLiteral("samples: the %1 must be a number, not %2").arg(what, typeName(n)));
        return std::nullopt;
    }
    if (!(*x >= 0 && *x <= 100)) {
        r.fail(n, QStringLiteral("samples: the %1 %2 lies outside 0..100 %").arg(what).arg(*x));
        return std::nullopt;
    }
    return x;
}

void readSamples(Reader& r, const toml::node& n, SoilCalibration& c) {
    const toml::array* list = n.as_array();
    if (!list) {
        r.fail(n, QStringLiteral("samples: must be a list of [raw %, volumetric %] pairs, not %1")
                      .arg(typeName(n)));
        return;
    }
    const std::size_t before = r.errorCount();
    std::vector<Where> at;
    for (const toml::node& e : *list) {
        const toml::array* pair = e.as_array();
        if (!pair || pair->size() != 2) {
            r.fail(e, "samples: each sample is a pair [raw %, volumetric %]");
            continue;
        }
        const auto raw = samplePart(r, *pair->get(0), "raw value");
        const auto vwc = samplePart(r, *pair->get(1), "volumetric water content");
        if (raw && vwc) {
            c.samples.push_back({*raw, *vwc});
            at.push_back(whereOf(e.source()));
        }
    }
    if (r.errorCount() != before) return;
    QString why;
    const auto fit = soil::fitCalibration(c.samples, c.degree, why);
    if (!fit) {
        r.fail(n, QStringLiteral("samples: %1").arg(why));
        return;
    }
    c.calibration.a = fit->calibration.a;
    c.calibration.b = fit->calibration.b;
    c.calibration.c = fit->calibration.c;
    c.residuals = fit->residuals;
    c.rms = fit->rms;
    if (fit->rms <= POOR_FIT_RMS) return;
    std::size_t worst = 0;
    for (std::size_t i = 1; i < fit->residuals.size(); ++i)
        if (std::fabs(fit->residuals[i]) > std::fabs(fit->residuals[worst])) worst = i;
    const soil::SamplePair& s = c.samples[worst];
    c.warning = ConfigError{
        at[worst],
        QStringLiteral(
            "samples: a poor fit, rms %1 points (above %2): sample %3 [%4, %5] is %6 points off the "
            "fitted %7 %; check it%8")
            .arg(fit->rms, 0, 'f', 2)
            .arg(POOR_FIT_RMS)
            .arg(worst + 1)
            .arg(s.raw)
            .arg(s.vwc)
            .arg(fit->residuals[worst], 0, 'f', 2)
            .arg(c.calibration.apply(s.raw), 0, 'f', 2)
            .arg(c.degree == 1 ? QStringLiteral(", or fit a parabola (degree = 2)") : QString()),
        {}};
}

// A calibration's keys, from its own file or a sensor's inline table; `at` is where a missing key
// is told.
void readCalibration(Reader& r, const toml::table& t, Where at, SoilCalibration& c) {
    r.keys(t, "the calibration", {"id", "date", "degree", "samples", "a", "b", "c"});
    if (!t.contains("id")) r.fail(at, "the calibration needs id = \"its name, such as plot3-2026-05\"");
    r.string(t, "id", c.calibration.id, false);
    if (const toml::node* n = t.get("date")) {
        if (const auto* d = n->as_date())
            c.calibration.date = QDate(d->get().year, d->get().month, d->get().day);
        else
            r.fail(*n, QStringLiteral("date: must be a day without quotes, such as 2026-05-04, not %1")
                           .arg(n->is_string() ? "a string" : typeName(*n)));
    } else {
        r.fail(at, "the calibration needs date = the day of its samples, such as 2026-05-04");
    }
    r.integer(t, "degree", 1, 2, c.degree);
    const toml::node* samples = t.get("samples");
    const bool coefficients = t.contains("a") || t.contains("b") || t.contains("c");
    if (samples && coefficients) {
        r.fail(*samples, "samples: give samples to fit or the coefficients a, b and c of a fit, not both");
    } else if (samples) {
        readSamples(r, *samples, c);
    } else if (coefficients) {
        // Wide bounds: they only keep out what no calibration is (inf, nan, a typo's magnitude).
        const auto a = r.number(t, "a", -1000, 1000);
        const auto b = r.number(t, "b", -1000, 1000);
        const auto cc = r.number(t, "c", -1000, 1000);
        if (!t.contains("a") || !t.contains("b"))
            r.fail(at, "the calibration needs both a and b (vwc = a + b*raw + c*raw^2)");
        if (c.degree == 1 && cc && *cc != 0 && t.contains("degree"))
            r.fail(*t.get("c"), "c: a line (degree = 1) has no raw^2 term; give degree = 2 or leave c out");
        c.calibration.a = a.value_or(0);
        c.calibration.b = b.value_or(1);
        c.calibration.c = cc.value_or(0);
        if (cc && *cc != 0) c.degree = 2;
    } else {
        r.fail(at,
               "the calibration needs samples = [[raw %, volumetric %], ...] or the coefficients a, b and "
               "c of a fit");
    }
}

// A sensor's calibration: its file's path (from the configuration's folder) or an inline table.
void readSensorCalibration(Reader& r, const toml::table& sensor, SensorConfig& s) {
    const toml::node* n = sensor.get("calibration");
    if (!n) return;
    SoilCalibration c;
    const std::size_t before = r.errorCount();
    if (const toml::table* t = n->as_table()) {
        readCalibration(r, *t, whereOf(n->source()), c);
    } else if (n->is_string()) {
        QString path;
        if (r.path(sensor, "calibration", path).isEmpty()) return;
        for (ConfigError& e : loadSoilCalibration(path, c)) {
            if (e.at.line == 0) {
                r.fail(*n, QStringLiteral("calibration: %1: %2").arg(path, e.message));
                continue;
            }
            e.file = path;
            r.fail(std::move(e));
        }
        if (c.warning) c.warning->file = path;
    } else {
        r.fail(*n, QStringLiteral("calibration: must be a calibration file's path in quotes or a table "
                                  "{ id = ..., date = ..., samples = ... }, not %1")
                       .arg(typeName(*n)));
        return;
    }
    if (r.errorCount() != before) return;
    s.soil.calibration = c.calibration;
    s.calibration = std::move(c);
}

void readSensor(Reader& r, const toml::table& t, SensorConfig& s) {
    s.at = whereOf(t.source());
    r.keys(t, "[[bus.sensor]]",
           {"address", "name", "site", "depth_cm", "every_ms", "field_capacity", "wilting_point", "refill",
            "allowed_depletion", "root_zone_cm", "stuck_after", "alarm_after_s", "calibration",
            "rise_within_s", "rise_by"});
    if (!t.contains("address")) r.fail(s.at, "[[bus.sensor]] needs address = 1..247");
    r.integer(t, "address", sensor::MIN_ADDRESS, sensor::MAX_ADDRESS, s.address);
    if (auto name = r.string(t, "name")) {
        if (topicPart(*name))
            s.name = *name;
        else
            r.fail(*t.get("name"), "name: must be non-empty, without + # or /, not '" + *name + "'");
    }
    r.string(t, "site", s.site);
    if (const toml::node* n = t.get("depth_cm")) {
        const auto depth = [&](const toml::node& d) -> std::optional<int> {
            const auto* v = d.as_integer();
            if (v && v->get() >= 0 && v->get() <= 1000) return static_cast<int>(v->get());
            r.fail(d, v ? QStringLiteral("depth_cm: must be 0..1000, not %1").arg(v->get())
                        : QStringLiteral("depth_cm: must be a whole number of cm 0..1000, not %1")
                              .arg(typeName(d)));
            return std::nullopt;
        };
        if (const auto* a = n->as_array()) {
            if (a->size() != 2) {
                r.fail(*n, "depth_cm: must be one depth (15) or two: [from, to]");
            } else {
                const auto from = depth(*a->get(0));
                const auto to = depth(*a->get(1));
                if (from && to && *from > *to)
                    r.fail(
                        *n,
                        QStringLiteral("depth_cm: from must not be below to: [%1, %2]").arg(*from).arg(*to));
                else if (from && to) {
                    s.depthFromCm = from;
                    s.depthToCm = to;
                }
            }
        } else if (n->is_integer()) {
            if (const auto d = depth(*n)) s.depthFromCm = s.depthToCm = d;
        } else {
            r.fail(*n, QStringLiteral("depth_cm: must be one depth (15) or two: [from, to], not %1")
                           .arg(typeName(*n)));
        }
    }
    if (const auto every = r.integer(t, "every_ms", 100, 86400000)) s.everyMs = static_cast<int>(*every);
    s.soil.fieldCapacity = r.number(t, "field_capacity", 0, 100);
    s.soil.wiltingPoint = r.number(t, "wilting_point", 0, 100);
    s.soil.refill = r.number(t, "refill", 0, 100);
    s.soil.allowedDepletion = r.number(t, "allowed_depletion", 0, 1);
    s.soil.rootZoneCm = r.number(t, "root_zone_cm", 1, 1000);
    r.integer(t, "stuck_after", 2, 100000, s.stuckAfter);
    r.integer(t, "alarm_after_s", 0, 86400, s.alarmAfterS);
    readSensorCalibration(r, t, s);
    r.integer(t, "rise_within_s", 1, 604800, s.riseWithinS);
    if (const auto by = r.number(t, "rise_by", 0.01, 100)) s.riseBy = *by;
    // How the settings stand together, told at the sensor.
    for (const QString& why : s.soil.check())
        r.fail(s.at, why);
}

void readBus(Reader& r, const toml::table& t, BusConfig& b) {
    b.at = whereOf(t.source());
    r.keys(t, "[[bus]]",
           {"name", "port", "dtu", "heartbeat", "every_ms", "baud", "format", "echo", "timeout_ms", "retries",
            "sensor"});
    if (!t.contains("name")) r.fail(b.at, "[[bus]] needs name = \"its name in topics and logs\"");
    if (auto name = r.string(t, "name")) {
        if (topicPart(*name))
            b.name = *name;
        else
            r.fail(*t.get("name"), "name: must be non-empty, without + # or /, not '" + *name + "'");
    }
    if (!t.contains("port")) r.fail(b.at, "[[bus]] needs port = \"what --port takes\"");
    r.string(t, "port", b.port, false);
    if (const toml::node* n = t.get("port")) b.portAt = whereOf(n->source());
    r.string(t, "dtu", b.dtu, false);
    r.string(t, "heartbeat", b.heartbeat, false);
    if (const toml::node* n = t.get("dtu")) b.dtuAt = whereOf(n->source());
    r.integer(t, "every_ms", 100, 86400000, b.everyMs);
    if (const auto baud = r.integer(t, "baud", 1, 10000000)) {
        if (sensor::isStandardRate(static_cast<int>(*baud))) {
            b.baud = static_cast<int>(*baud);
        } else {
            QStringList rates;
            for (int rate : sensor::STANDARD_RATES)
                rates << QString::number(rate);
            r.fail(*t.get("baud"),
                   QStringLiteral("baud: must be one of %1, not %2").arg(rates.join(", ")).arg(*baud));
        }
    }
    if (auto s = r.string(t, "format")) {
        static const QRegularExpression form(QStringLiteral("^8[NEO][12]$"),
                                             QRegularExpression::CaseInsensitiveOption);
        if (form.match(*s).hasMatch())
            b.format = s->toUpper();
        else
            r.fail(*t.get("format"), "format: must be 8N1, 8E1, 8O1, 8N2, 8E2 or 8O2, not '" + *s + "'");
    }
    r.boolean(t, "echo", b.echo);
    r.integer(t, "timeout_ms", 1, 60000, b.timeoutMs);
    r.integer(t, "retries", 0, 100, b.retries);

    const toml::node* sensors = t.get("sensor");
    const toml::array* list = sensors ? sensors->as_array() : nullptr;
    if (sensors && !(list && list->is_array_of_tables())) {
        r.fail(*sensors, "sensor: must be [[bus.sensor]] tables");
        return;
    }
    if (!list || list->empty()) {
        r.fail(b.at, "[[bus]] has no sensors: add [[bus.sensor]] tables after it");
        return;
    }
    std::map<int, Where> addresses;
    for (const toml::node& n : *list) {
        SensorConfig s;
        readSensor(r, *n.as_table(), s);
        if (s.address == 0) continue;
        const auto [it, fresh] =
            addresses.emplace(s.address, whereOf(n.as_table()->get("address")->source()));
        if (!fresh) {
            r.fail(*n.as_table()->get("address"),
                   QStringLiteral("address: %1 is already on this bus at line %2")
                       .arg(s.address)
                       .arg(it->second.line));
            continue;
        }
        b.sensors.push_back(std::move(s));
    }
}

// Where a fault of the file as a whole is shown: after its last line, where it would be mended.
Where endOf(const QByteArray& text) {
    return {static_cast<int>(text.count('\n')) + 1, 1};
}

// The file read and parsed as TOML, a `what` file ("configuration"); false, with the error, when it
// cannot be.
bool parseFile(const QString& path, const char* what, QByteArray& text, toml::table& root,
               std::vector<ConfigError>& errors) {
    QFile file(path);
    if (QFileInfo(path).isDir()) {
        errors.push_back({{}, QStringLiteral("is a folder, not a %1 file").arg(what), {}});
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        errors.push_back({{}, QStringLiteral("cannot read: %1").arg(file.errorString()), {}});
        return false;
    }
    text = file.read(MAX_CONFIG_BYTES + 1);
    if (text.size() > MAX_CONFIG_BYTES) {
        errors.push_back(
            {{}, QStringLiteral("is longer than %1 bytes: not a %2").arg(MAX_CONFIG_BYTES).arg(what), {}});
        return false;
    }
    try {
        root = toml::parse(std::string_view(text.constData(), static_cast<size_t>(text.size())),
                           path.toStdString());
    } catch (const toml::parse_error& e) {
        errors.push_back({whereOf(e.source()), q(e.description()), {}});
        return false;
    }
    return true;
}

void sortByPlace(std::vector<ConfigError>& errors) {
    std::stable_sort(errors.begin(), errors.end(), [](const ConfigError& a, const ConfigError& b) {
        return std::tie(a.at.line, a.at.column) < std::tie(b.at.line, b.at.column);
    });
}

} // namespace

std::vector<ConfigError> loadSoilCalibration(const QString& path, SoilCalibration& out) {
    out = SoilCalibration{};
    out.file = path;
    std::vector<ConfigError> errors;
    QByteArray text;
    toml::table root;
    if (!parseFile(path, "calibration", text, root, errors)) return errors;
    Reader r(QFileInfo(path).absolutePath(), errors);
    readCalibration(r, root, endOf(text), out);
    sortByPlace(errors);
    return errors;
}

QString calibrationText(const SoilCalibration& c) {
    const soil::Calibration& k = c.calibration;
    const auto term = [](double v, const char* what) {
        return (v < 0 ? QStringLiteral(" - ") : QStringLiteral(" + ")) +
               QString::number(std::fabs(v), 'g', 6) + QLatin1String(what);
    };
    QString text =
        QStringLiteral("%1 of %2: vwc = %3").arg(k.id, k.date.toString(Qt::ISODate)).arg(k.a, 0, 'g', 6) +
        term(k.b, "*raw") + (c.degree == 2 ? term(k.c, "*raw^2") : QString());
    if (c.rms)
        text +=
            QStringLiteral(", rms %1 points over %2 samples").arg(*c.rms, 0, 'f', 2).arg(c.samples.size());
    return text;
}

QString sensorKey(const BusConfig& b, int address) {
    return b.name + QLatin1Char('/') + QString::number(address);
}

const SensorConfig* sensorOf(const CollectorConfig& c, const QString& key) {
    for (const BusConfig& b : c.buses)
        for (const SensorConfig& sc : b.sensors)
            if (sensorKey(b, sc.address) == key) return &sc;
    return nullptr;
}

std::vector<ConfigError> loadConfig(const QString& path, CollectorConfig& out) {
    out = CollectorConfig{};
    std::vector<ConfigError> errors;
    QByteArray text;
    toml::table root;
    if (!parseFile(path, "configuration", text, root, errors)) return errors;

    Reader r(QFileInfo(path).absolutePath(), errors);
    r.keys(root, "the file", {"spool", "mqtt", "influx", "metrics", "bus"});
    const auto section = [&](const char* key) -> const toml::table* {
        const toml::node* n = root.get(key);
        if (!n) return nullptr;
        if (!n->is_table()) r.fail(*n, QStringLiteral("%1: must be a table: [%1]").arg(key));
        return n->as_table();
    };
    if (const auto* t = section("spool")) readSpool(r, *t, out.spool);
    if (const auto* t = section("mqtt")) readMqtt(r, *t, out.mqtt);
    if (const auto* t = section("influx")) readInflux(r, *t, out.influx);
    if (const auto* t = section("metrics")) readMetrics(r, *t, out.metrics);
    if (!root.contains("mqtt") && !root.contains("influx"))
        r.fail(endOf(text),
               "neither [mqtt] nor [influx]: nothing would leave the spool; configure one or both");

    const toml::node* buses = root.get("bus");
    const toml::array* list = buses ? buses->as_array() : nullptr;
    if (buses && !(list && list->is_array_of_tables()))
        r.fail(*buses, "bus: must be [[bus]] tables");
    else if (!list || list->empty())
        r.fail(endOf(text), "no [[bus]]: at least one bus with its [[bus.sensor]] tables is needed");
    else {
        std::map<QString, Where> names;
        for (const toml::node& n : *list) {
            BusConfig b;
            readBus(r, *n.as_table(), b);
            if (!b.name.isEmpty()) {
                const auto [it, fresh] = names.emplace(b.name, whereOf(n.as_table()->get("name")->source()));
                if (!fresh) {
                    r.fail(*n.as_table()->get("name"),
                           QStringLiteral("name: bus '%1' is already named at line %2")
                               .arg(b.name)
                               .arg(it->second.line));
                    continue;
                }
            }
            out.buses.push_back(std::move(b));
        }
    }
    sortByPlace(errors);
    return errors;
}

QString describe(const QString& path, const ConfigError& e) {
    const QString& file = e.file.isEmpty() ? path : e.file;
    if (e.at.line <= 0) return QStringLiteral("%1: %2").arg(file, e.message);
    return QStringLiteral("%1:%2:%3: %4").arg(file).arg(e.at.line).arg(e.at.column).arg(e.message);
}

} // namespace kv::collect
