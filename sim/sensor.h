#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>

namespace kvsim {

// PT100 per Callendar-Van Dusen.
double cvdResistance(double celsius);
double cvdTemperature(double ohms);

struct SensorSetup {
    uint8_t address = 1;
    std::optional<double> moisture;    // fixed true moisture in %, no drift or noise
    std::optional<double> temperature; // fixed true temperature in degC, no drift or noise
    uint32_t seed = 1;
    // Answer an address change with the standard echo of the request instead of
    // the 6-byte "old 06 01 new" reply.
    bool echoAddressChange = false;
};

class Sensor {
  public:
    static constexpr uint16_t kMoistureRegister = 0;
    static constexpr uint16_t kTemperatureRegister = 1;
    static constexpr uint16_t kFirstParameterRegister = 2;
    static constexpr uint16_t kResistanceRegister = 8;
    static constexpr uint16_t kRegisterCount = 9;

    static constexpr uint16_t kParameterWriteBase = 0x0A00;
    static constexpr int kParameterCount = 7;
    static constexpr uint16_t kAddressRegister = 0x0B00;

    enum Parameter { kScale, kMoistureOffset, kMoistureMax, kMoistureMin, kSlope, kOhmOffset, kRange };

    // The deliberate error of the sensor's own resistance measurement.
    static constexpr double kRawGain = 1.006;
    static constexpr double kRawOffsetOhm = 0.35;

    explicit Sensor(const SensorSetup &setup);

    // Moves the simulated environment forward.
    void advance(double seconds);

    uint8_t address() const { return address_; }
    void setAddress(uint8_t address) { address_ = address; }
    bool echoesAddressChange() const { return echoAddressChange_; }

    bool readRegister(uint16_t reg, uint16_t &value) const;
    static bool isParameterRegister(uint16_t reg);
    // False when reg is not a parameter register.
    bool writeParameterRegister(uint16_t reg, uint16_t value);

    uint16_t parameter(int index) const { return params_.at(static_cast<size_t>(index)); }

    double trueMoisture() const;
    double trueTemperature() const;
    double trueResistance() const { return cvdResistance(trueTemperature()); }
    // Resistance in ohms as the sensor reports it in the resistance register.
    double measuredResistance() const;
    double reportedMoisture() const;
    double reportedTemperature() const;

  private:
    uint8_t address_;
    bool echoAddressChange_;
    std::optional<double> fixedMoisture_;
    std::optional<double> fixedTemperature_;
    std::array<uint16_t, kParameterCount> params_;
    std::mt19937 rng_;
    double elapsed_ = 0.0;
    double moistureWalk_ = 0.0;
    double moistureNoise_ = 0.0;
    double temperatureNoise_ = 0.0;
};

} // namespace kvsim
