// The Ka input masks the benchmarks stream, and the sizes they imply.
#pragma once

#include <vector>

namespace qbench {

struct BenchMask {
  const char* name;
  std::vector<int> ids;  // port ids as an application passes them
  int words;             // 16-bit words per frame
  int frameBytes() const { return 2 * words; }
  // Frames one readNonBlocking can return on a Ka (4096 bytes per call).
  int framesPerCall() const { return kKaBytesPerCall / frameBytes(); }
  // Caller slots a frame fills: one sample per id.
  int samplesPerFrame() const { return static_cast<int>(ids.size()); }

  static constexpr int kKaBytesPerCall = 4096;
};

// ka1: AI-0; ka4: AI-0..AI-3; ka21: all 14 single-ended and 7 differential
// inputs; mixed: AI-0..AI-6, one differential pair, the three ports, the
// counter (two words) and the trigger line.
const std::vector<BenchMask>& benchMasks();
const BenchMask& benchMask(const char* name);

// Caller array sizes of a Ka frame record and of a full readNonBlocking.
constexpr int kKaValueSlots = 21;
constexpr int kKaPortSlots = 5;
constexpr int kMaxFramesPerCall = BenchMask::kKaBytesPerCall / 2;

}  // namespace qbench
