// collect: the field collector. Polls every bus its configuration names on the one engine, commits
// every reading to the spool before anything leaves, and drains the spool into MQTT (with Home
// Assistant's discovery) and InfluxDB, each at its own pace; a service under systemd, reloaded by
// SIGHUP and ended in order by SIGTERM.

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/failure.h"
#include "cli/listenread.h"
#include "cli/readings.h"
#include "collect/config.h"
#include "collect/drain.h"
#include "collect/influx.h"
#include "collect/metrics.h"
#include "collect/mqtt.h"
#include "collect/spool.h"
#include "line/clock.h"
#include "net/dialin.h"
#include "net/redial.h"
#include "poll/engine.h"
#include "soil/alarms.h"
#include "soil/flags.h"

#include "kv_version.h"

#include <CLI/CLI.hpp>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>

#include <systemd/sd-daemon.h>

#include <atomic>
#include <csignal>
#include <map>
#include <memory>
#include <set>

namespace kv::cli {
namespace {

int runCollect(const QString& path, bool checkOnly, bool status);

// Readings taken within this long share one commit to the spool.
constexpr int COMMIT_WINDOW_MS = 200;
// Readings held while the spool refuses them (a full disk), at most; the oldest go first.
constexpr std::size_t MAX_UNCOMMITTED = 100000;

std::atomic<bool> reloadAsked{false};
extern "C" void onHangup(int) {
    reloadAsked = true;
    wakeOnSignal();
}

// A line of the collector's log on stderr, with its priority where journald reads it.
void say(int priority, const QString& text) {
    static const bool journal = qEnvironmentVariableIsSet("JOURNAL_STREAM");
    QByteArray line = text.toUtf8() + '\n';
    if (journal) line.prepend("<" + QByteArray::number(priority) + ">");
    std::fputs(line.constData(), stderr);
    std::fflush(stderr);
}
void info(const QString& text) {
    say(6, text);
}
void warn(const QString& text) {
    say(4, text);
}
void fault(const QString& text) {
    say(3, text);
}

// One bus as the collector polls it: a port of its own, or a DTU that dials in.
struct Bus {
    collect::BusConfig config;
    QString port; // as readings name it
    std::unique_ptr<Session> session;
    net::DialInBus* dtu = nullptr;
    std::unique_ptr<line::Discipline> discipline; // a DTU's; a session has its own
    std::unique_ptr<poll::BusPoller> poller;
    [[nodiscard]] ByteLine& line() {
        if (session) return session->link();
        return dtu->line();
    }
};

class Collector {
public:
    Collector(const collect::CollectorConfig& config, collect::Spool& spool)
        : config_(config), spool_(spool) {}
    ~Collector() { finish(); }
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // The forwarders, the dial-in servers and the ports; false, after saying why, when the
    // configuration cannot work here (a port that is no port, a listen address taken).
    [[nodiscard]] bool start();
    // Until SIGTERM (true) or SIGHUP (false).
    [[nodiscard]] bool run();

private:
    [[nodiscard]] bool startForwarders();
    [[nodiscard]] bool startMqtt();
    [[nodiscard]] bool startInflux();
    [[nodiscard]] bool startBus(const collect::BusConfig& b);
    void openPort(Bus& bus);
    void joined(net::DialInBus& dtu);
    void measured(Bus& bus, const poll::Measured& m);
    void trimSpool();
    [[nodiscard]] collect::Record recordOf(Bus& bus, const poll::Measured& m);
    // The reading's quality flags (every reading) and what it means for the soil (a sensor with settings).
    [[nodiscard]] Reading::Soil judged(const Reading& row, const collect::SensorConfig* sc,
                                       const collect::BusConfig& b);
    // The readings taken since the last commit, into the spool and on to the forwarders.
    void commit();
    void finish();
    [[nodiscard]] poll::Schedule scheduleOf(const collect::BusConfig& b) const;
    [[nodiscard]] const collect::SensorConfig* sensorOf(const collect::BusConfig& b, int address) const;
    // The sensor of a key ("<bus>/<address>") in the configuration; null when it has none.
    [[nodiscard]] const collect::SensorConfig* sensorOf(const QString& key) const;
    [[nodiscard]] soil::Alarms& alarmsOf(const QString& key, const collect::SensorConfig* sc);
    // An alarm raised or cleared: to the log, the spool (kept across restarts) and MQTT.
    void tell(const QString& key, const soil::AlarmEvent& e);
    // The alarms the spool kept from the run before, on again without an event; those whose
    // setting or sensor is gone cleared.
    void restoreAlarms();
    // Each sensor's watering whose rise the run before still awaited, awaited again while within
    // its rise_within_s.
    void restoreWaterings();
    // Waterings `kv7702r watered` recorded since the last taken.
    void takeWaterings();
    // A watering taken: awaited unless too old or of a sensor not configured, and kept so in the spool.
    void water(collect::Spool::Watering w, const QString& how);
    // The sensor's watering is awaited no more: its rise came, or no_rise was raised.
    void settled(const QString& key);

