#include "cli/history.h"

#include "cli/console.h"
#include "kv_version.h"
#include "sensor/protocol.h"
#include "sensor/values.h"
#include "serial/lineformat.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QStandardPaths>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kv::cli {
namespace {

QString& operatorName() {
    static QString name;
    return name;
}

QString stateName(Written::State s) {
    return s == Written::Yes  ? QStringLiteral("written")
           : s == Written::No ? QStringLiteral("not written")
                              : QStringLiteral("unknown");
}

// Whether the file reached the disk: a power cut after the write must not lose the entry.
bool synced(QFile& f) {
    const int fd = f.handle();
#ifdef Q_OS_WIN
    return ::_commit(fd) == 0;
#else
    return ::fsync(fd) == 0;
#endif
}

QString paramName(int i) {
    return i >= 0 && i < sensor::PARAMETER_COUNT ? QLatin1String(sensor::parameterInfo(i).key)
                                                 : QStringLiteral("parameter %1").arg(i);
}

QString calibrationText(const QJsonObject& c) {
    const auto num = [&](const char* key, int decimals) {
        return QString::number(c.value(QLatin1String(key)).toDouble(), 'f', decimals);
    };
    QStringList lines;
    lines << QStringLiteral("  points: RL %1 ohm read as RA %2 ohm, RH %3 ohm read as RB %4 ohm (%5)")
                 .arg(num("RL", 2), num("RA", 2), num("RH", 2), num("RB", 2),
                      c.value(QLatin1String("measured")).toBool() ? QStringLiteral("measured")
                                                                  : QStringLiteral("given"));
    lines << QStringLiteral("  LA %1 -> %2, OF %3 -> %4")
                 .arg(c.value(QLatin1String("laBefore")).toInt())
                 .arg(c.value(QLatin1String("la")).toInt())
                 .arg(c.value(QLatin1String("ofBefore")).toInt())
                 .arg(c.value(QLatin1String("of")).toInt());
    lines << QStringLiteral("  residuals as the registers hold them: %1 ohm at RL, %2 ohm at RH")
                 .arg(num("residualLowOhm", 3), num("residualHighOhm", 3));
    return lines.join(QLatin1Char('\n'));
}

QString addressText(const QJsonObject& e) {
    const QString moved = e.value(QLatin1String("moved")).toString();
    const QString to = QString::number(e.value(QLatin1String("newAddress")).toInt());
    const QString how = moved == QLatin1String("yes")  ? QStringLiteral("changed")
                        : moved == QLatin1String("no") ? QStringLiteral("not changed")
                                                       : QStringLiteral("unknown whether changed");
    QString text =
        QStringLiteral("  address %1 -> %2: %3").arg(e.value(QLatin1String("address")).toInt()).arg(to, how);
    if (moved == QLatin1String("yes") && !e.value(QLatin1String("acknowledged")).toBool(true))
        text += QStringLiteral(", acknowledgement lost");
    const QString m = e.value(QLatin1String("measurement")).toString();
    if (!m.isEmpty())
        text +=
            QStringLiteral("; at %1: %2")
                .arg(moved == QLatin1String("no") ? e.value(QLatin1String("address")).toInt() : to.toInt())
                .arg(m);
    return text;
}

} // namespace

QString historyPath() {
    QString given = qEnvironmentVariable("KV7702R_HISTORY");
    if (!given.isEmpty()) return given;
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/history.jsonl");
}

void setHistoryOperator(const QString& name) {
    operatorName() = name;
}

QJsonObject historyEntry(const Session& s, const QString& action) {
    QJsonObject e{
        {QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {QStringLiteral("tool"), QStringLiteral("kv7702r " KV_VERSION)},
        {QStringLiteral("port"), s.device()},
        {QStringLiteral("rate"), s.rate()},
        {QStringLiteral("format"), formatName(s.format())},
        {QStringLiteral("address"), s.address()},
        {QStringLiteral("action"), action},
    };
    const QString who =
        operatorName().isEmpty() ? qEnvironmentVariable("KV7702R_OPERATOR").trimmed() : operatorName();
    if (!who.isEmpty()) e.insert(QStringLiteral("operator"), who);
    return e;
}

QJsonObject writeRecord(int parameter, std::uint16_t before, std::uint16_t sent, const Written& w) {
    QJsonObject r{
        {QStringLiteral("parameter"), parameter},
        {QStringLiteral("name"), paramName(parameter)},
        {QStringLiteral("before"), before},
        {QStringLiteral("sent"), sent},
        {QStringLiteral("state"), stateName(w.state)},
        {QStringLiteral("acknowledged"), w.acknowledged},
    };
    if (!w.held.empty()) r.insert(QStringLiteral("readBack"), w.held.front());
    return r;
}

bool appendHistory(const QJsonObject& entry, const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    // Unbuffered: the line goes out in one write, whole beside another run's.
    QByteArray line = QJsonDocument(entry).toJson(QJsonDocument::Compact);
    line += '\n';
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered) ||
        f.write(line) != line.size() || !synced(f)) {
        error(QStringLiteral("the history was not written to %1: %2 (the sensor's change stands; "
                             "KV7702R_HISTORY names another file)")
                  .arg(path, f.errorString()));
        return false;
    }
    return true;
}

