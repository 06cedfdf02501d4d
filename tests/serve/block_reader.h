// Stream blocks read the way a client in another language would, from the
// layout documented in docs/usage.md alone (no code of the server's): fixed
// header, channel table, frame times on trigger events, samples.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace qtest {

struct TestBlock {
  int kind = -1;  // 0 frames, 1 gap, 2 end
  uint32_t streamId = 0, frames = 0;
  uint64_t sequence = 0, firstFrame = 0;
  double rateHz = 0, firstTimeS = 0, segmentStartS = 0;
  uint64_t segmentFrame = 0;
  int64_t startUnixNs = 0;
  std::vector<std::string> names;
  std::vector<int> types;  // 0 float32 volts, 1 uint32
  std::vector<float> rangeMin, rangeMax, lowest, highest;
  std::vector<int> flags;
  std::vector<std::vector<double>> rows;  // frames x channels
  std::vector<double> times;
};

template <typename T>
T readLe(const std::string& b, size_t at) {
  T value;
  std::memcpy(&value, b.data() + at, sizeof value);  // the test host is little-endian
  return value;
}

// Returns a block with kind -1 when the bytes do not add up.
inline TestBlock readBlock(const std::string& b) {
  TestBlock t;
  if (b.size() < 80 || b.compare(0, 4, "QMSB") != 0 || b[4] != 1) return t;
  const auto channels = readLe<uint16_t>(b, 6);
  const auto header = readLe<uint32_t>(b, 8);
  t.frames = readLe<uint32_t>(b, 12);
  t.streamId = readLe<uint32_t>(b, 16);
  t.sequence = readLe<uint64_t>(b, 24);
  t.firstFrame = readLe<uint64_t>(b, 32);
  t.rateHz = readLe<double>(b, 40);
  t.firstTimeS = readLe<double>(b, 48);
  t.segmentStartS = readLe<double>(b, 56);
  t.segmentFrame = readLe<uint64_t>(b, 64);
  t.startUnixNs = readLe<int64_t>(b, 72);
  size_t at = 80;
  for (int c = 0; c < channels; ++c) {
    t.types.push_back(static_cast<uint8_t>(b[at]));
    t.flags.push_back(static_cast<uint8_t>(b[at + 1]));
    const size_t length = static_cast<uint8_t>(b[at + 2]);
    t.names.push_back(b.substr(at + 3, length));
    at += 3 + length;
    t.rangeMin.push_back(readLe<float>(b, at));
    t.rangeMax.push_back(readLe<float>(b, at + 4));
    t.lowest.push_back(readLe<float>(b, at + 8));
    t.highest.push_back(readLe<float>(b, at + 12));
    at += 16;
  }
  const size_t timeBytes = t.rateHz < 0 ? 8 * t.frames : 0;
  if (header % 8 != 0 || (at + 7) / 8 * 8 != header ||
      b.size() != header + timeBytes + 4 * channels * t.frames)
    return t;
  for (uint32_t f = 0; f < t.frames; ++f) {
    t.times.push_back(t.rateHz < 0 ? readLe<double>(b, header + 8 * f)
                                   : t.segmentStartS + (t.segmentFrame + f) / t.rateHz);
    std::vector<double> row;
    for (int c = 0; c < channels; ++c) {
      const size_t cell = header + timeBytes + 4 * (f * channels + c);
      row.push_back(t.types[c] == 0 ? static_cast<double>(readLe<float>(b, cell))
                                    : static_cast<double>(readLe<uint32_t>(b, cell)));
    }
    t.rows.push_back(row);
  }
  t.kind = static_cast<uint8_t>(b[5]);
  return t;
}

// The blocks of one stream in sequence order, each sequence number once.
inline std::vector<TestBlock> streamBlocks(const std::vector<std::string>& payloads,
                                           uint32_t streamId) {
  std::map<uint64_t, TestBlock> bySequence;
  for (const auto& p : payloads) {
    TestBlock t = readBlock(p);
    if (t.kind >= 0 && t.streamId == streamId) bySequence.emplace(t.sequence, std::move(t));
  }
  std::vector<TestBlock> out;
  for (auto& entry : bySequence) out.push_back(std::move(entry.second));
  return out;
}

}  // namespace qtest
