// Counting of heap allocations made by the calling thread. The counting itself
// (the replaced global operator new) is linked into the allocation benchmark
// only; elsewhere the counter stays at 0 and the calls below cost nothing.
#pragma once

#include <cstdint>

namespace qbench {
namespace alloc {

// Starts counting the calling thread's allocations from 0.
void start();
// Stops counting and returns the number of allocations since start().
std::int64_t stop();
// Allocations counted so far on this thread (while counting).
std::int64_t count();

// While alive, the calling thread's allocations are not counted: the
// emulator's side of a transfer is not the library's cost.
class Pause {
 public:
  Pause();
  ~Pause();
  Pause(const Pause&) = delete;
  Pause& operator=(const Pause&) = delete;
};

// Called by the replaced operator new for every allocation.
void note();

}  // namespace alloc
}  // namespace qbench
