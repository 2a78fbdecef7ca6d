#include "soil/flags.h"

#include <algorithm>
#include <cmath>

namespace kv::soil {

QStringList QualityTracker::feed(const Sample& s) {
    QStringList flags;
    if (!lastGoodMs_) lastGoodMs_ = s.ms;
    if (s.ok) {
        notGood_ = 0;
        lastGoodMs_ = s.ms;
    } else {
        ++notGood_;
        const bool longAgo = s.periodMs > 0 && s.ms - *lastGoodMs_ >= s.periodMs * o_.staleAfter;
        if (notGood_ >= o_.staleAfter || longAgo) flags << QStringLiteral("stale");
    }

    if (s.moisture && s.temperature) {
        if (stuckValue_ && *stuckValue_ == *s.moisture) {
            ++stuckCount_;
            stuckTempMin_ = std::min(stuckTempMin_, *s.temperature);
            stuckTempMax_ = std::max(stuckTempMax_, *s.temperature);
        } else {
            stuckValue_ = s.moisture;
            stuckCount_ = 1;
            stuckTempMin_ = stuckTempMax_ = *s.temperature;
        }
        // A soil that holds its water in still weather reads the same too: only a moving temperature tells.
        if (stuckCount_ >= o_.stuckAfter && stuckTempMax_ - stuckTempMin_ >= o_.stuckTemperature)
            flags << QStringLiteral("stuck");
    }

    if (s.implausible) flags << QStringLiteral("implausible");

    if (s.ok && s.moisture) {
        if (lastMoisture_) {
            // Over a gap of several periods the soil may change by that many periods' worth.
            const double periods = s.periodMs > 0
                                       ? std::max(1.0, static_cast<double>(s.ms - lastMoistureMs_) /
                                                           static_cast<double>(s.periodMs))
                                       : 1.0;
            if (std::fabs(*s.moisture - *lastMoisture_) > o_.jumpPoints * periods)
                flags << QStringLiteral("jump");
        }
        lastMoisture_ = s.moisture;
        lastMoistureMs_ = s.ms;
    }
    return flags;
}

} // namespace kv::soil
