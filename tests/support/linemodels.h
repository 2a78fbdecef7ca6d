#pragma once
// Sensors as real lines have them, modelled on the fake line: each a few numbers. They
// answer with their own framing and CRC (the virtual sensor's), never the tool's.

#include "fakeline.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <vector>

namespace kv::fake {

struct Model {
    const char* name = "";
    double turnMinMs = 1; // each reply's pause after the request, drawn between the two
    double turnMaxMs = 5;
    double lateChance = 0; // a reply this often comes this much later still
    double lateMinMs = 0;
    double lateMaxMs = 0;
    bool dropWhileBusy = false; // requests heard while a reply is due are lost, not queued
    double noisePerSecond = 0;  // bursts of random bytes, between frames and across them
    double crcChance = 0;       // a reply with one byte damaged
    bool echo = false;          // an adapter that hears its own transmission
    bool severalAnswer = false; // every sensor answers the address read, one after another
    bool silentSpell = false;   // a sensor falls silent for seconds, then answers again
    bool unplug = false;        // the adapter goes away for a while and comes back
    double exceptionChance = 0; // a reply is exception 04 instead (late ones too)
    int pastRequests = 0;       // up to this many reads of an earlier run each sensor still works through
};

// Prompt; slow with jitter; late replies that queue; late replies that drop; noise; CRC
// errors; an echoing adapter; several sensors answering the address read; silent then
// back; an unplug; late exceptions; late replies garbled; noise while a garbled reply ends;
// an earlier run's reads still queued.
[[nodiscard]] const std::vector<Model>& models();

struct Reply {
    QByteArray frame;
    qint64 endNs = 0; // its last byte reached the master
};

// A frame given in hex, sealed with its CRC by the virtual sensor's own code.
[[nodiscard]] QByteArray sealedHex(const char* hexBody);

// A request as the sensors heard it, by the virtual sensor's own framing: its bytes when
// they are one sound 8-byte request, else none.
[[nodiscard]] std::vector<std::uint8_t> heardRequest(const FakeLine& line, int index);
// When the sensors heard the request's last byte: once it has crossed the line.
[[nodiscard]] qint64 heardAtNs(const FakeLine& line, int index);

// Sensors on one fake line, answering as the model says.
class Bus {
public:
    Bus(FakeLine& line, const Model& model, const std::vector<std::uint8_t>& addresses, std::uint32_t seed);

    // The sound replies the sensors sent to request `index` of the line.
    [[nodiscard]] const std::vector<Reply>& repliesTo(int index) const;
    // What a sensor's register holds now.
    [[nodiscard]] std::uint16_t holds(std::uint8_t address, int reg) const;
    // How many requests the sensors heard and dropped or ignored.
    [[nodiscard]] int dropped() const { return dropped_; }

    // What a test decides for a request, besides the model.
    enum class Fate {
        Normal,
        Unanswered, // carried out, never answered
        Ignored,    // never heard
        Refused,    // answered with exception 04
    };
    std::function<Fate(int index, const QByteArray& request)> script;
    // What a sensor's register reads now, where a test decides it (a probe settling in its
    // bath); none: what the sensor holds.
    std::function<std::optional<std::uint16_t>(std::uint8_t address, int reg)> reads;
    // A sensor's pause before each reply, where a test decides it (sensors of different
    // latency on one line); none: the model's.
    std::function<std::optional<double>(std::uint8_t address)> turnOf;

private:
    struct Sensor {
        std::uint8_t address = 1;
        std::array<std::uint16_t, 9> regs{};
        qint64 busyUntilNs = 0;
        std::uint16_t serial = 0;
        qint64 silentFromNs = -1;
        qint64 silentUntilNs = -1;
    };
    void onRequest(int index);
    [[nodiscard]] QByteArray answer(Sensor& s, const QByteArray& request);
    void send(const QByteArray& frame, qint64 startNs, int index);
    void scheduleNoise(qint64 untilNs);
    void schedulePast();

    FakeLine& line_;
    Model model_;
    std::vector<Sensor> sensors_;
    std::mt19937 rng_;
    std::vector<std::vector<Reply>> replies_;
    int dropped_ = 0;
};

} // namespace kv::fake
