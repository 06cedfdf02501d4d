#include "calibration_view.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace qcli {

namespace {

constexpr unsigned kRegCalibrationAddress = 0xF0000030;
constexpr int kRecordBytes = 8;
// The dual-point block: output records, then 21 channels x 4 ranges.
constexpr int kDualPointBlockBytes = 696;
constexpr int kSimpleBlockBytes = 6 * kRecordBytes;
// Highest code of the converters: 16-bit bipolar (Ka, Vel), 12-bit unipolar
// (Rix), 12-bit DAC.
constexpr int kDualPointTopCode = 0xFFFF;
constexpr int kSimpleTopCode = 4095;
constexpr int kDacTopCode = 4095;
// Full scale of the bipolar ranges by range index.
constexpr double kFullScaleVolts[] = {10.0, 1.0, 0.1, 0.01};

unsigned le16(const uint8_t* p) { return static_cast<unsigned>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

InputScale ends(float atCodeZero, float atTopCode, bool calibrated) {
  InputScale s;
  s.calibrated = calibrated;
  s.lowestVolts = std::min(atCodeZero, atTopCode);
  s.highestVolts = std::max(atCodeZero, atTopCode);
  return s;
}

// A dual-point record (positive, zero, negative code) of a bipolar range of
// full scale r: the two ends of a 16-bit converter, as the library converts.
InputScale dualPointScale(const uint8_t* record, double r) {
  unsigned positive = le16(record), zero = le16(record + 2), negative = le16(record + 4);
  const bool erased = positive == 0xFFFF && zero == 0xFFFF && negative == 0xFFFF;
  if (erased) {
    positive = 0xFFFF;
    zero = 0x8000;
    negative = 0;
  }
  const int z = static_cast<int>(zero);
  const double positiveScale = r / static_cast<double>(static_cast<int>(positive) - z);
  const double negativeScale = -r / static_cast<double>(z - static_cast<int>(negative));
  auto convert = [&](int raw) {
    return raw < z ? static_cast<float>(static_cast<double>(z - raw) * negativeScale)
                   : static_cast<float>(static_cast<double>(raw - z) * positiveScale);
  };
  return ends(convert(0), convert(kDualPointTopCode), !erased);
}

// A simple record (offset, gain) of a unipolar 12-bit converter.
InputScale simpleScale(const uint8_t* record) {
  uint32_t offsetField = le32(record), gainField = le32(record + 4);
  const bool erased = offsetField == 0xFFFFFFFFu && gainField == 0xFFFFFFFFu;
  if (erased) {
    offsetField = 0;
    gainField = 1u << 28;
  }
  const auto offset = static_cast<int32_t>(offsetField);
  const float scale = static_cast<float>(gainField) / static_cast<float>(1u << 28) / 4095.0f * 3.3f;
  auto convert = [&](int raw) {
    return static_cast<float>(static_cast<int64_t>(raw) - offset) * scale;
  };
  return ends(convert(0), convert(kSimpleTopCode), !erased);
}

}  // namespace

OutputScale::OutputScale(unsigned positiveCode, unsigned zeroCode, unsigned negativeCode) {
  if (positiveCode == 0xFFFF && zeroCode == 0xFFFF && negativeCode == 0xFFFF) {
    calibrated_ = false;
    positiveCode = 4095;
    zeroCode = 2047;
    negativeCode = 0;
  }
  zeroCode_ = static_cast<int>(zeroCode);
  positiveScale_ = static_cast<double>(static_cast<int>(positiveCode) - zeroCode_) / 10.0;
  negativeScale_ = static_cast<double>(zeroCode_ - static_cast<int>(negativeCode)) / 10.0;
}

int OutputScale::code(float volts) const {
  if (std::isnan(volts)) return 0;
  if (std::isinf(volts))
    volts = volts > 0 ? std::numeric_limits<float>::max() : std::numeric_limits<float>::lowest();
  const double x = static_cast<double>(volts) + 10.0 / 4095.0;
  const double s = volts >= 0 ? positiveScale_ : negativeScale_;
  const double r = s * x + zeroCode_;
  if (std::isnan(r) || r < 0.0) return 0;
  if (r > kDacTopCode) return kDacTopCode;
  return static_cast<int>(r);
}

double OutputScale::volts(int dacCode) const {
  if (dacCode >= zeroCode_) return static_cast<double>(dacCode - zeroCode_) / positiveScale_;
  return -static_cast<double>(zeroCode_ - dacCode) / negativeScale_;
}

CalibrationView CalibrationView::read(const Device& device) {
  const FamilyInfo& family = device.family();
  const int h = device.handle();
  unsigned address = family.calibrationAddress;
  if (address == 0) check(__QeloMsrReadRegister(h, kRegCalibrationAddress, &address));
  std::vector<uint8_t> block(family.simpleCalibration ? kSimpleBlockBytes : kDualPointBlockBytes);
  check(__QeloMsrReadBlock(h, address, block.data(), static_cast<int>(block.size())));

  CalibrationView view;
  for (const Peripheral& p : device.peripherals()) {
    if (isAnalogInput(p.id)) {
      InputRow row;
      row.id = p.id;
      row.rangeIds = device.ranges(p.id);
      const int channel = device.valueSlot(p.id);
      Uncalibrated missing;
      missing.id = p.id;
      missing.name = p.name;
      for (int rangeId : row.rangeIds) {
        const int r = rangeId - QELOMSR_ID_RANGE(0);
        const size_t at =
            static_cast<size_t>((family.simpleCalibration ? 0 : family.inputRecordOffset) +
                                kRecordBytes * (family.rangesPerRecordRow * channel + r));
        if (r < 0 || at + kRecordBytes > block.size())
          throw std::runtime_error("calibration record of " + p.name + " lies outside the block");
        row.scales.push_back(family.simpleCalibration
                                 ? simpleScale(block.data() + at)
                                 : dualPointScale(block.data() + at, kFullScaleVolts[r & 3]));
        if (!row.scales.back().calibrated)
          missing.ranges.push_back(rangeName(device.limits(p.id, rangeId).maxVolts));
      }
      missing.allRanges = missing.ranges.size() == row.rangeIds.size();
      if (!missing.ranges.empty()) view.uncalibrated_.push_back(missing);
      view.inputs_.push_back(std::move(row));
    }
  }
  for (const Peripheral& p : device.peripherals()) {
    if (kindOf(p.id) != kKindAnalogOutput) continue;
    const size_t at = static_cast<size_t>(family.outputRecordOffset +
                                          kRecordBytes * (p.id - QELOMSR_ID_ANALOG_OUTPUT(0)));
    if (at + kRecordBytes > block.size())
      throw std::runtime_error("calibration record of " + p.name + " lies outside the block");
    const uint8_t* rec = block.data() + at;
    OutputRow row{p.id, OutputScale(le16(rec), le16(rec + 2), le16(rec + 4))};
    if (!row.scale.calibrated()) view.uncalibrated_.push_back({p.id, p.name, {}, true});
    view.outputs_.push_back(row);
  }
  return view;
}

const InputScale& CalibrationView::input(int inputId, int rangeId) const {
  for (const auto& row : inputs_) {
    if (row.id != inputId) continue;
    for (size_t i = 0; i < row.rangeIds.size(); ++i)
      if (row.rangeIds[i] == rangeId) return row.scales[i];
    throw UsageError("the input has no range " + std::to_string(rangeId));
  }
  throw UsageError("no analog input with id " + std::to_string(inputId));
}

const OutputScale& CalibrationView::output(int outputId) const {
  for (const auto& row : outputs_)
    if (row.id == outputId) return row.scale;
  throw UsageError("no analog output with id " + std::to_string(outputId));
}

std::string CalibrationView::describeUncalibrated(int id) const {
  for (const auto& u : uncalibrated_) {
    if (u.id != id) continue;
    if (u.allRanges) return u.name;
    std::string text = u.name + " (range" + (u.ranges.size() > 1 ? "s " : " ");
    for (size_t i = 0; i < u.ranges.size(); ++i) text += (i ? ", " : "") + u.ranges[i];
    return text + ")";
  }
  return "";
}

}  // namespace qcli
