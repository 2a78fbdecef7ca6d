#pragma once
// Parameter registers, device address and the two-point temperature calibration.

namespace kv {

struct Window;

// Click on cmdREAD(i): read parameter i into txtsetValue(i).
void readParameter(Window& w, int i);
// Click on cmdSet(i): write txtsetValue(i) to parameter i.
void writeParameter(Window& w, int i);
// Click on "读地址": ask whoever is connected (device 250) for its address.
void readAddress(Window& w);
// Click on "执行": move the device at txtSetID(0) to address txtSetID(1).
void changeAddress(Window& w);
// Click on cmdRead0 (target 7, txtRA) or txtRead100 (target 8, txtRB).
void readResistance(Window& w, int readTarget);
// Click on "计数参数": slope and offset register values into txtsetValue(4) and (5).
void computeCalibration(Window& w);

inline constexpr int kTargetRA = 7;
inline constexpr int kTargetRB = 8;

} // namespace kv
