#include "cli/paramsfile.h"

#include "cli/readings.h"

#include "sensor/protocol.h"
#include "sensor/values.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <map>
#include <vector>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kv::cli {
namespace {

const QLatin1String kMarker("kv7702r-params");
// A params file is a few hundred bytes; anything far larger is not one.
constexpr qint64 kMaxFileBytes = 64 * 1024;

// A whole number 0..65535 in a JSON value.
std::optional<std::uint16_t> registerValue(const QJsonValue& v) {
    if (!v.isDouble()) return std::nullopt;
    const double d = v.toDouble();
    if (!(d >= 0 && d <= 65535) || d != static_cast<double>(static_cast<int>(d))) return std::nullopt;
    return static_cast<std::uint16_t>(d);
}

// The register value of one entry of "parameters": its raw, or its value as the window reads it.
std::optional<std::uint16_t> entryValue(int i, const QJsonValue& entry, QString& why) {
    const QString key = QLatin1String(sensor::parameterInfo(i).key);
    if (!entry.isObject()) {
        why = QStringLiteral("%1 is not an object with raw or value").arg(key);
        return std::nullopt;
    }
    const QJsonObject o = entry.toObject();
    std::optional<std::uint16_t> raw;
    if (o.contains(QLatin1String("raw"))) {
        raw = registerValue(o.value(QLatin1String("raw")));
        if (!raw) {
            why = QStringLiteral("raw of %1 is not a whole number 0-65535").arg(key);
            return std::nullopt;
        }
    }
    if (o.contains(QLatin1String("value"))) {
        const QJsonValue v = o.value(QLatin1String("value"));
        const QString text = v.isString()   ? v.toString()
                             : v.isDouble() ? QString::number(v.toDouble())
                                            : QString();
        const sensor::Encoded enc = sensor::encodeParameter(i, text);
        if (enc.error != sensor::EncodeError::None) {
            why = QStringLiteral("value of %1 ('%2') does not give a register value").arg(key, text);
            return std::nullopt;
        }
        if (raw && *raw != enc.raw) {
            why = QStringLiteral("raw %1 and value '%2' of %3 disagree (the value gives %4); keep one")
                      .arg(QString::number(*raw), text, key, QString::number(enc.raw));
            return std::nullopt;
        }
        raw = enc.raw;
    }
    if (!raw) why = QStringLiteral("%1 has neither raw nor value").arg(key);
    return raw;
}

// The text of the JSON string whose opening quote is at `at`, read by Qt's own JSON reader;
// `at` ends on its closing quote. The document is known to be well-formed.
QString stringAt(const QByteArray& json, qsizetype& at) {
    const qsizetype from = at;
    for (++at; at < json.size() && json[at] != '"'; ++at)
        if (json[at] == '\\') ++at;
    const QByteArray literal = '[' + json.mid(from, at - from + 1) + ']';
    return QJsonDocument::fromJson(literal).array().at(0).toString();
}

// A key given twice in one object, with both its lines; empty when there is none. The JSON
// reader keeps the last silently, and a file edited by hand may well hold an old line still.
QString duplicateKey(const QByteArray& json) {
    struct Level {
        bool object = false;
        bool expectKey = false;
        QString name; // the key this object is the value of, if any
        QString lastKey;
        std::map<QString, int> lines;
    };
    std::vector<Level> open;
    int line = 1;
    for (qsizetype at = 0; at < json.size(); ++at) {
        const char c = json[at];
        if (c == '\n') {
            ++line;
        } else if (c == '"') {
            const QString text = stringAt(json, at);
            if (open.empty() || !open.back().object || !open.back().expectKey) continue;
            Level& in = open.back();
            in.expectKey = false;
            in.lastKey = text;
            const auto [seen, first] = in.lines.emplace(text, line);
            if (first) continue;
            // One pass: a key holding "%3" is named as it is.
            return QStringLiteral("\"%1\" is given twice%2, on lines %3 and %4; keep one")
                .arg(text,
                     in.name.isEmpty() ? QString() : QStringLiteral(" in \"") + in.name + QLatin1Char('"'),
                     QString::number(seen->second), QString::number(line));
        } else if (c == '{' || c == '[') {
            Level next;
            next.object = c == '{';
            next.expectKey = next.object;
            if (!open.empty() && open.back().object) next.name = open.back().lastKey;
            open.push_back(std::move(next));
        } else if ((c == '}' || c == ']') && !open.empty()) {
            open.pop_back();
        } else if (c == ',' && !open.empty() && open.back().object) {
            open.back().expectKey = true;
        }
    }
    return {};
}

} // namespace