    const collect::CollectorConfig& config_;
    collect::Spool& spool_;
    poll::Engine engine_;
    std::unique_ptr<collect::MqttForwarder> mqtt_;
    std::unique_ptr<collect::InfluxForwarder> influx_;
    std::unique_ptr<collect::Drain> drain_;
    std::unique_ptr<collect::MetricsServer> metrics_;
    std::map<QString, std::unique_ptr<net::DialInHub>> hubs_; // by listen address
    std::vector<std::unique_ptr<Bus>> buses_;
    std::vector<Bus*> closed_; // ports not open yet: tried again every REOPEN_EVERY
    QTimer reopen_;
    QTimer watchdog_;
    QTimer trim_;
    qint64 sinceTrim_ = 0;                             // readings appended since the last trim
    std::vector<collect::Record> pending_;             // taken, not yet committed
    std::map<QString, soil::QualityTracker> trackers_; // by sensor key
    std::map<QString, soil::Alarms> alarms_;           // by sensor key
    QTimer watering_;                                  // looks for recorded waterings
    qint64 wateredSeen_ = 0;                           // the last recorded watering taken in this run
    bool wateringsUnread_ = false;                     // the spool's last look failed
    QTimer commit_;
    bool refused_ = false; // the spool's last append failed
    bool finished_ = false;
};

// Every configured sensor as Home Assistant is told of it.
std::vector<collect::SensorInfo> sensorInfos(const collect::CollectorConfig& config) {
    std::vector<collect::SensorInfo> sensors;
    for (const collect::BusConfig& b : config.buses)
        for (const collect::SensorConfig& sc : b.sensors) {
            collect::SensorInfo info;
            info.key = collect::sensorKey(b, sc.address);
            info.name = sc.name.isEmpty() ? b.name + QStringLiteral(" sensor ") + QString::number(sc.address)
                                          : sc.name;
            info.site = sc.site;
            info.depthFromCm = sc.depthFromCm;
            info.depthToCm = sc.depthToCm;
            info.periodMs = sc.everyMs.value_or(b.everyMs);
            // no_rise for every sensor: a watering may be told of any.
            info.problems =
                QStringList{QStringLiteral("stale"), QStringLiteral("stuck"), QStringLiteral("no_rise")};
            if (sc.soil.refillPoint()) info.problems << QStringLiteral("dry");
            if (sc.soil.fieldCapacity) info.problems << QStringLiteral("waterlogged");
            info.calibrated = sc.soil.calibration.has_value();
            sensors.push_back(info);
        }
    return sensors;
}

soil::AlarmOptions alarmOptions(const collect::SensorConfig* sc) {
    soil::AlarmOptions o;
    if (sc) {
        o.forAtLeastMs = qint64{sc->alarmAfterS} * 1000;
        o.riseWithinMs = qint64{sc->riseWithinS} * 1000;
        o.riseBy = sc->riseBy;
    }
    return o;
}

bool Collector::startMqtt() {
    mqtt_ = std::make_unique<collect::MqttForwarder>(config_.mqtt, QStringLiteral(KV_VERSION));
    QObject::connect(mqtt_.get(), &collect::MqttForwarder::note, [](const QString& t) { info(t); });
    QObject::connect(mqtt_.get(), &collect::MqttForwarder::watered, [this](const QString& key) {
        if (sensorOf(key))
            water({0, key, QDateTime::currentMSecsSinceEpoch(), std::nullopt},
                  QStringLiteral("told on MQTT"));
    });
    if (const QString why = mqtt_->start(); !why.isEmpty()) {
        fault("mqtt: " + why);
        return false;
    }
    const std::vector<collect::SensorInfo> sensors = sensorInfos(config_);
    mqtt_->announce(sensors);
    QStringList keys;
    for (const collect::SensorInfo& info : sensors)
        keys << info.key;
    // Sensors taken out of the configuration since the last start leave Home Assistant.
    QStringList gone;
    for (const QString& key :
         spool_.meta(QStringLiteral("announced")).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        if (!keys.contains(key)) gone << key;
    if (!gone.isEmpty()) {
        mqtt_->retract(gone);
        info("mqtt: Home Assistant forgets " + gone.join(QStringLiteral(", ")));
    }
    (void)spool_.setMeta(QStringLiteral("announced"), keys.join(QLatin1Char('\n')));
    return true;
}

bool Collector::startInflux() {
    influx_ = std::make_unique<collect::InfluxForwarder>(config_.influx);
    QObject::connect(influx_.get(), &collect::InfluxForwarder::note,
                     [](const QString& t) { warn("influx: " + t); });
    if (const QString why = influx_->check(); !why.isEmpty()) {
        fault("influx: " + why);
        return false;
    }
    return true;
}

bool Collector::startForwarders() {
    std::vector<collect::Forwarder*> forwarders;
    if (config_.mqtt.enabled) {
        if (!startMqtt()) return false;
        forwarders.push_back(mqtt_.get());
    }
    if (config_.influx.enabled) {
        if (!startInflux()) return false;
        forwarders.push_back(influx_.get());
    }
    drain_ = std::make_unique<collect::Drain>(spool_, forwarders, config_.spool.drainPerSecond,
                                              config_.influx.enabled ? config_.influx.batch : 500);
    QObject::connect(drain_.get(), &collect::Drain::error, [](const QString& f, const QString& why) {
        warn(f + ": " + why + "; sent again later");
    });
    return true;
}

poll::Schedule Collector::scheduleOf(const collect::BusConfig& b) const {
    poll::Schedule s;
    s.every = Millis(b.everyMs);
    s.rounds = 0;
    s.timeout = Millis(b.timeoutMs);
    s.retries = b.retries;
    for (const collect::SensorConfig& sc : b.sensors) {
        s.addresses.push_back(sc.address);
        s.everyRounds.push_back(sc.everyMs ? *sc.everyMs / b.everyMs : 1);
    }
    return s;
}

const collect::SensorConfig* Collector::sensorOf(const collect::BusConfig& b, int address) const {
    for (const collect::SensorConfig& sc : b.sensors)
        if (sc.address == address) return &sc;
    return nullptr;
}

const collect::SensorConfig* Collector::sensorOf(const QString& key) const {
    return collect::sensorOf(config_, key);
}

soil::Alarms& Collector::alarmsOf(const QString& key, const collect::SensorConfig* sc) {
    auto it = alarms_.find(key);
    if (it == alarms_.end())
        it = alarms_.emplace(key, soil::Alarms(sc ? sc->soil : soil::SoilSettings{}, alarmOptions(sc))).first;
    return it->second;
}

QString utcText(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODate);
}

// Until when a watering's rise is awaited, by its sensor's window.
qint64 awaitedUntil(const collect::Spool::Watering& w, const collect::SensorConfig& sc) {
    return w.unixMs + qint64{sc.riseWithinS} * 1000;
}

// The moisture a watering's rise is awaited from, in words.
QString riseFromText(const collect::Spool::Watering& w) {
    return w.riseFrom ? QString::number(*w.riseFrom, 'f', 2) + QStringLiteral(" %")
                      : QStringLiteral("the next reading");
}

void Collector::tell(const QString& key, const soil::AlarmEvent& e) {
    const QString name = soil::alarmName(e.kind);
    QString why;
    bool kept = true;
    if (e.raised) {
        warn(key + QStringLiteral(": ") + e.text);
        kept = spool_.raiseAlarm({key, name, e.ms, e.value, e.text}, &why);
    } else {
        info(key + QStringLiteral(": ") + e.text);
        kept = spool_.clearAlarm(key, name, &why);
    }
    if (!kept) fault(QStringLiteral("%1: the spool did not keep the %2 alarm: %3").arg(key, name, why));
    if (mqtt_) mqtt_->alarm(key, name, e.raised);
}

void Collector::restoreAlarms() {
    for (const collect::Spool::Alarm& a : spool_.alarms()) {
        const collect::SensorConfig* sc = sensorOf(a.sensor);
        const std::optional<soil::AlarmKind> kind = soil::alarmKind(a.alarm);
        QString gone;
        if (!sc)
            gone = QStringLiteral("the sensor is no longer in the configuration");
        else if (!kind)
            gone = QStringLiteral("no alarm of that name");
        else if (*kind == soil::AlarmKind::Dry && !sc->soil.refillPoint())
            gone = QStringLiteral("the sensor has no refill point in the configuration now");
        else if (*kind == soil::AlarmKind::Waterlogged && !sc->soil.fieldCapacity)
            gone = QStringLiteral("the sensor has no field capacity in the configuration now");
        if (gone.isEmpty()) {
            alarmsOf(a.sensor, sc).restore(*kind, a.sinceMs, a.value);
            info(QStringLiteral("%1: %2 still raised, since %3").arg(a.sensor, a.alarm, utcText(a.sinceMs)));
            if (mqtt_) mqtt_->alarm(a.sensor, a.alarm, true);
            continue;
        }
        info(QStringLiteral("%1: %2 cleared: %3").arg(a.sensor, a.alarm, gone));
        if (QString why; !spool_.clearAlarm(a.sensor, a.alarm, &why))
            fault(
                QStringLiteral("%1: the spool did not forget the %2 alarm: %3").arg(a.sensor, a.alarm, why));
        if (mqtt_) mqtt_->alarm(a.sensor, a.alarm, false);
    }
}

void Collector::restoreWaterings() {
    QString why;
    const std::vector<collect::Spool::Watering> awaited = spool_.awaitedWaterings(&why);
    if (!why.isEmpty()) fault("the waterings awaiting their rise cannot be read: " + why + "; none awaited");
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const collect::Spool::Watering& w : awaited) {
        const collect::SensorConfig* sc = sensorOf(w.sensor);
        if (!sc || awaitedUntil(w, *sc) <= now) continue;
        alarmsOf(w.sensor, sc).watered(w.unixMs, w.riseFrom);
        info(QStringLiteral("%1: watered at %2, still awaiting a rise by %3 points from %4 until %5")
                 .arg(w.sensor, utcText(w.unixMs))
                 .arg(sc->riseBy)
                 .arg(riseFromText(w), utcText(awaitedUntil(w, *sc))));
    }
}

void Collector::takeWaterings() {
    QString why;
    const std::vector<collect::Spool::Watering> told = spool_.untakenWaterings(wateredSeen_, &why);
    if (!why.isEmpty()) {
        if (!wateringsUnread_) fault("the recorded waterings cannot be read: " + why + "; trying again");
        wateringsUnread_ = true;
        return;
    }
    wateringsUnread_ = false;
    for (const collect::Spool::Watering& w : told) {
        // Not taken twice in this run even when the spool does not keep that it was.
        wateredSeen_ = w.id;
        water(w, QStringLiteral("recorded by kv7702r watered"));
    }
}

void Collector::water(collect::Spool::Watering w, const QString& how) {
    const collect::SensorConfig* sc = sensorOf(w.sensor);
    bool awaited = false;
    if (!sc) {
        warn(QStringLiteral("%1: a watering %2, but the sensor is no longer in the configuration; ignored")
                 .arg(w.sensor, how));
    } else if (QDateTime::currentMSecsSinceEpoch() - w.unixMs >= qint64{sc->riseWithinS} * 1000) {
        info(QStringLiteral("%1: watered at %2 (%3), more than rise_within_s = %4 ago: no rise awaited")
                 .arg(w.sensor, utcText(w.unixMs), how)
                 .arg(sc->riseWithinS));
    } else {
        soil::Alarms& alarms = alarmsOf(w.sensor, sc);
        w.riseFrom = alarms.lastMoisture();
        alarms.watered(w.unixMs, w.riseFrom);
        awaited = true;
        info(QStringLiteral("%1: watered at %2 (%3); the moisture should rise by %4 points within %5 s")
                 .arg(w.sensor, utcText(w.unixMs), how)
                 .arg(sc->riseBy)
                 .arg(sc->riseWithinS));
    }
    if (QString why; spool_.takeWatering(w, awaited, &why) == 0)
        fault(QStringLiteral("%1: the spool did not keep the watering at %2: %3; a restart or reload may "
                             "await it wrongly")
                  .arg(w.sensor, utcText(w.unixMs), why));
}

void Collector::settled(const QString& key) {
    if (QString why; !spool_.settleWaterings(key, &why))
        fault(QStringLiteral("%1: the spool did not keep that the watering's rise is awaited no more: %2; a "
                             "restart within its rise_within_s awaits it again")
                  .arg(key, why));
}

bool Collector::startBus(const collect::BusConfig& b) {
    auto bus = std::make_unique<Bus>();
    bus->config = b;
    Bus& ref = *bus;
    const PortOption port = portOption(b.port.toStdString());
    if (port.kind() == net::Scheme::Listen) {
        const QString where = net::addressText(port.where);
        auto& hub = hubs_[where];
        if (!hub) {
            hub = std::make_unique<net::DialInHub>();
            net::DialInHub::Options o;
            o.host = port.where.host;
            o.port = port.where.port;
            o.answer = Millis(b.timeoutMs);
            QByteArray heartbeat;
            if (!b.heartbeat.isEmpty() && textBytes(b.heartbeat.toStdString(), heartbeat))
                o.heartbeats.push_back(heartbeat);
            QString why;
            if (!hub->listen(o, why)) {
                fault(QStringLiteral("bus %1: cannot listen on %2: %3").arg(b.name, where, why));
                return false;
            }
            net::DialInHub::Handlers handlers;
            handlers.joined = [this](net::DialInBus& dtu) { joined(dtu); };
            handlers.probe = [this](net::DialInBus& dtu) {
                for (const auto& other : buses_)
                    if (other->dtu == &dtu && other->poller) engine_.poke(*other->poller);
            };
            handlers.note = [](const QString& note) { info(note); };
            hub->setHandlers(handlers);
            info(QStringLiteral("listening on %1 for DTUs").arg(where));
        }
        ref.port = where + QLatin1Char('/') + b.dtu;
        buses_.push_back(std::move(bus));
        return true;
    }
    CommonOptions o;
    o.port = port;
    o.rate = b.baud != 0 ? b.baud : 9600;
    o.address = b.sensors.front().address;
    o.timeoutMs = b.timeoutMs;
    o.retries = b.retries;
    o.echo = b.echo;
    if (b.format.size() == 3) {
        o.format.parity = b.format[1] == QLatin1Char('E')   ? Parity::Even
                          : b.format[1] == QLatin1Char('O') ? Parity::Odd
                                                            : Parity::None;
        o.format.stopBits = b.format[2] == QLatin1Char('2') ? 2 : 1;
    }
    o.reconnectAfter = net::RECONNECT_AFTER;
    ref.session = std::make_unique<Session>(o);
    ref.session->setFormatHint(false);
    ref.port = b.port;
    buses_.push_back(std::move(bus));
    openPort(ref);
    return true;
}

void Collector::openPort(Bus& bus) {
    if (bus.session->open() != EXIT_OK) {
        // A port missing at boot (an adapter not yet there) is waited for, as one that goes away.
        if (std::find(closed_.begin(), closed_.end(), &bus) == closed_.end()) {
            closed_.push_back(&bus);
            warn(QStringLiteral("bus %1: %2 did not open; trying again every 10 s")
                     .arg(bus.config.name, bus.port));
        }
        return;
    }
    closed_.erase(std::remove(closed_.begin(), closed_.end(), &bus), closed_.end());
    poll::BusPoller::Hooks hooks;
    hooks.measured = [this, &bus](const poll::Measured& m) {
        measured(bus, m);
        return true;
    };
    hooks.lost = [&bus](const line::Exchange* r) {
        warn(QStringLiteral("bus %1: %2 went away%3; opening it again about once a second")
                 .arg(bus.config.name, bus.port,
                      r ? QStringLiteral(" (") + describe(*r) + QLatin1Char(')') : QString()));
        return true;
    };
    hooks.reopen = [&bus](Nanos away) {
        if (!bus.session->reopen()) return false;
        info(QStringLiteral("bus %1: %2 is back after %3 s")
                 .arg(bus.config.name, bus.port)
                 .arg(static_cast<double>(wholeMs(away)) / 1000.0, 0, 'f', 1));
        return true;
    };
    bus.poller = std::make_unique<poll::BusPoller>(bus.session->discipline(), bus.session->link(),
                                                   scheduleOf(bus.config), hooks);
    engine_.add(*bus.poller, bus.session->link());
    info(QStringLiteral("bus %1: polling %2 sensor(s) on %3 every %4 ms")
             .arg(bus.config.name)
             .arg(bus.config.sensors.size())
             .arg(bus.port)
             .arg(bus.config.everyMs));
}

void Collector::joined(net::DialInBus& dtu) {
    Bus* found = nullptr;
    for (const auto& b : buses_)
        if (!b->session && b->config.dtu == dtu.name() && (!b->dtu || b->dtu == &dtu)) found = b.get();
    if (!found) {
        warn(QStringLiteral("a DTU dialled in as '%1' from %2, which no [[bus]] names: not polled")
                 .arg(dtu.name(), dtu.peer()));
        return;
    }
    Bus& bus = *found;
    const TimePoint now = dtu.line().now();
    if (bus.poller) {
        if (bus.poller->away())
            info(QStringLiteral("bus %1: its DTU dialled in again after %2 s")
                     .arg(bus.config.name)
                     .arg(static_cast<double>(wholeMs(bus.poller->awayFor(now))) / 1000.0, 0, 'f', 1));
        bus.poller->back(now);
        engine_.poke(*bus.poller);
        return;
    }
    bus.dtu = &dtu;
    bus.discipline = std::make_unique<line::Discipline>(dtu.line());
    bus.discipline->setEcho(bus.config.echo);
    poll::BusPoller::Hooks hooks;
    hooks.measured = [this, &bus](const poll::Measured& m) {
        measured(bus, m);
        return true;
    };
    hooks.lost = [&bus](const line::Exchange*) {
        warn(QStringLiteral("bus %1: its DTU went away (%2); waiting for it to dial in again")
                 .arg(bus.config.name, bus.dtu->line().errorString()));
        return true;
    };
    hooks.awayWhenIdleLost = true;
    hooks.askNow = [&bus] { return bus.dtu->probeWanted(); };
    bus.poller =
        std::make_unique<poll::BusPoller>(*bus.discipline, dtu.line(), scheduleOf(bus.config), hooks);
    info(QStringLiteral("bus %1: its DTU dialled in from %2").arg(bus.config.name, dtu.peer()));
    engine_.add(*bus.poller, dtu.line());
}

Reading::Soil Collector::judged(const Reading& row, const collect::SensorConfig* sc,
                                const collect::BusConfig& b) {
    const QString key = collect::sensorKey(b, row.address);
    auto tracker = trackers_.find(key);
    if (tracker == trackers_.end()) {
        soil::FlagOptions o;
        if (sc) o.stuckAfter = sc->stuckAfter;
        tracker = trackers_.emplace(key, soil::QualityTracker(o)).first;
    }
    const soil::Sample s = soilSample(row, sc && sc->everyMs ? *sc->everyMs : b.everyMs);
    Reading::Soil out = soilColumns(row, s, tracker->second.feed(s), sc ? sc->soil : soil::SoilSettings{});
    // The alarms judge the calibrated moisture where there is one; none of a failed reading.
    const std::optional<double> moisture = !row.ok          ? std::nullopt
                                           : out.calibrated ? out.calibrated
                                                            : s.moisture;
    soil::Alarms& alarms = alarmsOf(key, sc);
    const bool awaiting = alarms.awaitingRise();
    bool noRise = false;
    for (const soil::AlarmEvent& e : alarms.feed(row.unixMs, moisture, out.flags)) {
        tell(key, e);
        noRise = noRise || (e.kind == soil::AlarmKind::NoRise && e.raised);
    }
    if (noRise || (awaiting && !alarms.awaitingRise())) settled(key);
    return out;
}

collect::Record Collector::recordOf(Bus& bus, const poll::Measured& m) {
    Reading row;
    row.port = bus.port;
    row.address = m.sensor.address;
    // Tied anew each time: a service outlives clock steps (a board that boots before its time is set).
    stampAt(row, WallClock::tiedAt(line::nsAt(bus.line().now())), line::nsAt(m.at));
    if (!m.result)
        row.status = QStringLiteral("port lost");
    else
        fillMeasurement(row, *m.result);

    const collect::SensorConfig* sc = sensorOf(bus.config, row.address);
    row.soil = judged(row, sc, bus.config);

    collect::Record r;
    r.unixMs = row.unixMs;
    r.sensor = collect::sensorKey(bus.config, row.address);
    r.ok = row.ok;
    QString more = QStringLiteral(",\"bus\":") + jsonString(bus.config.name);
    QStringList tags;
    if (sc) {
        if (!sc->name.isEmpty()) more += QStringLiteral(",\"name\":") + jsonString(sc->name);
        if (!sc->site.isEmpty()) {
            more += QStringLiteral(",\"site\":") + jsonString(sc->site);
            tags << QStringLiteral("site=") + influxKey(sc->site);
        }
        if (sc->depthFromCm) {
            const int from = *sc->depthFromCm;
            const int to = sc->depthToCm.value_or(from);
            more += QStringLiteral(",\"depth_cm\":[%1,%2]").arg(from).arg(to);
            tags << QStringLiteral("depth_cm=%1-%2").arg(from).arg(to);
        }
    }
    if (!row.ok) warn(r.sensor + QStringLiteral(": ") + row.status);
    r.json = jsonObject(row, more).toUtf8();
    // The tags sorted, as the database keeps them: a point sent twice is one point.
    tags.sort();
    r.influx = influxLine(row, tags).toUtf8();
    return r;
}

void Collector::measured(Bus& bus, const poll::Measured& m) {
    pending_.push_back(recordOf(bus, m));
    // Readings taken close together share one commit (one sync of the disk), a window too short
    // for anyone to wait on them.
    if (!commit_.isActive()) commit_.start();
}

void Collector::commit() {
    if (pending_.empty()) return;
    QString why;
    if (!spool_.append(pending_, &why)) {
        // Kept and tried again: nothing is forwarded that a crash could lose or send twice.
        if (!refused_)
            fault(QStringLiteral("the spool refused %1 reading(s): %2; trying again")
                      .arg(pending_.size())
                      .arg(why));
        refused_ = true;
        if (pending_.size() > MAX_UNCOMMITTED) {
            const std::size_t over = pending_.size() - MAX_UNCOMMITTED;
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(over));
            fault(QStringLiteral("%1 reading(s) the spool would not take are dropped").arg(over));
        }
        commit_.start(1000);
        return;
    }
    if (refused_) info(QStringLiteral("the spool takes readings again"));
    refused_ = false;
    commit_.setInterval(COMMIT_WINDOW_MS);
    for (const collect::Record& r : pending_) {
        if (mqtt_) mqtt_->sensorResult(r.sensor, r.ok);
        if (metrics_) metrics_->counted(r.sensor, r.ok);
    }
    drain_->appended(pending_);
    sinceTrim_ += static_cast<qint64>(pending_.size());
    pending_.clear();
    // Between the minute's trims the bound is overrun by at most a tenth.
    if (sinceTrim_ >= std::max<qint64>(1, config_.spool.maxReadings / 10)) trimSpool();
}

