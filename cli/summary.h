#pragma once
// The summary at the end of a run: its counts, its loss and its latencies, and a line per
// sensor of a bus.

#include "cli/counts.h"

#include <cstdio>
#include <vector>

namespace kv::cli {

// Requests, replies, timeouts, CRC errors, exceptions, loss and latency of a run.
void printSummary(const Stats& stats, int measurements, int failed, std::FILE* to);

// A line per sensor (requests, replies, loss, latency), then the sensors that never
// answered, if any.
void printSensorSummaries(const std::vector<SensorSummary>& sensors, std::FILE* to);

} // namespace kv::cli
