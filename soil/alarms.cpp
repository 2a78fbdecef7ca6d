#include "soil/alarms.h"

namespace kv::soil {
namespace {

QString pct(double v) {
    return QString::number(v, 'f', 2) + QStringLiteral(" %");
}

QString minutes(qint64 ms) {
    // Under a minute in seconds: "for 0.01667 min" reads as a fault.
    if (ms < 60000) return QString::number(static_cast<double>(ms) / 1000.0, 'g', 3) + QStringLiteral(" s");
    return QString::number(static_cast<double>(ms) / 60000.0, 'g', 4) + QStringLiteral(" min");
}

} // namespace

QString alarmName(AlarmKind k) {
    switch (k) {
    case AlarmKind::Dry:
        return QStringLiteral("dry");
    case AlarmKind::Waterlogged:
        return QStringLiteral("waterlogged");
    case AlarmKind::Stale:
        return QStringLiteral("stale");
    case AlarmKind::Stuck:
        return QStringLiteral("stuck");
    case AlarmKind::NoRise:
        return QStringLiteral("no_rise");
    }
    return {};
}

std::optional<AlarmKind> alarmKind(const QString& name) {
    for (int i = 0; i < ALARM_KINDS; ++i)
        if (alarmName(static_cast<AlarmKind>(i)) == name) return static_cast<AlarmKind>(i);
    return std::nullopt;
}

bool Alarms::step(Hold& h, bool toward, qint64 ms) const {
    if (!toward) {
        h.since.reset();
        return false;
    }
    if (!h.since) h.since = ms;
    if (ms - *h.since < o_.forAtLeastMs) return false;
    h.on = !h.on;
    h.since.reset();
    return true;
}

void Alarms::event(std::vector<AlarmEvent>& out, AlarmKind k, qint64 ms, std::optional<double> v,
                   const QString& text) {
    AlarmEvent e;
    e.kind = k;
    e.raised = active(k);
    e.ms = ms;
    e.value = v;
    e.text = alarmName(k) + (e.raised ? QStringLiteral(" raised: ") : QStringLiteral(" cleared: ")) + text;
    out.push_back(std::move(e));
}

void Alarms::watered(qint64 ms, std::optional<double> from) {
    wateredMs_ = ms;
    beforeWatering_ = from ? from : lastMoisture_;
}

void Alarms::restore(AlarmKind k, qint64 sinceMs, std::optional<double> value) {
    Hold& h = holds_[static_cast<int>(k)];
    h.on = true;
    h.since.reset();
    if (k == AlarmKind::NoRise) {
        wateredMs_ = sinceMs;
        beforeWatering_ = value;
    }
}

std::vector<AlarmEvent> Alarms::feed(qint64 ms, std::optional<double> moisture, const QStringList& flags) {
    std::vector<AlarmEvent> out;
    const QString held = minutes(o_.forAtLeastMs);
    // A reading without a value says nothing of the soil: the moisture alarms' timers keep running.
    if (moisture) {
        const double m = *moisture;
        if (const std::optional<double> refill = s_.refillPoint()) {
            Hold& h = holds_[static_cast<int>(AlarmKind::Dry)];
            const bool toward = h.on ? m >= *refill + o_.hysteresis : m < *refill;
            if (step(h, toward, ms))
                event(out, AlarmKind::Dry, ms, m,
                      h.on ? QStringLiteral("moisture %1 below the refill point %2 for %3")
                                 .arg(pct(m), pct(*refill), held)
                           : QStringLiteral("moisture %1 back above the refill point %2 by %3 points for %4")
                                 .arg(pct(m), pct(*refill))
                                 .arg(o_.hysteresis)
                                 .arg(held));
        }
        if (s_.fieldCapacity) {
            const double fc = *s_.fieldCapacity;
            Hold& h = holds_[static_cast<int>(AlarmKind::Waterlogged)];
            const bool toward = h.on ? m <= fc - o_.hysteresis : m > fc;
            if (step(h, toward, ms))
                event(out, AlarmKind::Waterlogged, ms, m,
                      h.on ? QStringLiteral("moisture %1 above field capacity %2 for %3")
                                 .arg(pct(m), pct(fc), held)
                           : QStringLiteral("moisture %1 back below field capacity %2 by %3 points for %4")
                                 .arg(pct(m), pct(fc))
                                 .arg(o_.hysteresis)
                                 .arg(held));
        }
    }
    for (const auto& [kind, flag] : {std::pair{AlarmKind::Stale, QStringLiteral("stale")},
                                     std::pair{AlarmKind::Stuck, QStringLiteral("stuck")}}) {
        Hold& h = holds_[static_cast<int>(kind)];
        if (step(h, flags.contains(flag) != h.on, ms))
            event(out, kind, ms, moisture,
                  h.on ? QStringLiteral("readings flagged %1 for %2").arg(flag, held)
                       : QStringLiteral("no reading flagged %1 for %2").arg(flag, held));
    }
    if (wateredMs_ && moisture) {
        if (!beforeWatering_) beforeWatering_ = moisture;
        Hold& h = holds_[static_cast<int>(AlarmKind::NoRise)];
        if (*moisture >= *beforeWatering_ + o_.riseBy) {
            wateredMs_.reset();
            if (h.on) {
                h.on = false;
                event(
                    out, AlarmKind::NoRise, ms, moisture,
                    QStringLiteral("moisture rose to %1 from %2").arg(pct(*moisture), pct(*beforeWatering_)));
            }
        } else if (!h.on && ms - *wateredMs_ >= o_.riseWithinMs) {
            h.on = true;
            event(out, AlarmKind::NoRise, ms, moisture,
                  QStringLiteral("moisture %1 has not risen by %2 points from %3 within %4 of watering")
                      .arg(pct(*moisture))
                      .arg(o_.riseBy)
                      .arg(pct(*beforeWatering_), minutes(o_.riseWithinMs)));
        }
    }
    if (moisture) lastMoisture_ = moisture;
    return out;
}

} // namespace kv::soil
