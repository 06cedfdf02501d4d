// Calibration flash, serial block and version word.
#include "memories.h"

#include <algorithm>

#include "layout.h"
#include "registers.h"

namespace qsim {

namespace {
// Size of the calibration flash region, from the calibration address.
constexpr uint32_t kCalibrationRegionBytes = 1024;
}  // namespace

uint32_t Memories::versionWord() const {
  uint32_t fw = cfg_.firmware;
  if (cfg_.faults.firmwareMajor2) fw = 0x0200 | (fw & 0xFF);
  return (fw << 8) | (cfg_.faults.noDelayBlock ? 0x80000000u : 0u);
}

uint32_t Memories::calibrationBase() const {
  return cfg_.family == Family::Rix ? kRixCalibrationAddress : cfg_.calibrationAddress;
}

// Calibration flash: the block, then erased bytes to the end of the region.
uint8_t Memories::calibrationByte(uint32_t offset) const {
  if (cfg_.faults.erasedCalibration) return 0xFF;
  uint8_t rec[8];
  if (cfg_.family == Family::Rix) {
    if (offset >= kSimpleCalibrationBytes) return 0xFF;
    const SimpleRecord& r = cfg_.simpleRecords[offset / 8];
    put32(rec, r.offset);
    put32(rec + 4, r.gain);
    return rec[offset % 8];
  }
  const auto code = [&](const CodeRecord& r) {
    put16(rec, r.positive);
    put16(rec + 2, r.zero);
    put16(rec + 4, r.negative);
    put16(rec + 6, r.reserved);
    return rec[offset % 8];
  };
  const uint32_t outBytes = 8 * static_cast<uint32_t>(cfg_.family == Family::Ka ? 2 : 1);
  if (offset < outBytes) {
    const size_t i = offset / 8;
    return i < cfg_.outputRecords.size() ? code(cfg_.outputRecords[i]) : 0xFF;
  }
  const uint32_t inBytes = static_cast<uint32_t>(cfg_.inputRecords.size()) * 8;
  if (offset < outBytes + inBytes) return code(cfg_.inputRecords[(offset - outBytes) / 8]);
  if (cfg_.family == Family::Ka && offset >= 688 && offset < 696) {
    put32(rec, cfg_.referenceCurrents[0]);
    put32(rec + 4, cfg_.referenceCurrents[1]);
    return rec[offset - 688];
  }
  return 0xFF;
}

uint8_t Memories::serialByte(uint32_t offset) const {
  if (cfg_.faults.serialUnconfigured) return 0xFF;
  const size_t n = cfg_.serial.size();
  if (offset == 0) return static_cast<uint8_t>(n);
  if (offset == 1) return static_cast<uint8_t>(n >> 8);
  return offset - 2 < n ? static_cast<uint8_t>(cfg_.serial[offset - 2]) : 0;
}

bool Memories::byteAt(uint32_t addr, uint8_t& out) const {
  const uint32_t cal = calibrationBase();
  if (addr - cal < kCalibrationRegionBytes) {
    out = calibrationByte(addr - cal);
    return true;
  }
  const uint32_t serialBytes = 2 + static_cast<uint32_t>(cfg_.serial.size());
  if (addr - kSerial < std::max<uint32_t>(serialBytes, 2)) {
    out = serialByte(addr - kSerial);
    return true;
  }
  return false;
}

}  // namespace qsim
