#include "serial/byteline.h"

namespace kv {
namespace {

// Above this rate the frame gap stays at its fixed 1.75 ms, as Modbus over serial line says.
constexpr int kFixedGapAboveBaud = 19200;
constexpr double kFixedGapMs = 1.75;

} // namespace

double lineTimeMs(int bytes, int baud) {
    return baud > 0 ? bytes * BITS_PER_CHARACTER * 1000.0 / baud : 0.0;
}

double frameSilenceMs(int baud) {
    if (baud <= 0 || baud > kFixedGapAboveBaud) return kFixedGapMs;
    return 3.5 * BITS_PER_CHARACTER * 1000.0 / baud;
}

} // namespace kv
