// Signal sources and the analog front end: the waveform on each input, the
// voltage of each channel, ranges and delays, and the conversion of a voltage
// into the raw code the device's calibration records give.
#include "signals.h"

#include <algorithm>
#include <cmath>

#include "peripherals.h"

namespace qsim {

// ---- waveforms -----------------------------------------------------------------

Signal Signal::dc(double volts) {
  Signal s;
  s.kind = Kind::Dc;
  s.offset = volts;
  return s;
}

Signal Signal::sine(double amplitude, double frequency, double offset, double phase) {
  Signal s;
  s.kind = Kind::Sine;
  s.amplitude = amplitude;
  s.frequency = frequency;
  s.offset = offset;
  s.phase = phase;
  return s;
}

Signal Signal::ramp(double amplitude, double frequency, double offset) {
  Signal s;
  s.kind = Kind::Ramp;
  s.amplitude = amplitude;
  s.frequency = frequency;
  s.offset = offset;
  return s;
}

Signal Signal::noise(double amplitude, uint32_t seed, double offset) {
  Signal s;
  s.kind = Kind::Noise;
  s.amplitude = amplitude;
  s.seed = seed;
  s.offset = offset;
  return s;
}

namespace {

constexpr double kTwoPi = 6.283185307179586;

// splitmix64: a stateless hash, so noise at a given instant is reproducible.
uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

}  // namespace

double Signal::valueAt(int64_t tNs) const {
  const double t = static_cast<double>(tNs) * 1e-9;
  switch (kind) {
    case Kind::Dc:
      return offset;
    case Kind::Sine:
      return offset + amplitude * std::sin(kTwoPi * frequency * t + phase);
    case Kind::Ramp: {
      const double cycles = frequency * t + phase / kTwoPi;
      return offset + amplitude * (2.0 * (cycles - std::floor(cycles)) - 1.0);
    }
    case Kind::Noise: {
      const uint64_t h = mix((static_cast<uint64_t>(seed) << 32) ^ static_cast<uint64_t>(tNs));
      const double u = static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0);  // [0, 1)
      return offset + amplitude * (2.0 * u - 1.0);
    }
  }
  return 0.0;
}

// ---- front end ---------------------------------------------------------------

namespace {
constexpr double kRangeFullScale[4] = {10.0, 1.0, 0.1, 0.01};
}  // namespace

double AnalogFrontEnd::singleEnded(int input, int64_t rel) const {
  if (outputs_ != nullptr) {
    for (const AnalogLoopback& l : cfg_.analogLoopbacks) {
      if (l.to == input) return outputs_->dacVolts(l.from);
    }
  }
  return cfg_.signals[static_cast<size_t>(input)].valueAt(rel);
}

double AnalogFrontEnd::voltage(int ch, int64_t t) const {
  if (ch < 0 || ch >= lay_.channels()) return 0.0;
  const int64_t rel = t - originNs_;
  if (ch < lay_.singleEnded) return singleEnded(ch, rel);
  const int n = ch - lay_.singleEnded;
  return singleEnded(2 * n, rel) - singleEnded(2 * n + 1, rel);
}

uint16_t AnalogFrontEnd::codeFor(int ch, int r, double v) const {
  if (ch < 0 || ch >= lay_.channels()) return 0;
  if (cfg_.family == Family::Rix) {
    SimpleRecord rec = cfg_.simpleRecords[static_cast<size_t>(ch)];
    if (rec.offset == 0xFFFFFFFF && rec.gain == 0xFFFFFFFF) rec = {0, 1u << 28};
    const double voltsPerCode = static_cast<double>(rec.gain) / 268435456.0 * 3.3 / 4095.0;
    double code = static_cast<double>(static_cast<int32_t>(rec.offset));
    if (voltsPerCode > 0 && std::isfinite(v)) code += v / voltsPerCode;
    return static_cast<uint16_t>(std::lround(std::clamp(code, 0.0, 4095.0)));
  }
  r = std::clamp(r, 0, 3);
  CodeRecord rec = cfg_.inputRecords[static_cast<size_t>(ch * 4 + r)];
  if (erased(rec)) rec = {0xFFFF, 0x8000, 0, 0xFFFF};
  const double full = kRangeFullScale[r];
  double code = rec.zero;
  if (std::isfinite(v)) {
    const double span = v >= 0 ? static_cast<double>(rec.positive) - rec.zero
                               : static_cast<double>(rec.zero) - rec.negative;
    code += v / full * span;
  }
  return static_cast<uint16_t>(std::lround(std::clamp(code, 0.0, 65535.0)));
}

uint16_t AnalogFrontEnd::rawAt(int ch, int64_t t) const {
  if (ch < 0 || ch >= lay_.channels()) return 0;  // codes of channels the family lacks
  const int r = cfg_.family == Family::Rix ? 0 : range[static_cast<size_t>(ch)];
  return codeFor(ch, r, voltage(ch, t));
}

void AnalogFrontEnd::reset() {
  range.fill(0);
  delay.fill(cfg_.family == Family::Rix ? 0 : cfg_.delayBlock[1]);
}

}  // namespace qsim
