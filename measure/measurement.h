#pragma once
// "单次", "循环", "停止" and the cycle timer's tick.

namespace kv {

struct Window;

void singleMeasurement(Window& w);
void startCycle(Window& w);
void cycleTick(Window& w);
void stopCycle(Window& w);

} // namespace kv
