#include <stdexcept>

#include "qsim/clock.h"

namespace qsim {

namespace {

int64_t steadyNs() { return SteadyClock().nowNs(); }

}  // namespace

// Started manual, the clock stands at 0; started steady, it reads like the
// steady clock.
SwitchableClock::SwitchableClock(bool manual) : manual_(manual) {}

int64_t SwitchableClock::nowNs() const {
  std::lock_guard<std::mutex> lock(m_);
  return manual_ ? frozenNs_ : steadyNs() + offsetNs_;
}

bool SwitchableClock::manual() const {
  std::lock_guard<std::mutex> lock(m_);
  return manual_;
}

void SwitchableClock::setManual(bool manual) {
  std::lock_guard<std::mutex> lock(m_);
  if (manual == manual_) return;
  if (manual) {
    frozenNs_ = steadyNs() + offsetNs_;
  } else {
    offsetNs_ = frozenNs_ - steadyNs();
  }
  manual_ = manual;
}

void SwitchableClock::advanceNs(int64_t deltaNs) {
  if (deltaNs < 0) throw std::invalid_argument("the clock cannot go back");
  std::lock_guard<std::mutex> lock(m_);
  if (!manual_) throw std::logic_error("the clock follows real time: switch it to manual first");
  frozenNs_ += deltaNs;
}

}  // namespace qsim
