#pragma once
// The virtual sensor's own framing and CRC, never the tool's modbus/ or sensor/ code: it
// exists to check those independently, so a mistake there must not be shared here.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvsim {

class Sensor;

using Bytes = std::vector<uint8_t>;

namespace fn {
constexpr uint8_t kReadHolding = 0x03;
constexpr uint8_t kReadInput = 0x04;
constexpr uint8_t kWriteSingle = 0x06;
constexpr uint8_t kWriteMultiple = 0x10;
} // namespace fn

namespace exc {
constexpr uint8_t kIllegalFunction = 0x01;
constexpr uint8_t kIllegalAddress = 0x02;
constexpr uint8_t kIllegalValue = 0x03;
constexpr uint8_t kDeviceFailure = 0x04;
} // namespace exc

constexpr uint8_t kBroadcastAddress = 0;
// Any sensor answers a function-3 request sent here with its own address.
constexpr uint8_t kWhoIsThereAddress = 250;
constexpr uint16_t kMaxReadCount = 125;
constexpr uint16_t kMaxWriteCount = 123;

uint16_t crc16(const uint8_t *data, size_t size);
inline uint16_t crc16(const Bytes &b) { return crc16(b.data(), b.size()); }

// Appends the CRC, low byte first.
void appendCrc(Bytes &frame);
// True when the frame is at least 4 bytes long and its last two bytes are a matching CRC.
bool crcValid(const Bytes &frame);

Bytes exceptionReply(uint8_t address, uint8_t function, uint8_t code);

// Splits a byte stream into CRC-checked request frames. Times are in microseconds on any
// monotonic clock; bytes separated by more than the gap start over, as on an RTU line.
class FrameAssembler {
  public:
    static constexpr int64_t kDefaultGapUs = 20000;

    void setGapUs(int64_t gapUs) { gapUs_ = gapUs; }
    int64_t gapUs() const { return gapUs_; }

    // Returns the frames completed by these bytes, in arrival order.
    std::vector<Bytes> feed(const uint8_t *data, size_t size, int64_t nowUs);
    // Drops a partial frame when the line has been silent longer than the gap.
    void expire(int64_t nowUs);
    size_t pending() const { return buf_.size(); }
    int64_t lastByteUs() const { return lastUs_; }

  private:
    // Length of the frame starting at buf_[0]; 0 when more bytes are needed to tell.
    size_t expectedLength() const;

    Bytes buf_;
    int64_t gapUs_ = kDefaultGapUs;
    int64_t lastUs_ = 0;
};

// Builds the reply to one request frame; empty when the sensor stays silent.
Bytes respond(const Bytes &request, Sensor &sensor);

} // namespace kvsim
