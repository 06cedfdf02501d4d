// Register addresses, status bits and frame codes of the device families,
// and the small byte helpers their sources share. Private to devices/.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

#include "devices/qelofamily.h"

namespace familyregs {

// Device registers and memory addresses.
constexpr unsigned kRegInputBuffer = 0x00;
constexpr unsigned kRegOutputBuffer = 0x04;
constexpr unsigned kRegInputStatus = 0x08;
constexpr unsigned kRegInputCapacity = 0x09;
constexpr unsigned kRegOutputStatus = 0x0C;
constexpr unsigned kRegOutputEnable = 0x10;
constexpr unsigned kRegPortLevel = 0x14;
constexpr unsigned kRegInputSequence = 0x18;
constexpr unsigned kRegOutputMask = 0x1C;
constexpr unsigned kRegConversion = 0x20;
constexpr unsigned kRegOutputFrame = 0x24;
constexpr unsigned kRegChannelRange = 0x28;
constexpr unsigned kRegDelayBlock = 0x2C;
constexpr unsigned kRegDac = 0x40;
constexpr unsigned kRegTriggerConfig = 0x4C;
constexpr unsigned kRegFramePeriod = 0x50;
constexpr unsigned kRegFrameCount = 0x54;
constexpr unsigned kRegAcquisitionControl = 0x58;
constexpr unsigned kRegChannelDelay = 0x5C;
constexpr unsigned kRegTemperature = 0x70;
constexpr unsigned kRegCounter = 0xC0;
constexpr unsigned kRegCounterControl = 0xC4;
constexpr unsigned kRegLed = 0xC8;
constexpr unsigned kRegWatchdog = 0x100;
constexpr unsigned kRegVersion = 0xF0000004;
constexpr unsigned kRegSerial = 0xF0000008;
constexpr unsigned kRegPeripheralReset = 0xF0000020;
constexpr unsigned kRegCalibrationAddress = 0xF0000030;

constexpr unsigned kStatusOverflow = 0x80000000u;
constexpr unsigned kStatusEarlyTrigger = 0x40000000u;
constexpr unsigned kStatusBytes = 0x3FFFFFFFu;
constexpr unsigned kStatusUnderrun = 0x80000000u;

constexpr int kWriteLimitBytes = 4096;

constexpr uint8_t kCodeCounterHigh = 0xC0;
constexpr uint8_t kCodeTrigger = 0xE0;
constexpr int kCounterCode = 0xC0C1;
constexpr int kOutputIoBase = 256;

// Full scale of the four bipolar input ranges, by range index.
constexpr double kRangeFullScale[QeloFamily::kRangeIndexes] = {10.0, 1.0, 0.1, 0.01};

inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void putLe16(uint8_t* p, unsigned v) {
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

// Offset of id within the kind starting at base, as unsigned so that any id
// (also negative ones) compares safely against a count.
inline unsigned offsetIn(int id, int base) {
  return static_cast<unsigned>(id) - static_cast<unsigned>(base);
}

inline void pollPause() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

}  // namespace familyregs
