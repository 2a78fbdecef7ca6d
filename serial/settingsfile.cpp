#include "serial/settingsfile.h"

#include "modbus/fieldnum.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

#include <limits>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kv {
namespace {

// The designed line is under 20 bytes; anything past this bound is never read.
constexpr qint64 kMaxSettingsSize = 4 * 1024;

// The file's first bytes, when it is a regular file after following links. A pipe, a
// terminal, a socket or a device would block the read or never end, so it counts as
// unreadable; nothing here ever waits.
std::optional<QByteArray> readRegularFile(const QString& path) {
#ifdef Q_OS_WIN
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.read(kMaxSettingsSize);
#else
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    // Checked before opening: opening a terminal or a device can have effects of its own.
    if (::stat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    // And again on what was opened, in case the path was swapped in between.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    QByteArray content(kMaxSettingsSize, '\0');
    qint64 got = 0;
    while (got < kMaxSettingsSize) {
        const ssize_t n = ::read(fd, content.data() + got, static_cast<size_t>(kMaxSettingsSize - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        got += n;
    }
    ::close(fd);
    content.truncate(got);
    return content;
#endif
}

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

        // A number, however large or written, that does not fit stops the reading; only
        // text that is not a number at all reads as 0.
        long long value = 0;
        if (const auto r = num::roundEven(token)) {
            if (*r < std::numeric_limits<qint16>::min() || *r > std::numeric_limits<qint16>::max())
                break;
            value = *r;
        } else if (num::isNumeral(token)) {
            break; // beyond 2^53 or beyond a double: far beyond 16 bits
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
    const auto content = readRegularFile(path);
    return content ? parseCommSet(*content) : CommSetValues{};
}

CommSetPaths commSetPaths(const QString& programDir, const QString& configDir, bool programDirTakesFiles) {
    const QString name = QString::fromLatin1(kSettingsFileName);
    const QString beside = QDir(programDir).filePath(name);
    if (programDirTakesFiles || configDir.isEmpty())
        return {beside, beside};
    const QString own = QDir(configDir).filePath(name);
    return {QFileInfo::exists(own) ? own : beside, own};
}

QString commSetReadPath(const QString& programDir, const QString& configDir) {
    const QString name = QString::fromLatin1(kSettingsFileName);
    if (configDir.isEmpty() || !QFileInfo::exists(QDir(configDir).filePath(name)))
        return QDir(programDir).filePath(name);
    return commSetPaths(programDir, configDir, keepsSettingsBeside(programDir)).read;
}

bool folderTakesFiles(const QString& dir) {
    QTemporaryFile probe(QDir(dir).filePath(QStringLiteral(".kv7702r-probe-XXXXXX")));
    return probe.open();
}

bool keepsSettingsBeside(const QString& programDir) {
#ifdef Q_OS_UNIX
    // /usr is read-only by the FHS, even for root: a packaged copy never writes beside itself.
    if (QDir(programDir).absolutePath().startsWith(QLatin1String("/usr/"))) return false;
#endif
    return !QFileInfo::exists(QDir(programDir).filePath(QString::fromLatin1(kUninstallerName))) &&
           folderTakesFiles(programDir);
}

QString writeCommSet(const QString& path, int port, int rate) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    const QByteArray line = QByteArray::number(port) + ',' + QByteArray::number(rate) + "\r\n";
    if (file.write(line) != line.size()) {
        QString reason = file.errorString();
        file.cancelWriting();
        return reason;
    }
    if (!file.commit())
        return file.errorString().isEmpty() ? QStringLiteral("the file could not be replaced") : file.errorString();
    return {};
}

} // namespace kv
