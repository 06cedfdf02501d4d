// The device's simple peripherals: digital ports (output enables, latches,
// external levels and loopbacks), analog outputs, the event counter, the
// LED, the watchdog register and the temperature sensor.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "layout.h"
#include "qsim/config.h"

namespace qsim {

class Peripherals {
 public:
  Peripherals(const DeviceConfig& cfg, const Layout& lay) : cfg_(cfg), lay_(lay) {}

  // Pin levels of port p: (latch & enable) | (external & ~enable), masked to
  // the port's pins; 0 for ports the family lacks.
  uint8_t pins(int p) const;

  // Counter value at time t; foldCounter moves the running count into the
  // base before the counter's state or rate changes.
  uint32_t counterAt(int64_t tNs) const;
  void foldCounter(int64_t nowNs);
  // One counter control write; false when it is none of on, off or reset.
  bool counterControl(bool on, bool off, bool reset, int64_t nowNs);

  // DAC code of 0 V through the output record of output `out`.
  uint16_t dacZero(int out) const;
  // Voltage output `out` drives now, through its output record (erased: nominal).
  double dacVolts(int out) const;
  // Applies one output frame laid out by the output mask (DACs and latches).
  void applyOutputFrame(const std::vector<uint8_t>& mask, const uint8_t* frame, size_t bytes);

  // Temperature register: sign and magnitude with 7 fraction bits.
  uint16_t temperatureWord() const;

  // Peripheral reset of the parts named by the reset mask bits.
  void reset(uint32_t mask, int64_t nowNs);

  std::array<uint8_t, 3> oe{};
  std::array<uint8_t, 3> latch{};
  std::array<uint16_t, 2> dac{};
  bool ledOn = false;
  uint32_t watchdogReg = 0;
  bool counterOn = false;
  uint32_t counterBase = 0;
  int64_t counterSince = 0;
  uint64_t outApplied = 0;  // output frames applied (0x24 and the Vel output buffer)

 private:
  uint8_t externalOf(int p) const;

  const DeviceConfig& cfg_;
  const Layout& lay_;
};

}  // namespace qsim
