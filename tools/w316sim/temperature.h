// Channel temperatures and their conversion to the modules' raw readings.
#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace w316sim {

// Raw reading of a temperature: 32000 + 16 per degree Celsius, rounded to the
// nearest step (halves away from zero) and held within 0..65535.
uint16_t RawFromCelsius(double celsius);
double CelsiusFromRaw(uint16_t raw);

// What one channel reads over time.
class ChannelModel {
 public:
  enum class Kind { Fixed, Raw, Ramp, Noise };

  ChannelModel() = default;
  static ChannelModel Fixed(double celsius);
  static ChannelModel Raw(uint16_t raw);
  // From `from` to `to` in a straight line over `seconds`, counted from
  // `startMicros`, then holding at `to`. seconds <= 0 is at `to` at once.
  static ChannelModel Ramp(double from, double to, double seconds, int64_t startMicros);
  // Uniformly distributed within center +- amplitude, a new draw per reading.
  static ChannelModel Noise(double center, double amplitude);

  Kind kind() const { return kind_; }
  double Celsius(int64_t nowMicros, std::mt19937_64& rng) const;
  uint16_t Sample(int64_t nowMicros, std::mt19937_64& rng) const;
  // "25.5C", "raw 34001", "ramp 20.0C->30.0C in 60s", "noise 25.0C+-0.5C".
  std::string Describe() const;

 private:
  Kind kind_ = Kind::Fixed;
  double a_ = 0.0;  // Fixed: the value; Ramp: from; Noise: center
  double b_ = 0.0;  // Ramp: to; Noise: amplitude
  double seconds_ = 0.0;
  int64_t start_ = 0;
  uint16_t raw_ = 0;
};

// The start-up temperature of module `module`, channel `channel`:
// 20 + module + channel / 8 degrees, so every channel of 32 modules is distinct
// (raw 32320 + 16 * module + 2 * channel) and well inside the valid range.
double DefaultCelsius(int module, int channel);

}  // namespace w316sim
