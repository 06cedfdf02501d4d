// The transfer loops under the USB raw device: one repeats single transfers
// until exactly the requested number of bytes has moved, the other empties
// the IN endpoint of replies nobody waits for any more.
#pragma once

#include <stdexcept>

namespace commapi {

// Successive transfers that move no data and report no error before the loop
// gives up; without a bound a device answering only with empty packets would
// keep the caller forever.
constexpr int kMaxEmptyTransfers = 64;

// `transfer(data, length, &moved)` performs one transfer of at most `length`
// bytes at `data` and returns a libusb result code; `check(result)` throws for
// an error code. Each transfer is given exactly the remaining length, so
// nothing is ever written past data + len. `stalled()` throws when the empty
// transfer bound is reached.
template <class Transfer, class Check, class Stalled>
void transferExactly(unsigned char* data, int len, Transfer&& transfer, Check&& check,
                     Stalled&& stalled) {
  int remaining = len;
  int empty = 0;
  while (remaining > 0) {
    int moved = 0;
    check(transfer(data, remaining, &moved));
    if (moved > remaining || moved < 0)
      throw std::logic_error("Invalid transfer size (to much transferred).");
    if (moved == 0) {
      if (++empty >= kMaxEmptyTransfers) stalled();
      continue;
    }
    empty = 0;
    remaining -= moved;
    data += moved;
  }
}

// libusb result codes the drain loop tells apart (checked against libusb's
// own values where libusb is included).
constexpr int kTransferTimeout = -7;   // LIBUSB_ERROR_TIMEOUT
constexpr int kTransferOverflow = -8;  // LIBUSB_ERROR_OVERFLOW

// Reads and drops whatever the IN endpoint still holds: `transfer(data,
// length, &moved)` is one IN transfer into `scratch` (of `size` bytes) with a
// short timeout. The loop ends at the first transfer that moves nothing
// because nothing is pending (a timeout), however many replies came before:
// a device's queue of unanswered replies may be as deep as it likes. Bytes
// moved count even when the transfer also reports an error (a timeout after
// data, or an overflow, where the rest of the reply is lost anyway); other
// errors go to `check(result)`, which throws. The drain is bounded by time,
// not by a count: once `expired()` says the time allowed has passed while data
// still comes, `endless()` throws. Returns the number of bytes dropped.
template <class Transfer, class Check, class Expired, class Endless>
long long drainPending(unsigned char* scratch, int size, Transfer&& transfer, Check&& check,
                       Expired&& expired, Endless&& endless) {
  long long dropped = 0;
  for (;;) {
    int moved = 0;
    const int result = transfer(scratch, size, &moved);
    if (moved > 0) {
      dropped += moved < size ? moved : size;
    } else if (result == kTransferTimeout) {
      return dropped;
    } else if (result != kTransferOverflow) {
      check(result);
    }
    // Data, an empty packet or an overflow without data: something is still there.
    if (expired()) break;
  }
  endless();
  return dropped;
}

}  // namespace commapi