void Collector::trimSpool() {
    sinceTrim_ = 0;
    QString why;
    if (const qint64 dropped = spool_.trim(QDateTime::currentMSecsSinceEpoch(), &why); dropped > 0)
        warn(QStringLiteral("the spool is full: the %1 oldest reading(s) dropped unsent").arg(dropped));
    else if (dropped < 0 || !why.isEmpty())
        fault("the spool could not be trimmed: " + why);
}

bool Collector::start() {
    if (!startForwarders()) return false;
    restoreAlarms();
    restoreWaterings();
    takeWaterings();
    watering_.setInterval(1000);
    QObject::connect(&watering_, &QTimer::timeout, [this] { takeWaterings(); });
    watering_.start();
    if (config_.metrics.enabled) {
        metrics_ = std::make_unique<collect::MetricsServer>(spool_);
        if (QString why; !metrics_->listen(config_.metrics.listen, &why)) {
            fault("metrics: " + why);
            return false;
        }
        info(QStringLiteral("metrics: http://%1/metrics").arg(config_.metrics.listen));
    }
    for (const collect::BusConfig& b : config_.buses)
        if (!startBus(b)) return false;
    commit_.setSingleShot(true);
    commit_.setInterval(COMMIT_WINDOW_MS);
    QObject::connect(&commit_, &QTimer::timeout, [this] { commit(); });
    reopen_.setInterval(10000);
    QObject::connect(&reopen_, &QTimer::timeout, [this] {
        for (Bus* bus : std::vector<Bus*>(closed_))
            openPort(*bus);
    });
    reopen_.start();
    // At start too: a collector restarted within every minute would never trim.
    trimSpool();
    trim_.setInterval(60000);
    QObject::connect(&trim_, &QTimer::timeout, [this] { trimSpool(); });
    trim_.start();
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) {
        watchdog_.setInterval(static_cast<int>(usec / 2000));
        QObject::connect(&watchdog_, &QTimer::timeout, [] { sd_notify(0, "WATCHDOG=1"); });
        watchdog_.start();
    }
    return true;
}

