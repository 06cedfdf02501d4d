// Time base of the device models. The acquisition engine asks its clock for
// "now" whenever the model is touched and produces every frame that fell due
// up to that instant, so a manual clock makes frame counts deterministic.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

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

// A clock that follows the steady clock until it is switched to manual; then
// it stands where it was and moves only when advanced. Switched back, it goes
// on from there, so its time never runs backwards. Lets a host that started
// devices on real time stop them at a known instant (the runner's "clock"
// command, the bus test fixture). Thread-safe.
class SwitchableClock : public Clock {
 public:
  explicit SwitchableClock(bool manual = false);
  int64_t nowNs() const override;
  bool manual() const;
  void setManual(bool manual);
  // Moves a manual clock forward. Throws std::logic_error while the clock
  // follows the steady clock and std::invalid_argument for a negative step.
  void advanceNs(int64_t deltaNs);

 private:
  mutable std::mutex m_;
  bool manual_;
  int64_t offsetNs_ = 0;  // added to the steady clock while not manual
  int64_t frozenNs_ = 0;  // the reading while manual
};

}  // namespace qsim
