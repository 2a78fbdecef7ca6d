#include "setup/settingsfile.h"

#include "modbus/fieldnum.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

#include <limits>

namespace kv {
namespace {

constexpr qint64 kMaxSettingsSize = 64 * 1024;

} // namespace

CommSetValues parseCommSet(const QByteArray& content) {
    CommSetValues out;
    out.opened = true;
    int taken = 0;
    int pos = 0;
    while (taken < 2 && pos < content.size()) {
        // Skip line ends between values; a blank line holds no value.
        while (pos < content.size() && (content[pos] == '\r' || content[pos] == '\n'))
            ++pos;
        if (pos >= content.size())
            break;
        int end = pos;
        while (end < content.size() && content[end] != ',' && content[end] != '\r' && content[end] != '\n')
            ++end;
        const QString token = QString::fromLatin1(content.mid(pos, end - pos));
        pos = end < content.size() && content[end] == ',' ? end + 1 : end;

        long long value = 0;
        if (const auto r = num::roundEven(token)) {
            if (*r < std::numeric_limits<qint16>::min() || *r > std::numeric_limits<qint16>::max())
                break; // overflow: the value is not taken
            value = *r;
        }
        if (taken == 0)
            out.port = static_cast<int>(value);
        else
            out.rate = static_cast<int>(value);
        ++taken;
    }
    return out;
}

CommSetValues readCommSet(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return parseCommSet(file.read(kMaxSettingsSize));
}

CommSetPaths commSetPaths(const QString& programDir, const QString& configDir, bool programDirTakesFiles) {
    const QString name = QString::fromLatin1(kSettingsFileName);
    const QString beside = QDir(programDir).filePath(name);
    if (programDirTakesFiles || configDir.isEmpty())
        return {beside, beside};
    const QString own = QDir(configDir).filePath(name);
    return {QFileInfo::exists(own) ? own : beside, own};
}

bool folderTakesFiles(const QString& dir) {
    QTemporaryFile probe(QDir(dir).filePath(QStringLiteral(".kv7702r-probe-XXXXXX")));
    return probe.open();
}

QString writeCommSet(const QString& path, int port, int rate) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    const QByteArray line = QByteArray::number(port) + ',' + QByteArray::number(rate) + "\r\n";
    if (file.write(line) != line.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return reason;
    }
    if (!file.commit())
        return file.errorString().isEmpty() ? QStringLiteral("the file could not be replaced") : file.errorString();
    return {};
}

} // namespace kv
