// Fuzz target: the browser panel's request framing (tools/panel/
// request_framing.h), which reads where a request from any local program ends
// before the HTTP library sees it. The input is the bytes of a connection,
// preceded by one byte that chooses how they arrive (in what pieces). Faults:
// out-of-bounds access or undefined behaviour (the sanitizers), a request
// length past the bytes received or past the limits, a refusal without status
// and message, and a different outcome when the same bytes arrive in other
// pieces (the framing must not depend on how the network splits them).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "request_framing.h"

namespace {

using qpanel::FramingLimits;
using qpanel::RequestFramer;

// Small limits, so that inputs of a few hundred bytes reach them.
constexpr FramingLimits kLimits{512, 256};

struct Outcome {
  RequestFramer::Result result;
  size_t bytes;
  int status;
  std::string method, path, token;
};

Outcome finish(const RequestFramer& f, RequestFramer::Result r) {
  return {r,
          r == RequestFramer::Result::Complete ? f.requestBytes() : 0,
          f.refusalStatus(),
          f.method(),
          f.path(),
          f.token()};
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned step = 1 + data[0] % 64;
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  RequestFramer whole(kLimits);
  const Outcome once = finish(whole, whole.scan(bytes.data(), bytes.size()));

  RequestFramer pieces(kLimits);
  RequestFramer::Result r = RequestFramer::Result::NeedMore;
  size_t received = 0;
  while (received < bytes.size() && r == RequestFramer::Result::NeedMore) {
    received = std::min(bytes.size(), received + step);
    r = pieces.scan(bytes.data(), received);
  }
  const Outcome split = finish(pieces, r);

  check(once.result == split.result);
  check(once.bytes == split.bytes && once.status == split.status);
  check(once.method == split.method && once.path == split.path && once.token == split.token);
  if (once.result == RequestFramer::Result::Complete) {
    check(once.bytes > 0 && once.bytes <= bytes.size());
    check(once.bytes <= kLimits.headBytes + 8 * kLimits.bodyBytes + 2048);
    // More bytes (the next request) change nothing about this one.
    check(pieces.scan(bytes.data(), bytes.size()) == RequestFramer::Result::Complete);
    check(pieces.requestBytes() == once.bytes);
  }
  if (once.result == RequestFramer::Result::Refused) {
    check(once.status >= 400 && once.status <= 599);
    check(!whole.refusalMessage().empty());
  }
  return 0;
}
