// What each family has: counts of inputs, ports and outputs and which
// optional peripherals answer on the bus.
#pragma once

#include <array>
#include <cstdint>

#include "qsim/config.h"

namespace qsim {

struct Layout {
  int singleEnded;
  int differential;
  int ports;
  std::array<uint8_t, 3> portWidth;  // pins present on each port
  int dacs;
  bool counter;
  bool led;
  bool temperature;
  bool watchdog;
  bool outputBuffer;
  bool ranges;  // selectable input ranges and delays (Ka/Vel)
  uint16_t productId;
  uint32_t inputCapacity;
  const char* serialPrefix;
  int channels() const { return singleEnded + differential; }
};

const Layout& layoutOf(Family family);

// Address of the Rix calibration block; Ka and Vel report theirs in 0xF0000030.
constexpr uint32_t kRixCalibrationAddress = 0x08004400;
// Size of the Ka/Vel calibration block and of the Rix one.
constexpr uint32_t kDualCalibrationBytes = 696;
constexpr uint32_t kSimpleCalibrationBytes = 48;

// An all-ones (erased) dual-point or output record.
inline bool erased(const CodeRecord& r) {
  return r.positive == 0xFFFF && r.zero == 0xFFFF && r.negative == 0xFFFF;
}

}  // namespace qsim
