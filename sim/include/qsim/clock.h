// Time base of the device models. The acquisition engine asks its clock for
// "now" whenever the model is touched and produces every frame that fell due
// up to that instant, so a manual clock makes frame counts deterministic.
#pragma once

#include <atomic>
#include <cstdint>

namespace qsim {

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic time in nanoseconds; only differences matter.
  virtual int64_t nowNs() const = 0;
};

// std::chrono::steady_clock.
class SteadyClock : public Clock {
 public:
  int64_t nowNs() const override;
};

// A clock that only moves when told to. Thread-safe.
class ManualClock : public Clock {
 public:
  explicit ManualClock(int64_t startNs = 0) : now_(startNs) {}
  int64_t nowNs() const override { return now_.load(); }
  void advanceNs(int64_t deltaNs) { now_.fetch_add(deltaNs); }
  void setNs(int64_t ns) { now_.store(ns); }

 private:
  std::atomic<int64_t> now_;
};

}  // namespace qsim