QByteArray toJson(const ParamsFile& f) {
    QString text = QStringLiteral("{\n  \"%1\": %2,\n").arg(kMarker).arg(PARAMS_FILE_VERSION);
    text +=
        QStringLiteral("  \"tool\": %1,\n  \"saved\": %2,\n").arg(jsonString(f.tool), jsonString(f.saved));
    // One pass: a port or format holding "%1" is written as it is, not filled in.
    text += QStringLiteral("  \"port\": %1, \"rate\": %2, \"format\": %3, \"address\": %4,\n")
                .arg(jsonString(f.port), QString::number(f.rate), jsonString(f.format),
                     QString::number(f.address));
    text += QStringLiteral("  \"parameters\": {");
    for (std::size_t k = 0; k < f.parameters.size(); ++k) {
        const auto [i, raw] = f.parameters[k];
        text += QStringLiteral("%1\n    %2: {\"register\": %3, \"raw\": %4, \"value\": %5}")
                    .arg(k == 0 ? QString() : QStringLiteral(","))
                    .arg(jsonString(QLatin1String(sensor::parameterInfo(i).key)))
                    .arg(sensor::parameterReadRegister(i))
                    .arg(raw)
                    .arg(jsonString(sensor::parameterText(i, raw)));
    }
    text += QStringLiteral("\n  }\n}\n");
    return text.toUtf8();
}

ParamsParsed parseParams(const QByteArray& json) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        return {std::nullopt,
                QStringLiteral("not JSON: %1 at byte %2").arg(error.errorString()).arg(error.offset)};
    if (!doc.isObject()) return {std::nullopt, QStringLiteral("not a JSON object")};
    if (const QString twice = duplicateKey(json); !twice.isEmpty()) return {std::nullopt, twice};
    const QJsonObject root = doc.object();
    const QJsonValue version = root.value(kMarker);
    if (!version.isDouble())
        return {std::nullopt, QStringLiteral("no \"%1\": not a kv7702r params file").arg(kMarker)};
    if (version.toDouble() != PARAMS_FILE_VERSION)
        return {std::nullopt, QStringLiteral("params file version %1; this kv7702r reads version %2")
                                  .arg(version.toDouble(), 0, 'g', QLocale::FloatingPointShortest)
                                  .arg(PARAMS_FILE_VERSION)};
    ParamsFile f;
    f.tool = root.value(QLatin1String("tool")).toString();
    f.saved = root.value(QLatin1String("saved")).toString();
    f.port = root.value(QLatin1String("port")).toString();
    f.rate = root.value(QLatin1String("rate")).toInt();
    f.format = root.value(QLatin1String("format")).toString();
    f.address = root.value(QLatin1String("address")).toInt();
    f.savedByTool = f.tool.startsWith(QLatin1String("kv7702r ")) &&
                    QDateTime::fromString(f.saved, Qt::ISODateWithMs).isValid();
    const QJsonValue params = root.value(QLatin1String("parameters"));
    if (!params.isObject() || params.toObject().isEmpty())
        return {std::nullopt, QStringLiteral("no \"parameters\" object with at least one parameter")};
    const QJsonObject p = params.toObject();
    for (auto it = p.begin(); it != p.end(); ++it) {
        const int i = sensor::parameterIndex(it.key());
        // By name only: a number as a key would be easy to mistake for a register.
        if (i < 0 || it.key() != QLatin1String(sensor::parameterInfo(i).key))
            return {std::nullopt, QStringLiteral("unknown parameter \"%1\"").arg(it.key())};
        QString why;
        const auto raw = entryValue(i, it.value(), why);
        if (!raw) return {std::nullopt, why};
        f.parameters.emplace_back(i, *raw);
    }
    std::sort(f.parameters.begin(), f.parameters.end());
    return {f, {}};
}

QString saveParamsFile(const QString& path, const ParamsFile& file) {
    // QSaveFile would rename its temporary file over a device or pipe of that name (a serial
    // port given as FILE by mistake), which root may do.
    const QFileInfo target(path);
    if (target.exists() && !target.isFile() && !target.isDir())
        return QStringLiteral("not a regular file (a device or pipe?)");
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly)) return out.errorString();
    const QByteArray bytes = toJson(file);
    if (out.write(bytes) != bytes.size()) {
        out.cancelWriting();
        return out.errorString();
    }
    return out.commit() ? QString() : out.errorString();
}

ParamsParsed loadParamsFile(const QString& path) {
    // A pipe's open waits for a writer and its read for the end, a device's may never end:
    // only a regular file is read, and it is known before the port is touched.
    const QFileInfo target(path);
    if (target.isDir()) return {std::nullopt, QStringLiteral("a directory, not a params file")};
    if (target.exists() && !target.isFile())
        return {std::nullopt, QStringLiteral("not a regular file (a device or pipe?)")};
    QFile in;
#ifdef Q_OS_UNIX
    // Opened without blocking and checked again: a pipe put in its place meanwhile waits for nothing.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {std::nullopt, QString::fromLocal8Bit(std::strerror(errno))};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return {std::nullopt, QStringLiteral("not a regular file (a device or pipe?)")};
    }
    if (!in.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return {std::nullopt, in.errorString()};
    }
#else
    in.setFileName(path);
    if (!in.open(QIODevice::ReadOnly)) return {std::nullopt, in.errorString()};
#endif
    const QByteArray bytes = in.read(kMaxFileBytes + 1);
    if (bytes.size() > kMaxFileBytes)
        return {std::nullopt,
                QStringLiteral("larger than %1 KiB: not a params file").arg(kMaxFileBytes / 1024)};
    return parseParams(bytes);
}

} // namespace kv::cli
