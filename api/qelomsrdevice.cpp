#include "api/qelomsrdevice.h"

#include <cmath>
#include <stdexcept>

float QeloMsrDevice::calculateFrameRateFromPeriodTime(int periodTime) const {
  if (periodTime <= 0) throw std::invalid_argument("Period time must be >= 1.");
  return static_cast<float>(1000000000.0 / static_cast<double>(periodTime));
}

int QeloMsrDevice::calculatePeriodTimeFromFrameRate(float frameRate) const {
  // NaN fails every comparison, so test for the accepted range positively.
  if (!(frameRate >= 1.0f)) throw std::invalid_argument("Frame rate must be >= 1.");
  if (!std::isfinite(frameRate)) throw std::invalid_argument("Frame rate must be finite.");
  const double period = std::trunc(1000000000.0 / static_cast<double>(frameRate));
  if (period < 1.0)
    throw std::invalid_argument("Frame rate too high: the frame period would be 0 ns.");
  return static_cast<int>(period);
}
