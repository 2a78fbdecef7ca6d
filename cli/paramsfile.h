#pragma once
// A sensor's settings in a small JSON file: the seven parameters as their registers hold
// them, with where they came from (port, rate, format, address), when, and by which tool.
// `params save` writes one; `params load` writes one back, to the same sensor or to others;
// `calibrate` keeps the LA and OF it replaces in one before writing.
//
//   {
//     "kv7702r-params": 1,
//     "tool": "kv7702r 0.1",
//     "saved": "2026-12-08T22:20:59.165Z",
//     "port": "/dev/ttyUSB0", "rate": 19200, "format": "8N1", "address": 1,
//     "parameters": {
//       "scale": {"register": 2, "raw": 10000, "value": "1.0000"},
//       ...
//     }
//   }
//
// "raw" is what is written. A file made by hand may give "value" instead (as typed in the
// window, converted as the window converts it), and any subset of the seven; a file that
// gives both must have them agree. Everything besides "kv7702r-params" and "parameters" only
// tells where the values came from. No key may be given twice, at any depth.
//
// A file is taken as the tool's own backup (`params save`, `calibrate`) when "tool" names
// kv7702r and "saved" holds a time, as both always write: it holds what a sensor held, so
// `params load` restores it even outside the window's ranges. A file without them is one made
// by hand, and its values are held to those ranges.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace kv::cli {

inline constexpr int PARAMS_FILE_VERSION = 1;

struct ParamsFile {
    QString tool;
    QString saved; // RFC 3339 UTC
    QString port;
    int rate = 0;
    QString format; // "8N1"
    int address = 0;
    // "tool" names kv7702r and "saved" is a time: a backup the tool wrote.
    bool savedByTool = false;
    // Parameter index 0..6 and its register value, in index order, each at most once.
    std::vector<std::pair<int, std::uint16_t>> parameters;
};

[[nodiscard]] QByteArray toJson(const ParamsFile& file);

struct ParamsParsed {
    std::optional<ParamsFile> file;
    QString error; // why not, when no file
};
// Reads the bytes of a params file; every fault is named (a key given twice with both its
// lines), nothing is guessed.
[[nodiscard]] ParamsParsed parseParams(const QByteArray& json);

// Writes the file whole or not at all (a file of that name stays as it was on failure);
// the reason on failure, else empty.
[[nodiscard]] QString saveParamsFile(const QString& path, const ParamsFile& file);
// Refuses anything but a regular file before reading it: a pipe or a device would never end.
[[nodiscard]] ParamsParsed loadParamsFile(const QString& path);

} // namespace kv::cli
