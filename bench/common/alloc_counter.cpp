#include "bench/common/alloc_counter.h"

namespace qbench {
namespace alloc {
namespace {
// Plain thread-locals without constructors: safe to touch from operator new.
thread_local bool tlCounting = false;
thread_local int tlPaused = 0;
thread_local std::int64_t tlCount = 0;
}  // namespace

void start() {
  tlCount = 0;
  tlCounting = true;
}

std::int64_t stop() {
  tlCounting = false;
  return tlCount;
}

std::int64_t count() { return tlCount; }

Pause::Pause() { ++tlPaused; }
Pause::~Pause() { --tlPaused; }

void note() {
  if (tlCounting && tlPaused == 0) ++tlCount;
}

}  // namespace alloc
}  // namespace qbench
