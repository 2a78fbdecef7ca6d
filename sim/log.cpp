#include "sim/log.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace kvsim {

namespace {

void logLine(const char* direction, const std::string& rest) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&secs, &tm);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d %s", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms), direction);
    const std::string line = stamp + rest + '\n';
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

} // namespace

void logFrame(const char* direction, const Bytes& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string hex;
    for (uint8_t b : bytes) {
        hex += ' ';
        hex += kHex[b >> 4];
        hex += kHex[b & 0xF];
    }
    logLine(direction, hex);
}

void logEvent(const std::string& text) {
    logLine("--", " " + text);
}

} // namespace kvsim
