// The device's byte-addressed memories and identity words: the calibration
// flash (the family's records, then erased bytes), the serial block and the
// version word.
#pragma once

#include <cstdint>

#include "qsim/config.h"

namespace qsim {

class Memories {
 public:
  explicit Memories(const DeviceConfig& cfg) : cfg_(cfg) {}

  // Byte at addr of a byte-addressed memory, or false when addr lies in none.
  bool byteAt(uint32_t addr, uint8_t& out) const;
  // Version register: firmware << 8, bit 31 when the delay block is absent.
  uint32_t versionWord() const;
  // Start of the calibration block (Ka/Vel configurable, Rix fixed).
  uint32_t calibrationBase() const;

 private:
  uint8_t calibrationByte(uint32_t offset) const;
  uint8_t serialByte(uint32_t offset) const;

  const DeviceConfig& cfg_;
};

}  // namespace qsim