bool Collector::run() {
    engine_.run([] { return stopRequested() || reloadAsked; }, [] { return true; }, signalWakeFd());
    return !reloadAsked;
}

void Collector::finish() {
    if (finished_) return;
    finished_ = true;
    reopen_.stop();
    trim_.stop();
    watering_.stop();
    watchdog_.stop();
    commit_.stop();
    commit();
    // The last readings go out while the forwarders are there to take them, for a moment.
    QElapsedTimer sending;
    sending.start();
    const auto owed = [this] {
        qint64 n = 0;
        for (const collect::Forwarder* f :
             {static_cast<collect::Forwarder*>(mqtt_.get()), static_cast<collect::Forwarder*>(influx_.get())})
            if (f) n += spool_.backlog(f->name());
        return n;
    };
    while (drain_ && (!drain_->idle() || owed() > 0) && sending.elapsed() < 1500)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (drain_) drain_->stop();
    // The broker told we leave, and an answer on its way taken into the spool, for at most a few seconds.
    QElapsedTimer waited;
    waited.start();
    bool closed = !mqtt_;
    if (mqtt_) {
        QObject::connect(mqtt_.get(), &collect::MqttForwarder::closed, [&closed] { closed = true; });
        mqtt_->close();
    }
    while ((!closed || (drain_ && !drain_->idle())) && waited.elapsed() < 3000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    for (const auto& b : buses_)
        if (b->poller) b->poller->end(b->line().now());
}

// What the spool says: each sensor's last reading and its age, each forwarder's backlog and
// last error, the drops, the active alarms.
int printStatus(const collect::CollectorConfig& config) {
    const QString& path = config.spool.path;
    QString why;
    auto spool = collect::Spool::openReadOnly(path, &why);
    if (!spool) {
        error(QStringLiteral("cannot read the spool %1: %2").arg(path, why));
        return EXIT_USAGE;
    }
    const collect::Spool::Status s = spool->status();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    auto age = [now](qint64 ms) {
        return ms <= 0 ? QStringLiteral("never") : QStringLiteral("%1 s ago").arg((now - ms) / 1000);
    };
    print(QStringLiteral("spool %1: last reading number %2, %3 reading(s) dropped over its limits unsent, "
                         "%4 expired after they were sent")
              .arg(path)
              .arg(s.lastSeq)
              .arg(s.dropped)
              .arg(s.expired));
    for (const auto& f : s.forwarders)
        print(QStringLiteral("forwarder %1: %2 reading(s) owed, last sent %3%4")
                  .arg(f.name)
                  .arg(f.backlog)
                  .arg(age(f.lastSentMs))
                  .arg(f.lastError.isEmpty()
                           ? QString()
                           : QStringLiteral(", last error %1: %2").arg(age(f.lastErrorMs), f.lastError)));
    for (const auto& r : s.sensors)
        print(QStringLiteral("sensor %1: %2 %3: %4")
                  .arg(r.sensor, r.ok ? QStringLiteral("ok") : QStringLiteral("failed"), age(r.unixMs),
                       QString::fromUtf8(r.json)));
    for (const auto& a : s.alarms)
        print(QStringLiteral("alarm %1 %2: since %3 (%4): %5")
                  .arg(a.sensor, a.alarm, utcText(a.sinceMs), age(a.sinceMs), a.text));
    // Waterings whose rise is still awaited, within their sensor's window as the file has it now.
    for (const auto& w : spool->awaitedWaterings(&why)) {
        const collect::SensorConfig* sc = collect::sensorOf(config, w.sensor);
        if (sc && awaitedUntil(w, *sc) > now)
            print(QStringLiteral("watering %1: at %2 (%3), a rise by %4 points awaited from %5 until %6")
                      .arg(w.sensor, utcText(w.unixMs), age(w.unixMs))
                      .arg(sc->riseBy)
                      .arg(riseFromText(w), utcText(awaitedUntil(w, *sc))));
    }
    if (!why.isEmpty()) error(QStringLiteral("the recorded waterings cannot be read: %1").arg(why));
    return EXIT_OK;
}

} // namespace