HistoryFile readHistory(const QString& path) {
    HistoryFile h;
    QFile f(path);
    if (!f.exists()) return h;
    if (!f.open(QIODevice::ReadOnly)) {
        h.skipped << QStringLiteral("%1: cannot be read: %2").arg(path, f.errorString());
        return h;
    }
    int number = 0;
    while (!f.atEnd()) {
        const QByteArray line = f.readLine().trimmed();
        ++number;
        if (line.isEmpty()) continue;
        QJsonParseError why{};
        const QJsonDocument doc = QJsonDocument::fromJson(line, &why);
        const QJsonObject e = doc.object();
        if (!doc.isObject() || !e.value(QLatin1String("port")).isString() ||
            !e.value(QLatin1String("address")).isDouble() || !e.value(QLatin1String("action")).isString()) {
            h.skipped << QStringLiteral("%1 line %2 is no history entry (%3); skipped")
                             .arg(path)
                             .arg(number)
                             .arg(why.error != QJsonParseError::NoError
                                      ? why.errorString()
                                      : QStringLiteral("no port, address or action"));
            continue;
        }
        h.entries.push_back(e);
    }
    return h;
}

std::vector<QJsonObject> lifeOf(const std::vector<QJsonObject>& entries, const QString& port, int address) {
    std::vector<QJsonObject> life;
    int at = address;
    for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
        if (e->value(QLatin1String("port")).toString() != port) continue;
        const int from = e->value(QLatin1String("address")).toInt();
        const bool moved = e->value(QLatin1String("moved")).toString() == QLatin1String("yes");
        const int to = e->value(QLatin1String("newAddress")).toInt(-1);
        if (moved && to == at && from != at) {
            life.push_back(*e);
            at = from;
        } else if (from == at) {
            // The sensor that left this address before is another one.
            if (moved && to != at) break;
            life.push_back(*e);
        }
    }
    std::reverse(life.begin(), life.end());
    return life;
}

QStringList portsWith(const std::vector<QJsonObject>& entries, int address) {
    QStringList ports;
    for (const QJsonObject& e : entries) {
        const QString port = e.value(QLatin1String("port")).toString();
        if (!ports.contains(port) && !lifeOf(entries, port, address).empty()) ports << port;
    }
    return ports;
}

QString writeText(const QJsonObject& w) {
    const QString state = w.value(QLatin1String("state")).toString();
    const bool acked = w.value(QLatin1String("acknowledged")).toBool();
    const QJsonValue back = w.value(QLatin1String("readBack"));
    QString text = QStringLiteral("%1: %2 -> %3, ")
                       .arg(w.value(QLatin1String("name")).toString())
                       .arg(w.value(QLatin1String("before")).toInt())
                       .arg(w.value(QLatin1String("sent")).toInt());
    if (state == QLatin1String("unknown"))
        return text + QStringLiteral("unknown: sent, but it could not be read back");
    if (state == QLatin1String("written"))
        text += acked ? QStringLiteral("written") : QStringLiteral("written, acknowledgement lost");
    else
        text += acked ? QStringLiteral("acknowledged but not kept") : QStringLiteral("not written");
    if (back.isDouble()) text += QStringLiteral(", read back as %1").arg(back.toInt());
    return text;
}

QString entryText(const QJsonObject& e) {
    const QString who = e.value(QLatin1String("operator")).toString();
    QStringList lines;
    lines << QStringLiteral("%1  %2 at address %3 on %4 (%5 baud, %6)%7, %8")
                 .arg(e.value(QLatin1String("time")).toString(), e.value(QLatin1String("action")).toString())
                 .arg(e.value(QLatin1String("address")).toInt())
                 .arg(e.value(QLatin1String("port")).toString())
                 .arg(e.value(QLatin1String("rate")).toInt())
                 .arg(e.value(QLatin1String("format")).toString(),
                      who.isEmpty() ? QString() : QStringLiteral(" by ") + who,
                      e.value(QLatin1String("tool")).toString());
    const QString file = e.value(QLatin1String("file")).toString();
    if (!file.isEmpty()) lines << QStringLiteral("  from %1").arg(file);
    if (e.contains(QLatin1String("newAddress"))) lines << addressText(e);
    if (e.contains(QLatin1String("calibration")))
        lines << calibrationText(e.value(QLatin1String("calibration")).toObject());
    QStringList same;
    for (const QJsonValue v : e.value(QLatin1String("held")).toArray()) {
        const QJsonObject h = v.toObject();
        const int i = h.value(QLatin1String("parameter")).toInt();
        same << QStringLiteral("%1 %2").arg(paramName(i)).arg(h.value(QLatin1String("value")).toInt());
    }
    if (!same.isEmpty()) lines << QStringLiteral("  held already: ") + same.join(QStringLiteral(", "));
    for (const QJsonValue w : e.value(QLatin1String("writes")).toArray())
        lines << QStringLiteral("  ") + writeText(w.toObject());
    return lines.join(QLatin1Char('\n'));
}

std::map<int, std::optional<std::uint16_t>> lastKnownParameters(const std::vector<QJsonObject>& life) {
    std::map<int, std::optional<std::uint16_t>> known;
    for (const QJsonObject& e : life) {
        for (const QJsonValue v : e.value(QLatin1String("held")).toArray()) {
            const QJsonObject h = v.toObject();
            known[h.value(QLatin1String("parameter")).toInt()] =
                static_cast<std::uint16_t>(h.value(QLatin1String("value")).toInt());
        }
        for (const QJsonValue v : e.value(QLatin1String("writes")).toArray()) {
            const QJsonObject w = v.toObject();
            const int i = w.value(QLatin1String("parameter")).toInt();
            const QString state = w.value(QLatin1String("state")).toString();
            const QJsonValue back = w.value(QLatin1String("readBack"));
            if (back.isDouble())
                known[i] = static_cast<std::uint16_t>(back.toInt());
            else if (state == QLatin1String("not written"))
                known[i] = static_cast<std::uint16_t>(w.value(QLatin1String("before")).toInt());
            else
                known[i] = std::nullopt;
        }
    }
    return known;
}

} // namespace kv::cli
