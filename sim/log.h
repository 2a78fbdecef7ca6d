#pragma once
// The --verbose log: one stdout line per request (<<), reply (>>), bytes a DTU sends of its
// own (-> registration, -> heartbeat) and connection event (--), flushed at once.

#include "sim/rtu.h"

#include <string>

namespace kvsim {

void logFrame(const char* direction, const Bytes& bytes);
void logEvent(const std::string& text);

} // namespace kvsim