bool loadChecked(const QString& path, collect::CollectorConfig& config) {
    std::vector<collect::ConfigError> errors = collect::loadConfig(path, config);
    // What only the command line knows: the ports as --port takes them.
    for (const collect::BusConfig& b : config.buses) {
        if (b.port.isEmpty()) continue;
        const PortOption port = portOption(b.port.toStdString());
        if (!port.where.ok())
            errors.push_back({b.portAt, QStringLiteral("port: %1").arg(port.where.error)});
        else if (port.kind() == net::Scheme::Listen && b.dtu.isEmpty())
            errors.push_back(
                {b.portAt, QStringLiteral("a listen:// bus needs dtu = \"the registration its DTU sends\"")});
        else if (port.kind() != net::Scheme::Listen && !b.dtu.isEmpty())
            errors.push_back({b.dtuAt, QStringLiteral("dtu: only a listen:// bus has a DTU dialling in")});
        QByteArray heartbeat;
        if (!b.heartbeat.isEmpty() && !textBytes(b.heartbeat.toStdString(), heartbeat))
            errors.push_back(
                {b.at, QStringLiteral("heartbeat: \\xNN, \\\\, \\r and \\n are the escapes it takes")});
        for (const collect::SensorConfig& sc : b.sensors)
            if (sc.everyMs && *sc.everyMs % b.everyMs != 0)
                errors.push_back(
                    {sc.at, QStringLiteral("every_ms: a sensor's period must be a multiple of its bus's "
                                           "(%1 ms), not %2")
                                .arg(b.everyMs)
                                .arg(*sc.everyMs)});
    }
    std::stable_sort(errors.begin(), errors.end(), [](const auto& a, const auto& b) {
        return a.at.line != b.at.line ? a.at.line < b.at.line : a.at.column < b.at.column;
    });
    for (const collect::ConfigError& e : errors)
        error(collect::describe(path, e));
    return errors.empty();
}

