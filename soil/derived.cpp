#include "soil/derived.h"

namespace kv::soil {

Derived derive(const SoilSettings& s, double rawMoisture) {
    Derived d;
    d.moisture = rawMoisture;
    if (s.calibration) {
        d.calibrated = s.calibration->apply(rawMoisture);
        d.moisture = *d.calibrated;
    }
    if (s.fieldCapacity && s.wiltingPoint && *s.fieldCapacity > *s.wiltingPoint)
        d.relativeWater = (d.moisture - *s.wiltingPoint) / (*s.fieldCapacity - *s.wiltingPoint);
    if (s.fieldCapacity && s.rootZoneCm)
        d.deficitMm = (*s.fieldCapacity - d.moisture) / 100.0 * *s.rootZoneCm * 10.0;
    return d;
}

} // namespace kv::soil
