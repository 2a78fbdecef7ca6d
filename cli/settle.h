#pragma once
// Calibration aids: the PT100's resistance shown live while the probe settles in its bath,
// and taken as the mean of several readings once their spread stays under a bound.

#include "cli/session.h"

#include <optional>

namespace kv::cli {

struct SettleOptions {
    int samples = 10;        // readings averaged, one every READING_EVERY_MS
    double spreadOhm = 0.05; // their largest minus their smallest, at most
};
// Between readings: ten span five seconds, long enough to see a probe still drifting.
inline constexpr int READING_EVERY_MS = 500;
// A resistance that has not settled by then is reported, not waited for.
inline constexpr int SETTLE_WITHIN_S = 120;

struct Settled {
    double meanOhm = 0;
    double spreadOhm = 0;
    int readings = 0; // taken in all, the settling ones too
};

// Shows the resistance on a terminal, about twice a second, until the operator presses Enter;
// elsewhere only asks. False at the end of input.
[[nodiscard]] bool awaitWithResistance(Session& s, const QString& prompt);
// The mean of the last `samples` readings once their spread is within the bound; empty, after
// saying why, with the exit code in `code`, when a reading fails, is no PT100's, or the
// readings do not settle within SETTLE_WITHIN_S.
[[nodiscard]] std::optional<Settled> settledResistance(Session& s, const SettleOptions& o, int& code);

} // namespace kv::cli
