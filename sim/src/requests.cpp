// Request framing, the reply queue and the record of received requests.
#include "requests.h"

#include <algorithm>
#include <cstring>

#include "registers.h"

namespace qsim {

namespace {

constexpr size_t kHeaderBytes = 64;
constexpr size_t kBlockBytes = 64;
constexpr uint32_t kCountMask = 0x3FFFFFFF;
constexpr uint32_t kIncrementBit = 0x40000000;
constexpr uint32_t kWriteBit = 0x80000000;
// Largest read the device answers; bigger counts are malformed requests.
constexpr uint32_t kMaxReadBytes = 1u << 20;
// Replies waiting for IN transfers; older ones are dropped beyond this.
constexpr size_t kMaxQueuedReplies = 1024;
// The write log keeps the most recent writes within both bounds.
constexpr size_t kMaxLoggedWrites = 65536;
constexpr size_t kMaxLoggedBytes = 4u << 20;

size_t padded(size_t count) { return (count + kBlockBytes - 1) / kBlockBytes * kBlockBytes; }

}  // namespace

void Diagnostics::fault(const std::string& what) {
  ++malformed;
  lastError = what;
}

void Diagnostics::logWrite(uint32_t address, bool increment, const uint8_t* data, uint32_t count) {
  log.push_back({address, increment, std::vector<uint8_t>(data, data + count)});
  logBytes += count;
  while (log.size() > kMaxLoggedWrites || logBytes > kMaxLoggedBytes) {
    logBytes -= log.front().bytes.size();
    log.pop_front();
  }
}

void Diagnostics::clearLog() {
  log.clear();
  logBytes = 0;
}

bool Requests::parse(const uint8_t* data, size_t len, Request& out) {
  if (data == nullptr || len < kHeaderBytes) {
    diag_.fault("request shorter than its header");
    return false;
  }
  const uint32_t control = le32(data);
  out.address = le32(data + 4);
  out.count = control & kCountMask;
  out.increment = (control & kIncrementBit) != 0;
  out.write = (control & kWriteBit) != 0;
  out.payload = out.write ? data + kHeaderBytes : nullptr;
  if (out.write) {
    if (len != kHeaderBytes + padded(out.count)) {
      diag_.fault("write request length does not match its byte count");
      return false;
    }
    return true;
  }
  if (len != kHeaderBytes) {
    diag_.fault("read request longer than its header");
    return false;
  }
  if (out.count > kMaxReadBytes) {
    diag_.fault("read request for more bytes than the device answers");
    return false;
  }
  return true;
}

uint8_t* Requests::beginReply(uint32_t count) {
  pending_.pos = 0;
  if (!spare_.empty()) {
    pending_.bytes = std::move(spare_.back());
    spare_.pop_back();
  }
  pending_.bytes.assign(padded(count), 0);
  return pending_.bytes.data();
}

void Requests::endReply(uint32_t count, bool garbage) {
  if (garbage) {
    for (uint32_t i = 0; i < count; ++i) pending_.bytes[i] = static_cast<uint8_t>(garbageRng_());
  }
  if (replies_.size() >= kMaxQueuedReplies) {
    replies_.pop_front();
    diag_.fault("reply queue full: oldest reply dropped");
  }
  replies_.push_back(std::move(pending_));
  pending_ = Reply{};
}

size_t Requests::take(uint8_t* data, size_t len, bool shortIn) {
  Reply& r = replies_.front();
  size_t n = r.bytes.size() - r.pos;
  if (shortIn) n = std::min(n, std::max<size_t>(1, r.bytes.size() / 2));
  n = std::min(n, len);
  std::memcpy(data, r.bytes.data() + r.pos, n);
  r.pos += n;
  if (r.pos == r.bytes.size()) {
    if (spare_.size() < 8) spare_.push_back(std::move(r.bytes));
    replies_.pop_front();
  }
  return n;
}

}  // namespace qsim
