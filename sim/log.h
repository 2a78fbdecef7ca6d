#pragma once
// The --verbose log: one stdout line per request (<<) and reply (>>), flushed at once.

#include "sim/rtu.h"

namespace kvsim {

void logFrame(const char* direction, const Bytes& bytes);

} // namespace kvsim
