#pragma once
// A sensor's alarms, on times passed in (no timers inside): each is raised when its condition has
// held for at least `forAtLeastMs` and cleared when the opposite has held as long, the moisture
// alarms only once the moisture is back past the threshold by `hysteresis` volumetric points.
//   dry          moisture below the refill point
//   waterlogged  moisture above field capacity
//   stale        readings flagged stale
//   stuck        readings flagged stuck
//   no_rise      no rise of `riseBy` points within `riseWithinMs` of a watering the caller told of;
//                cleared by the rise, whenever it comes. The caller may tell a watering of an
//                earlier run again, with the moisture it should rise from, to await its rise here.

#include "soil/settings.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace kv::soil {

enum class AlarmKind { Dry, Waterlogged, Stale, Stuck, NoRise };
inline constexpr int ALARM_KINDS = 5;

// "dry", "waterlogged", "stale", "stuck", "no_rise".
[[nodiscard]] QString alarmName(AlarmKind k);
// The kind of a name alarmName gives; none for any other.
[[nodiscard]] std::optional<AlarmKind> alarmKind(const QString& name);

struct AlarmOptions {
    qint64 forAtLeastMs = 15 * 60 * 1000;
    double hysteresis = 1.0; // volumetric points
    qint64 riseWithinMs = 2 * 60 * 60 * 1000;
    double riseBy = 1.0; // volumetric points
};

struct AlarmEvent {
    AlarmKind kind = AlarmKind::Dry;
    bool raised = false;         // false: cleared
    qint64 ms = 0;               // the reading's time that raised or cleared it
    std::optional<double> value; // the moisture then, volumetric %
    QString text;                // in English, for the log and the status
};

class Alarms {
public:
    explicit Alarms(SoilSettings settings, AlarmOptions o = {}) : s_(std::move(settings)), o_(o) {}
    // A reading: its moisture (volumetric %, calibrated where the sensor has a calibration; none
    // without a value) and its flags. The alarms raised or cleared by it, in AlarmKind order.
    [[nodiscard]] std::vector<AlarmEvent> feed(qint64 ms, std::optional<double> moisture,
                                               const QStringList& flags);
    // The zone was watered at `ms`: the moisture should rise within riseWithinMs, from `from`
    // (a watering of an earlier run) or else from the last moisture fed (the next, when none yet).
    // It replaces any watering whose rise is still awaited.
    void watered(qint64 ms, std::optional<double> from = std::nullopt);
    // The alarm was raised at `sinceMs` in an earlier run: on again, without an event, to be
    // cleared as if it had been raised here. `value` is the moisture then; a no_rise alarm waits
    // for a rise from it.
    void restore(AlarmKind k, qint64 sinceMs, std::optional<double> value);
    [[nodiscard]] bool active(AlarmKind k) const { return holds_[static_cast<int>(k)].on; }
    // A watering's (or a restored no_rise's) rise is still awaited, whether or not no_rise is raised.
    [[nodiscard]] bool awaitingRise() const { return wateredMs_.has_value(); }
    // The last moisture fed; none before the first with a value.
    [[nodiscard]] std::optional<double> lastMoisture() const { return lastMoisture_; }

private:
    // One alarm's state: on or off, and since when the condition that would change it has held.
    struct Hold {
        bool on = false;
        std::optional<qint64> since;
    };
    // Advances `h` with a reading that does (`toward`) or does not speak for changing it; true
    // when it changes now.
    bool step(Hold& h, bool toward, qint64 ms) const;
    void event(std::vector<AlarmEvent>& out, AlarmKind k, qint64 ms, std::optional<double> v,
               const QString& text);

    SoilSettings s_;
    AlarmOptions o_;
    Hold holds_[ALARM_KINDS];
    std::optional<double> lastMoisture_;
    std::optional<qint64> wateredMs_;      // a watering whose rise is awaited
    std::optional<double> beforeWatering_; // the moisture it should rise from
};

} // namespace kv::soil