namespace {

class CollectCommand final : public Command {
public:
    explicit CollectCommand(CLI::App& sub) {
        sub.description("Polls every bus of a configuration unattended, each reading committed to a spool "
                        "and sent on to MQTT (with Home Assistant's discovery) and InfluxDB; a service.");
        sub.add_option("--config", path_, "The collector's configuration (TOML)")->required();
        sub.add_flag("--check", check_, "Only check the configuration");
        sub.add_flag("--status", status_,
                     "Print what the spool holds: each sensor's last reading, each "
                     "forwarder's backlog, the drops, the active alarms");
    }
    bool checkPort(GlobalOptions& /*options*/) override { return true; }
    int run(Context& /*context*/) override {
        return runCollect(QString::fromStdString(path_), check_, status_);
    }

private:
    std::string path_;
    bool check_ = false;
    bool status_ = false;
};

// Calibrations whose fit is poor are taken, and said: at every check, start and reload.
void warnPoorFits(const QString& path, const collect::CollectorConfig& config) {
    for (const auto& b : config.buses)
        for (const collect::SensorConfig& sc : b.sensors)
            if (sc.calibration && sc.calibration->warning)
                warn(QStringLiteral("warning: ") + collect::describe(path, *sc.calibration->warning));
}

int runCollect(const QString& path, bool checkOnly, bool status) {
    collect::CollectorConfig config;
    if (!loadChecked(path, config)) return EXIT_USAGE;
    if (status) return printStatus(config);
    warnPoorFits(path, config);
    if (checkOnly) {
        int sensors = 0;
        for (const auto& b : config.buses)
            sensors += static_cast<int>(b.sensors.size());
        print(QStringLiteral("%1: sound; %2 bus(es), %3 sensor(s)")
                  .arg(path)
                  .arg(config.buses.size())
                  .arg(sensors));
        for (const auto& b : config.buses)
            for (const collect::SensorConfig& sc : b.sensors)
                if (sc.calibration)
                    print(QStringLiteral("sensor %1: calibration %2")
                              .arg(collect::sensorKey(b, sc.address),
                                   collect::calibrationText(*sc.calibration)));
        return EXIT_OK;
    }
    QStringList forwarders;
    if (config.mqtt.enabled) forwarders << QStringLiteral("mqtt");
    if (config.influx.enabled) forwarders << QStringLiteral("influx");
    QString why;
    auto spool = collect::Spool::open(config.spool.path,
                                      {config.spool.maxReadings, qint64{config.spool.maxAgeDays} * 86400000},
                                      forwarders, &why);
    if (!spool) {
        fault(QStringLiteral("cannot open the spool %1: %2").arg(config.spool.path, why));
        return EXIT_USAGE;
    }
    std::signal(SIGHUP, onHangup);
    for (;;) {
        int code = EXIT_OK;
        bool reload = false;
        {
            Collector collector(config, *spool);
            if (!collector.start()) {
                code = EXIT_PORT;
            } else {
                sd_notify(0, "READY=1\nSTATUS=collecting");
                info(QStringLiteral("kv7702r %1 collecting; the spool's last reading is number %2")
                         .arg(QStringLiteral(KV_VERSION))
                         .arg(spool->status().lastSeq));
                reload = !collector.run();
            }
            if (reload)
                sd_notify(0, "RELOADING=1");
            else
                sd_notify(0, "STOPPING=1");
        }
        if (code != EXIT_OK) return code;
        if (!reload) break;
        reloadAsked = false;
        collect::CollectorConfig next;
        if (loadChecked(path, next)) {
            warnPoorFits(path, next);
            if (next.spool.path != config.spool.path)
                warn("the spool's path changes only at a restart; keeping " + config.spool.path);
            next.spool = config.spool;
            config = next;
            info("configuration reloaded");
        } else {
            fault("the configuration has errors; going on with the one before");
        }
    }
    info("stopped; every reading is in the spool or sent");
    return EXIT_OK;
}

} // namespace

const CommandRow collectRow{nullptr, "collect", describeAs<CollectCommand>};

} // namespace kv::cli
