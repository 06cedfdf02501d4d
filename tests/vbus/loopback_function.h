// A minimal USB function for bus tests: every OUT transfer is recorded and
// (in echo mode) queued as the reply; IN transfers drain the queue.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "qsim/usb_function.h"

namespace vbustest {

class LoopbackFunction : public qsim::UsbFunction {
 public:
  explicit LoopbackFunction(uint16_t productId, uint16_t vendorId = 0x1209)
      : vendorId_(vendorId), productId_(productId) {}

  uint16_t vendorId() const override { return vendorId_; }
  uint16_t productId() const override { return productId_; }

  int bulkOut(const uint8_t* data, size_t len) override {
    if (gone) return qsim::kOutGone;
    if (stallOut) return qsim::kOutStall;
    std::lock_guard<std::mutex> lock(m_);
    received_.emplace_back(data, data + len);
    if (echo) queue_.insert(queue_.end(), data, data + len);
    return qsim::kOutOk;
  }

  int bulkIn(uint8_t* data, size_t len) override {
    if (gone) return qsim::kInGone;
    if (stallIn) return qsim::kInStall;
    std::lock_guard<std::mutex> lock(m_);
    if (queue_.empty()) return qsim::kInPending;
    size_t n = std::min(len, queue_.size());
    if (chunk > 0) n = std::min(n, chunk.load());
    std::copy_n(queue_.begin(), n, data);
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<long>(n));
    return static_cast<int>(n);
  }

  bool interfaceHeld() const override { return held; }
  bool unplugged() const override { return gone; }

  void queueReply(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(m_);
    queue_.insert(queue_.end(), bytes.begin(), bytes.end());
  }
  std::vector<std::vector<uint8_t>> received() const {
    std::lock_guard<std::mutex> lock(m_);
    return received_;
  }

  std::atomic<bool> echo{true};
  std::atomic<bool> held{false};
  std::atomic<bool> gone{false};
  std::atomic<bool> stallIn{false};
  std::atomic<bool> stallOut{false};
  std::atomic<size_t> chunk{0};  // at most this many bytes per IN transfer (0: no limit)

 private:
  const uint16_t vendorId_;
  const uint16_t productId_;
  mutable std::mutex m_;
  std::deque<uint8_t> queue_;
  std::vector<std::vector<uint8_t>> received_;
};

}  // namespace vbustest
