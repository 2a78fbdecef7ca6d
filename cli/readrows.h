#pragma once
// What a read run writes of its buses, whatever their kind: a row per measurement, and the
// exit code the worst of them earns.

#include "cli/readings.h"
#include "cli/wallclock.h"
#include "poll/buspoller.h"
#include "soil/flags.h"

#include <map>
#include <utility>

namespace kv::cli {

class ReadLog;
struct ReadOptions;

class ReadRows {
public:
    // With soil settings in `o`, each row carries what it means for the soil, flagged per sensor.
    ReadRows(ReadLog& log, const WallClock& clock, const ReadOptions& o);

    // The measurement's row for the bus at `port`; false when the output refused it.
    [[nodiscard]] bool write(const QString& port, const poll::Measured& m);
    [[nodiscard]] int code() const { return code_; }
    [[nodiscard]] int measurements() const { return measurements_; }
    [[nodiscard]] int failed() const { return failed_; }

private:
    void judgeSoil(Reading& row);

    ReadLog& log_;
    WallClock clock_;
    const ReadOptions& options_;
    std::map<std::pair<QString, int>, soil::QualityTracker> trackers_; // by port and address
    int measurements_ = 0;
    int failed_ = 0;
    int code_ = 0;
};

// How read polls a bus: its rounds and period as the options give them, with the run's timeout
// and retries.
[[nodiscard]] poll::Schedule scheduleFor(const ReadOptions& o, std::vector<int> addresses, int timeoutMs,
                                         int retries);

} // namespace kv::cli
