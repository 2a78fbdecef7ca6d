#pragma once
// The summary at the end of a run: its counts, its loss and its latencies, and a line per
// sensor of a bus.

#include "cli/counts.h"
#include "cli/wallclock.h"

#include <cstdio>
#include <vector>

namespace kv::cli {

// Requests, replies, timeouts, CRC errors, exceptions, loss and latency of a run.
void printSummary(const Stats& stats, int measurements, int failed, std::FILE* to);

// A line per sensor (requests, replies, loss, latency, and the late replies, noise,
// implausible readings and longest silence it had, when it had any), then the sensors that
// never answered, if any.
void printSensorSummaries(const std::vector<SensorSummary>& sensors, const WallClock& clock, std::FILE* to);
// The sensor's longest silence, if it had one: for a run of one sensor, whose counts are the run's.
void printSilence(const SensorSummary& sensor, const WallClock& clock, std::FILE* to);

} // namespace kv::cli
