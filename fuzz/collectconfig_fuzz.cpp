// The collector's configuration (collect/config) over arbitrary bytes: it is sound or each of
// its errors has a place within the file (or the file as a whole) and words; sound, every bus
// has a name, a port and sensors at addresses a bus can hold.
#include "check.h"

#include "collect/config.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstdint>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    // One file a process, rewritten each time: the loader reads a path, as the collector does.
    static const QString path =
        QDir::tempPath() + QStringLiteral("/collectconfig_fuzz.%1.toml").arg(::getpid());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 0;
    f.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    f.close();
    const int lines = static_cast<int>(std::count(data, data + size, '\n')) + 2;
    kv::collect::CollectorConfig config;
    const std::vector<kv::collect::ConfigError> errors = kv::collect::loadConfig(path, config);
    for (const auto& e : errors) {
        FUZZ_CHECK(!e.message.isEmpty());
        // A calibration file the text names is placed in that file, whatever it holds.
        if (!e.file.isEmpty()) continue;
        FUZZ_CHECK(e.at.line >= 0 && e.at.line <= lines && e.at.column >= 0);
        FUZZ_CHECK(kv::collect::describe(path, e).startsWith(path));
    }
    if (!errors.empty()) return 0;
    FUZZ_CHECK(!config.buses.empty());
    for (const auto& b : config.buses) {
        FUZZ_CHECK(!b.name.isEmpty() && !b.port.isEmpty() && !b.sensors.empty());
        for (const auto& s : b.sensors)
            FUZZ_CHECK(s.address >= 1 && s.address <= 247);
    }
    return 0;
}
