#pragma once
// comm.set: one ASCII line "port,rate" ended by CR LF, in the program's folder (or the
// user's configuration folder). The window reads and writes it; the command line reads it.

#include <QString>

#include <optional>

namespace kv {

inline constexpr char kSettingsFileName[] = "comm.set";

// What the reader got. Values are taken in order, port first; a value that does not
// fit a signed 16-bit integer stops the reading there (the caller treats that like
// a missing value).
struct CommSetValues {
    bool opened = false;
    std::optional<int> port;
    std::optional<int> rate;
    bool complete() const { return opened && port && rate; }
};

// Values are separated by a comma or a line end; blanks around a value are skipped;
// a value that is not a number reads as 0; numbers are rounded to the nearest whole.
[[nodiscard]] CommSetValues parseCommSet(const QByteArray& content);
[[nodiscard]] CommSetValues readCommSet(const QString& path);

// Where comm.set is read and written: beside the program while its folder takes files
// (a portable copy behaves as designed); otherwise in the user's configuration folder,
// read from beside the program until the user has a file there.
struct CommSetPaths {
    QString read;
    QString write;
};
[[nodiscard]] CommSetPaths commSetPaths(const QString& programDir, const QString& configDir, bool programDirTakesFiles);
// True when a file can be created in dir (tried, so read-only mounts and ACLs count).
[[nodiscard]] bool folderTakesFiles(const QString& dir);
// The setup program's uninstaller, left beside the programs it installed.
inline constexpr char kUninstallerName[] = "uninstall.exe";
// True when comm.set belongs beside the program: its folder takes files and holds no copy
// installed by a package (under /usr) or by the setup program (a per-user installation
// takes files, yet its settings belong to the user, as with every installed copy).
[[nodiscard]] bool keepsSettingsBeside(const QString& programDir);
// commSetPaths' read path, with keepsSettingsBeside. The program's folder is tried for files
// only when the user's configuration folder holds a comm.set: otherwise both answers are the
// file beside the program, and every start would create and delete a file there to learn it.
[[nodiscard]] QString commSetReadPath(const QString& programDir, const QString& configDir);

// "port,rate\r\n", written to a temporary file and renamed over the old one, so a
// failed save leaves the old file as it was. Returns an empty string on success,
// else the reason.
[[nodiscard]] QString writeCommSet(const QString& path, int port, int rate);

} // namespace kv
