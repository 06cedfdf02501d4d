// Helpers shared by the fuzz targets: identifiers and numbers drawn from the
// fuzzer's input with a bias towards the values the library distinguishes.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace qfuzz {

// Operation numbers of fuzz_device_replies that the seed writer replays.
namespace op {
constexpr int kSerialNumber = 10;
constexpr int kTemperature = 11;
constexpr int kSetupInputFrame = 30;
constexpr int kStartAcquisition = 32;
constexpr int kStopAcquisition = 33;
constexpr int kReadBlocking = 34;
constexpr int kReadNonBlocking = 35;
constexpr int kReadAnalogInput = 38;
constexpr int kReadFrame = 39;
constexpr int kReadCounter = 40;
constexpr int kSetupOutputFrame = 41;
constexpr int kWriteFrame = 46;
constexpr int kLast = 51;
}  // namespace op

// The kinds of the identifier space 0x7A50kknn.
constexpr int kIdBases[] = {0x7A501000, 0x7A501100, 0x7A501200, 0x7A501300, 0x7A501400, 0x7A501500,
                            0x7A501600, 0x7A501700, 0x7A501800, 0x7A501900, 0x7A501A00};

// An identifier: mostly a kind with a small item number (valid and just
// invalid ones), sometimes an arbitrary 32-bit value.
inline int pickId(FuzzedDataProvider& in) {
  const uint8_t selector = in.ConsumeIntegral<uint8_t>();
  if (selector >= 240) return in.ConsumeIntegral<int>();
  const int base = kIdBases[selector % (sizeof kIdBases / sizeof kIdBases[0])];
  const uint8_t item = in.ConsumeIntegral<uint8_t>();
  return base + (item >= 0xF0 ? 0xFF : item % 24);
}

// A count: small ones mostly, and the edges (0, negative, huge).
inline int pickCount(FuzzedDataProvider& in, int typicalMax) {
  switch (in.ConsumeIntegral<uint8_t>() % 8) {
    case 0:
      return 0;
    case 1:
      return -in.ConsumeIntegralInRange<int>(1, 4);
    case 2:
      return in.ConsumeBool() ? INT_MAX : INT_MIN;
    case 3:
      return in.ConsumeIntegral<int>();
    default:
      return in.ConsumeIntegralInRange<int>(1, typicalMax);
  }
}

// A frame rate: ordinary rates, -1 (frame sample trigger), and the edges.
inline float pickRate(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegral<uint8_t>() % 8) {
    case 0:
      return -1.0f;
    case 1:
      return std::numeric_limits<float>::quiet_NaN();
    case 2:
      return in.ConsumeBool() ? std::numeric_limits<float>::infinity() : 1e30f;
    case 3:
      return in.ConsumeFloatingPoint<float>();
    default:
      return static_cast<float>(in.ConsumeIntegralInRange<int>(0, 200000));
  }
}

// A voltage: ordinary values and the non-finite ones.
inline float pickVolts(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegral<uint8_t>() % 6) {
    case 0:
      return std::numeric_limits<float>::quiet_NaN();
    case 1:
      return in.ConsumeBool() ? std::numeric_limits<float>::infinity()
                              : -std::numeric_limits<float>::infinity();
    case 2:
      return in.ConsumeFloatingPoint<float>();
    default:
      return static_cast<float>(in.ConsumeIntegralInRange<int>(-12000, 12000)) / 1000.0f;
  }
}

// A fault the fuzzer found: print it and stop, so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz fault: %s\n", what);
  std::abort();
}

}  // namespace qfuzz
