#include "temperature.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace w316sim {

uint16_t RawFromCelsius(double celsius) {
  if (std::isnan(celsius)) return 0;
  const double raw = std::round(32000.0 + 16.0 * celsius);
  return static_cast<uint16_t>(std::clamp(raw, 0.0, 65535.0));
}

double CelsiusFromRaw(uint16_t raw) { return (static_cast<int32_t>(raw) - 32000) / 16.0; }

ChannelModel ChannelModel::Fixed(double celsius) {
  ChannelModel m;
  m.kind_ = Kind::Fixed;
  m.a_ = celsius;
  return m;
}

ChannelModel ChannelModel::Raw(uint16_t raw) {
  ChannelModel m;
  m.kind_ = Kind::Raw;
  m.raw_ = raw;
  return m;
}

ChannelModel ChannelModel::Ramp(double from, double to, double seconds, int64_t startMicros) {
  ChannelModel m;
  m.kind_ = Kind::Ramp;
  m.a_ = from;
  m.b_ = to;
  m.seconds_ = seconds;
  m.start_ = startMicros;
  return m;
}

ChannelModel ChannelModel::Noise(double center, double amplitude) {
  ChannelModel m;
  m.kind_ = Kind::Noise;
  m.a_ = center;
  m.b_ = std::fabs(amplitude);
  return m;
}

double ChannelModel::Celsius(int64_t nowMicros, std::mt19937_64& rng) const {
  switch (kind_) {
    case Kind::Fixed:
      return a_;
    case Kind::Raw:
      return CelsiusFromRaw(raw_);
    case Kind::Ramp: {
      if (seconds_ <= 0.0) return b_;
      const double elapsed = static_cast<double>(nowMicros - start_) / 1e6;
      const double f = std::clamp(elapsed / seconds_, 0.0, 1.0);
      return a_ + (b_ - a_) * f;
    }
    case Kind::Noise: {
      if (b_ == 0.0) return a_;
      std::uniform_real_distribution<double> dist(a_ - b_, a_ + b_);
      return dist(rng);
    }
  }
  return a_;
}

uint16_t ChannelModel::Sample(int64_t nowMicros, std::mt19937_64& rng) const {
  if (kind_ == Kind::Raw) return raw_;
  return RawFromCelsius(Celsius(nowMicros, rng));
}

std::string ChannelModel::Describe() const {
  char text[96];
  switch (kind_) {
    case Kind::Fixed:
      std::snprintf(text, sizeof text, "%.6gC", a_);
      break;
    case Kind::Raw:
      std::snprintf(text, sizeof text, "raw %u", static_cast<unsigned>(raw_));
      break;
    case Kind::Ramp:
      std::snprintf(text, sizeof text, "ramp %.6gC->%.6gC in %.6gs", a_, b_, seconds_);
      break;
    case Kind::Noise:
      std::snprintf(text, sizeof text, "noise %.6gC+-%.6gC", a_, b_);
      break;
  }
  return text;
}

double DefaultCelsius(int module, int channel) { return 20.0 + module + channel / 8.0; }

}  // namespace w316sim
