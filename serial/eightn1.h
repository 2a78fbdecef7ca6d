#pragma once
// The one line setting both ports use, the window's and the command line's: 8 data bits, no
// parity, one stop bit, no flow control (BITS_PER_CHARACTER counts its 10 bits).

class QSerialPort;

namespace kv {

// Sets an open port to `baud`, 8N1, no flow control; false when the driver refuses any of it.
[[nodiscard]] bool setEightN1(QSerialPort& port, int baud);

} // namespace kv
