// Test-side framing of register requests, written independently of the
// library's protocol code so that both can be checked against each other.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "qsim/model.h"

namespace simtest {

constexpr int64_t kUs = 1000;
constexpr int64_t kMs = 1000 * kUs;
constexpr int64_t kSec = 1000 * kMs;

inline std::vector<uint8_t> request(bool write, uint32_t address, uint32_t count, bool increment,
                                    const std::vector<uint8_t>& payload = {}) {
  const size_t padded = (count + 63) / 64 * 64;
  std::vector<uint8_t> msg(64 + (write ? padded : 0), 0xEE);  // junk in reserved bytes
  const uint32_t control = count | (increment ? 0x40000000u : 0u) | (write ? 0x80000000u : 0u);
  for (int i = 0; i < 4; ++i) {
    msg[i] = static_cast<uint8_t>(control >> (8 * i));
    msg[4 + i] = static_cast<uint8_t>(address >> (8 * i));
  }
  if (write && !payload.empty()) std::memcpy(msg.data() + 64, payload.data(), payload.size());
  return msg;
}

inline uint32_t le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Talks to one model through its UsbFunction side.
struct Wire {
  std::shared_ptr<qsim::DeviceModel> model;

  void writeBlock(uint32_t address, const std::vector<uint8_t>& bytes, bool increment = true) {
    const auto msg = request(true, address, static_cast<uint32_t>(bytes.size()), increment, bytes);
    model->bulkOut(msg.data(), msg.size());
  }
  void writeRegister(uint32_t address, uint32_t value) {
    writeBlock(address, {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                         static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
  }
  // The whole padded reply as the IN transfers deliver it (bounded: at most
  // as many transfers as the reply has bytes).
  std::vector<uint8_t> readBlock(uint32_t address, uint32_t count, bool increment = true) {
    const auto msg = request(false, address, count, increment);
    model->bulkOut(msg.data(), msg.size());
    const size_t want = (count + 63) / 64 * 64;
    std::vector<uint8_t> out(want);
    size_t got = 0;
    for (size_t tries = 0; got < want && tries <= want; ++tries) {
      const int n = model->bulkIn(out.data() + got, want - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    out.resize(got);
    return out;
  }
  uint32_t readRegister(uint32_t address) {
    const auto r = readBlock(address, 4);
    return r.size() >= 4 ? le32(r.data()) : 0xDEADBEEF;
  }
};

}  // namespace simtest
