#pragma once
// The summary at the end of a run: its counts, its loss and its latencies, and a line per
// sensor of a bus.

#include "cli/wallclock.h"
#include "poll/counts.h"

#include <cstdio>
#include <vector>

namespace kv::cli {

// The counts are the engine's; the command line prints them.
using poll::Counters;
using poll::SensorSummary;
using poll::Silence;
using poll::Stats;
using poll::countMeasurement;

// Requests, replies, timeouts, CRC errors, exceptions, loss and latency of a run.
void printSummary(const Stats& stats, int measurements, int failed, std::FILE* to);

// A line per sensor (requests, replies, loss, latency, and the late replies, noise,
// implausible readings and longest silence it had, when it had any), then the sensors that
// never answered, if any.
void printSensorSummaries(const std::vector<SensorSummary>& sensors, const WallClock& clock, std::FILE* to);
// The sensor's longest silence, if it had one: for a run of one sensor, whose counts are the run's.
void printSilence(const SensorSummary& sensor, const WallClock& clock, std::FILE* to);

} // namespace kv::cli
