#include "collect/export.h"

#include "sensor/records.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimeZone>

#include <cmath>

namespace kv::collect {

namespace {

constexpr qint64 HOUR_MS = 3600 * 1000;
constexpr qint64 DAY_MS = 24 * HOUR_MS;
// ISMN's geophysical bound: volumetric water above it is flagged C02.
constexpr double MAX_THETA = 0.60;

std::optional<double> number(const QJsonValue& v) {
    if (!v.isDouble() || !std::isfinite(v.toDouble())) return std::nullopt;
    return v.toDouble();
}

QString utc(qint64 unixMs, const char* format) {
    return QDateTime::fromMSecsSinceEpoch(unixMs, QTimeZone::utc()).toString(QLatin1String(format));
}

// The ISMN flags of a reading's value, or none when the value is not written from it.
std::optional<QString> flagOf(IsmnVariable variable, const ExportReading& r, double value,
                              std::optional<double> previous) {
    if (variable == IsmnVariable::SoilTemperature) {
        // ISMN's C and D flags judge soil moisture: a temperature is written only when good.
        if (r.status == QLatin1String("ok") && r.flags.isEmpty()) return QStringLiteral("G");
        return std::nullopt;
    }
    QStringList flags;
    if (r.status == QLatin1String("implausible") || value < 0 || value > MAX_THETA)
        flags << (value < 0 ? QStringLiteral("C01") : QStringLiteral("C02"));
    else if (r.status != QLatin1String("ok"))
        return std::nullopt;
    for (const QString& f : r.flags) {
        if (f == QLatin1String("stale")) return std::nullopt; // no fresh value: no ISMN flag fits
        if (f == QLatin1String("stuck")) flags << QStringLiteral("D09");
        if (f == QLatin1String("jump"))
            flags << (!previous           ? QStringLiteral("D06")
                      : value < *previous ? QStringLiteral("D07")
                                          : QStringLiteral("D08"));
        if (f == QLatin1String("implausible") && flags.isEmpty())
            flags << (value < 0 ? QStringLiteral("C01") : QStringLiteral("C02"));
    }
    flags.removeDuplicates();
    return flags.isEmpty() ? QStringLiteral("G") : flags.join(QLatin1Char(','));
}

QString depthText(int cm, int decimals) {
    return QString::number(cm / 100.0, 'f', decimals);
}

} // namespace

std::optional<ExportReading> exportReading(const Record& record, QString* why) {
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(record.json, &parseError);
    if (!doc.isObject()) {
        if (why)
            *why = QStringLiteral("reading %1: its JSON is no object (%2)")
                       .arg(record.seq)
                       .arg(parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                                         : QStringLiteral("not an object"));
        return std::nullopt;
    }
    const QJsonObject o = doc.object();
    ExportReading r;
    r.seq = record.seq;
    r.unixMs = record.unixMs;
    r.sensor = record.sensor;
    r.bus = o.value(QLatin1String("bus")).toString();
    r.name = o.value(QLatin1String("name")).toString();
    r.site = o.value(QLatin1String("site")).toString();
    r.address = o.value(QLatin1String("address")).toInt();
    r.status = o.value(QLatin1String("status")).toString();
    r.moisture = number(o.value(QLatin1String("moisture_percent")));
    r.temperature = number(o.value(QLatin1String("temperature_celsius")));
    r.moistureCalibrated = number(o.value(QLatin1String("moisture_calibrated")));
    r.calibration = o.value(QLatin1String("calibration")).toString();
    const QJsonArray depth = o.value(QLatin1String("depth_cm")).toArray();
    if (depth.size() == 2 && depth[0].isDouble() && depth[1].isDouble()) {
        r.depthFromCm = depth[0].toInt();
        r.depthToCm = depth[1].toInt();
    }
    for (const auto& f : o.value(QLatin1String("flags")).toArray())
        if (f.isString()) r.flags << f.toString();
    if (r.bus.isEmpty()) r.bus = record.sensor.section(QLatin1Char('/'), 0, 0);
    if (r.address == 0) r.address = record.sensor.section(QLatin1Char('/'), 1, 1).toInt();
    return r;
}

std::optional<qint64> parseExportTime(const QString& text, bool end) {
    const QString t = text.trimmed();
    static const QRegularExpression day(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    if (day.match(t).hasMatch()) {
        const QDate d = QDate::fromString(t, Qt::ISODate);
        if (!d.isValid()) return std::nullopt;
        const qint64 start = QDateTime(d, QTime(0, 0), QTimeZone::utc()).toMSecsSinceEpoch();
        return end ? start + DAY_MS : start;
    }
    // RFC 3339 insists on a zone: a time without one would be read in whatever zone the host has.
    static const QRegularExpression time(QStringLiteral(
        "^\\d{4}-\\d{2}-\\d{2}[Tt ]\\d{2}:\\d{2}(:\\d{2}(\\.\\d+)?)?([Zz]|[+-]\\d{2}:\\d{2})$"));
    if (!time.match(t).hasMatch()) return std::nullopt;
    const QDateTime at = QDateTime::fromString(
        QString(t).replace(QLatin1Char(' '), QLatin1Char('T')).toUpper(), Qt::ISODateWithMs);
    if (!at.isValid()) return std::nullopt;
    return at.toMSecsSinceEpoch();
}

QByteArray exportCsvHeader(bool withCalibration) {
    return QByteArray(
               "seq,time,bus,address,name,site,depth_from_cm,depth_to_cm,moisture,temperature,status") +
           (withCalibration ? ",moisture_calibrated,calibration\n" : "\n");
}

bool carriesCalibration(const Record& record) {
    return record.json.contains("\"moisture_calibrated\":");
}

QByteArray exportCsvRow(const ExportReading& r, bool withCalibration) {
    const auto opt = [](const auto& v) { return v ? QString::number(*v) : QString(); };
    QStringList fields{QString::number(r.seq),    utc(r.unixMs, "yyyy-MM-ddTHH:mm:ss.zzzZ"),
                       sensor::csvField(r.bus),   QString::number(r.address),
                       sensor::csvField(r.name),  sensor::csvField(r.site),
                       opt(r.depthFromCm),        opt(r.depthToCm),
                       opt(r.moisture),           opt(r.temperature),
                       sensor::csvField(r.status)};
    if (withCalibration) fields << opt(r.moistureCalibrated) << sensor::csvField(r.calibration);
    return fields.join(QLatin1Char(',')).toUtf8() + '\n';
}

void HourlySeries::add(const ExportReading& r) {
    const std::optional<double> raw = variable_ == IsmnVariable::SoilTemperature ? r.temperature
                                      : r.moistureCalibrated                     ? r.moistureCalibrated
                                                                                 : r.moisture;
    if (!raw) return;
    const double value = variable_ == IsmnVariable::SoilMoisture ? *raw / 100.0 : *raw;
    // The full hour nearest the reading: a reading at hh:30 goes to the next hour.
    const qint64 hour =
        (r.unixMs + HOUR_MS / 2) / HOUR_MS * HOUR_MS - (r.unixMs + HOUR_MS / 2 < 0 ? HOUR_MS : 0);
    if (hour != hour_) flush();
    hour_ = hour;
    const std::optional<QString> flag = flagOf(variable_, r, value, last_);
    last_ = value;
    if (!flag) return;
    const bool good = r.status == QLatin1String("ok") && r.flags.isEmpty();
    Candidate& c = good ? good_ : flagged_;
    const qint64 distance = std::abs(r.unixMs - hour);
    if (c.distance >= 0 && c.distance <= distance) return;
    c.distance = distance;
    c.value = {hour, value, *flag};
}

void HourlySeries::flush() {
    if (good_.distance >= 0)
        out_.push_back(good_.value);
    else if (flagged_.distance >= 0)
        out_.push_back(flagged_.value);
    good_ = flagged_ = Candidate{};
}

std::vector<HourValue> HourlySeries::finish() {
    flush();
    last_.reset();
    return std::exchange(out_, {});
}

QString ismnName(const QString& text) {
    QString out;
    for (const QChar c : text.trimmed())
        out += (c.isLetterOrNumber() && c.unicode() < 0x80) || c == QLatin1Char('-') || c == QLatin1Char('.')
                   ? c
                   : QLatin1Char('-');
    return out.isEmpty() ? QStringLiteral("-") : out;
}

void IsmnExport::add(const ExportReading& r) {
    std::optional<std::pair<int, int>> depth;
    if (r.depthFromCm && r.depthToCm)
        depth = {*r.depthFromCm, *r.depthToCm};
    else if (const auto it = options_.depthsCm.find(r.sensor); it != options_.depthsCm.end())
        depth = it->second;
    if (!depth) {
        ++noDepth_[r.sensor];
        return;
    }
    const QString station = ismnName(r.site.isEmpty() ? r.bus : r.site);
    // The sensor's key in the name keeps two sensors at one station and depth apart.
    const QString sensorName = QStringLiteral("KV7702R-%1-%2").arg(ismnName(r.bus)).arg(r.address);
    const QString key =
        QStringLiteral("%1|%2|%3|%4").arg(station, sensorName).arg(depth->first).arg(depth->second);
    auto [it, added] = groups_.try_emplace(key);
    Group& g = it->second;
    if (added) {
        g.station = station;
        g.sensorName = sensorName;
        g.fromCm = depth->first;
        g.toCm = depth->second;
    }
    g.moisture.add(r);
    g.temperature.add(r);
}

std::vector<IsmnFile> IsmnExport::files(QStringList* notes) {
    std::vector<IsmnFile> out;
    const QString network = ismnName(options_.network);
    for (auto& [key, g] : groups_) {
        for (const auto& [variable, code] : {std::pair{&g.moisture, "sm"}, std::pair{&g.temperature, "ts"}}) {
            const std::vector<HourValue> values = variable->finish();
            if (values.empty()) continue;
            // Header: CSE (the network's, as it belongs to none), network, station, latitude,
            // longitude, elevation, depth from and to (m), sensor.
            QString text = QStringList{network,
                                       network,
                                       g.station,
                                       options_.latitude,
                                       options_.longitude,
                                       options_.elevation,
                                       depthText(g.fromCm, 2),
                                       depthText(g.toCm, 2),
                                       g.sensorName}
                               .join(QLatin1Char(' ')) +
                           QLatin1Char('\n');
            const int decimals = code == QLatin1String("sm") ? 4 : 2;
            for (const HourValue& v : values)
                text += QStringLiteral("%1 %2 %3 M\n")
                            .arg(utc(v.hourMs, "yyyy/MM/dd HH:mm"), QString::number(v.value, 'f', decimals),
                                 v.flag);
            const QString name = QStringList{network,
                                             network,
                                             g.station,
                                             QLatin1String(code),
                                             depthText(g.fromCm, 6),
                                             depthText(g.toCm, 6),
                                             g.sensorName,
                                             utc(values.front().hourMs, "yyyyMMdd"),
                                             utc(values.back().hourMs, "yyyyMMdd")}
                                     .join(QLatin1Char('_')) +
                                 QStringLiteral(".stm");
            out.push_back({network + QLatin1Char('/') + g.station + QLatin1Char('/') + name, text.toUtf8()});
        }
    }
    if (notes)
        for (const auto& [sensor, count] : noDepth_)
            *notes << QStringLiteral("%1: %2 reading(s) left out: no depth_cm for it in its readings or the "
                                     "configuration, and ISMN's files need one")
                          .arg(sensor)
                          .arg(count);
    groups_.clear();
    noDepth_.clear();
    return out;
}

} // namespace kv::collect
