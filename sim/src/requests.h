// The device's side of its two bulk endpoints: an OUT message is one request
// (a 64-byte header, then for a write the payload padded to whole 64-byte
// blocks); the replies to reads wait in a queue for IN transfers. Also the
// record of what arrived: the write log and the malformed requests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "qsim/model.h"

namespace qsim {

// What the device saw: the most recent writes and the requests it could not
// make sense of (malformed framing, settings for peripherals it lacks).
struct Diagnostics {
  std::deque<WriteRecord> log;
  size_t logBytes = 0;
  uint64_t malformed = 0;
  std::string lastError;

  void fault(const std::string& what);
  void logWrite(uint32_t address, bool increment, const uint8_t* data, uint32_t count);
  void clearLog();
};

// One request as parsed from an OUT message.
struct Request {
  bool write = false;
  uint32_t address = 0;
  bool increment = true;
  uint32_t count = 0;                // bytes to write or to read
  const uint8_t* payload = nullptr;  // write data (count bytes), inside the message
};

class Requests {
 public:
  explicit Requests(Diagnostics& diag) : diag_(diag), garbageRng_(0x5EED) {}

  // Parses one OUT message; false (counted as malformed) when it is not a
  // well-formed request.
  bool parse(const uint8_t* data, size_t len, Request& out);

  // A zeroed reply of `count` bytes padded to whole blocks, filled by the
  // caller and then queued by endReply (random bytes instead under the
  // garbage fault). The oldest reply is dropped when too many wait.
  uint8_t* beginReply(uint32_t count);
  void endReply(uint32_t count, bool garbage);

  // Copies (the rest of) the oldest reply into an IN transfer of len bytes,
  // at most half a reply under the short-IN fault. Returns the bytes copied;
  // nothing must be waiting for empty() to be true.
  size_t take(uint8_t* data, size_t len, bool shortIn);
  bool empty() const { return replies_.empty(); }
  void clear() { replies_.clear(); }

 private:
  struct Reply {
    std::vector<uint8_t> bytes;
    size_t pos = 0;
  };

  Diagnostics& diag_;
  std::deque<Reply> replies_;
  std::vector<std::vector<uint8_t>> spare_;  // reply storage for reuse
  Reply pending_;
  std::mt19937 garbageRng_;
};

}  // namespace qsim
