#include "sim/log.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

namespace kvsim {

void logFrame(const char* direction, const Bytes& bytes) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&secs, &tm);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d %s", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms), direction);
    std::string line = stamp;
    static const char kHex[] = "0123456789ABCDEF";
    for (uint8_t b : bytes) {
        line += ' ';
        line += kHex[b >> 4];
        line += kHex[b & 0xF];
    }
    line += '\n';
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

} // namespace kvsim
