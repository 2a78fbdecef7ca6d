#pragma once
// What the benchmarks share: message boxes that only print, and the line's CRC-16
// (computed here so that a bench's far end does not lean on the tool's codec).

#include "window/window.h"

#include <QString>

#include <cstddef>
#include <cstdio>

namespace kvbench {

class SilentBoxes : public kv::MessageBoxes {
public:
    void show(const QString& text, const QString&, kv::Icon) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
};

inline quint16 crc16(const unsigned char* p, std::size_t n) {
    quint16 crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

} // namespace kvbench
