// The transfer loop under every USB read and write: repeats single transfers
// until exactly the requested number of bytes has moved.
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

}  // namespace commapi
