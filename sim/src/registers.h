// Names of the device's registers and blocks, the bits of the peripheral
// reset mask and of the input status word, and the little-endian byte
// helpers every part of the model uses.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qsim {

// Registers and blocks (start addresses of requests).
enum : uint32_t {
  kInputBuffer = 0x00,
  kOutputBuffer = 0x04,
  kInputStatus = 0x08,
  kInputCapacity = 0x09,
  kOutputStatus = 0x0C,
  kOutputEnable = 0x10,  // + port
  kPortLevels = 0x14,    // + port
  kInputSequence = 0x18,
  kOutputMask = 0x1C,
  kConversion = 0x20,
  kOutputFrame = 0x24,
  kChannelRange = 0x28,
  kDelayBlock = 0x2C,
  kDac0 = 0x40,
  kDac1 = 0x44,
  kTriggerConfig = 0x4C,
  kFramePeriod = 0x50,
  kFrameCount = 0x54,
  kAcqControl = 0x58,
  kChannelDelay = 0x5C,
  kTemperature = 0x70,
  kCounterValue = 0xC0,  // Rix: also counter control on write
  kCounterControl = 0xC4,
  kLed = 0xC8,
  kWatchdog = 0x100,
  kVersion = 0xF0000004,
  kSerial = 0xF0000008,
  kPeripheralReset = 0xF0000020,
  kCalibrationPointer = 0xF0000030,
};

// Bits of the peripheral reset mask (0xFFFFFFFF resets everything).
enum : uint32_t {
  kResetPorts = 1u << 0,
  kResetDacs = 1u << 1,
  kResetLed = 1u << 2,
  kResetCounter = 1u << 3,
  kResetAcquisition = 1u << 4,
  kResetTrigger = 1u << 5,
  kResetWatchdog = 1u << 6,
  kResetFrontEnd = 1u << 7,
};

// Input status (0x08) and output status (0x0C) flags.
constexpr uint32_t kOverflowBit = 0x80000000;
constexpr uint32_t kEarlyTriggerBit = 0x40000000;

inline uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace qsim
