// The analog front end: the voltage every channel sees (the configured
// signal on each single-ended input, or the analog output an analog loopback
// wires to it; the difference of a pair on a differential channel), the range
// and delay selected per channel, and the converter that turns a voltage into
// a raw code through the device's own calibration records.
#pragma once

#include <array>
#include <cstdint>

#include "layout.h"
#include "qsim/config.h"

namespace qsim {

class Peripherals;

class AnalogFrontEnd {
 public:
  static constexpr int kMaxChannels = 21;

  AnalogFrontEnd(const DeviceConfig& cfg, const Layout& lay, int64_t originNs)
      : cfg_(cfg), lay_(lay), originNs_(originNs) {}

  // The analog outputs that analog loopbacks wire to inputs.
  void wireOutputs(const Peripherals& outputs) { outputs_ = &outputs; }

  // Voltage at channel index ch (0 for channels the family lacks) at time t.
  double voltage(int ch, int64_t tNs) const;
  // Raw code of `volts` on channel ch in range r (r ignored on Rix).
  uint16_t codeFor(int ch, int range, double volts) const;
  // Raw code the converter produces for channel ch at time t in its range.
  uint16_t rawAt(int ch, int64_t tNs) const;

  // Ranges 0, delays to the range-0 default (peripheral reset of the front end).
  void reset();

  std::array<int, kMaxChannels> range{};
  std::array<int, kMaxChannels> delay{};

 private:
  double singleEnded(int input, int64_t relNs) const;

  const DeviceConfig& cfg_;
  const Layout& lay_;
  int64_t originNs_;  // t = 0 of the signals: the start of the timeline
  const Peripherals* outputs_ = nullptr;
};

}  // namespace qsim
