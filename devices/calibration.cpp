#include "devices/calibration.h"

#include <cmath>
#include <limits>

SimpleInputCalibrator::SimpleInputCalibrator(uint32_t offsetField, uint32_t gainField) {
  if (offsetField == 0xFFFFFFFFu && gainField == 0xFFFFFFFFu) {
    offsetField = 0;
    gainField = 1u << 28;
  }
  offset = static_cast<int32_t>(offsetField);
  // Single precision, in exactly this order: the device's own firmware uses
  // the same evaluation, so the values agree bit for bit.
  const float gain = static_cast<float>(gainField) / static_cast<float>(1u << 28);
  scale = gain / 4095.0f * 3.3f;
}

DualPointInputCalibrator::DualPointInputCalibrator(uint16_t positiveCode, uint16_t zero,
                                                   uint16_t negativeCode, double positiveFullScale,
                                                   double negativeFullScale) {
  if (positiveCode == 0xFFFF && zero == 0xFFFF && negativeCode == 0xFFFF) {
    positiveCode = 0xFFFF;
    zero = 0x8000;
    negativeCode = 0;
  }
  zeroCode = zero;
  positiveScale = positiveFullScale / static_cast<double>(int{positiveCode} - int{zero});
  negativeScale = negativeFullScale / static_cast<double>(int{zero} - int{negativeCode});
}

OutputCalibrator::OutputCalibrator(uint16_t p, uint16_t z, uint16_t n) {
  if (p == 0xFFFF && z == 0xFFFF && n == 0xFFFF) {
    p = 4095;
    z = 2047;
    n = 0;
  }
  zeroCode = z;
  positiveScale = static_cast<double>(int{p} - int{z}) / 10.0;
  negativeScale = static_cast<double>(int{z} - int{n}) / 10.0;
  roundingOffset = 10.0 / 4095.0;  // half a code at the nominal scale
}

uint16_t OutputCalibrator::calibrate(float value) const {
  if (std::isnan(value)) return 0;
  // An infinity takes the code of the largest finite value of its sign: with
  // a reversed record (positive code below the zero code) +inf gives 0 as
  // +1e30 does, not the opposite end.
  if (std::isinf(value)) {
    value = value > 0 ? std::numeric_limits<float>::max() : std::numeric_limits<float>::lowest();
  }
  const double x = static_cast<double>(value) + roundingOffset;
  // The sign test is on the value, so -0.0 takes the positive scale.
  const double s = value >= 0 ? positiveScale : negativeScale;
  const double r = s * x + zeroCode;
  // A record with coinciding codes gives an infinite scale and r may be NaN;
  // anything outside 0..4095 is clamped before converting (an out-of-range
  // double-to-integer conversion is undefined).
  if (std::isnan(r)) return 0;
  if (r < 0.0) return 0;
  if (r > 4095.0) return 4095;
  return static_cast<uint16_t>(r);
}
