// Calibrators: raw converter codes to volts and back, and the table that holds
// them per channel and range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Turns a raw ADC code into a value in volts.
class InputCalibrator {
 public:
  InputCalibrator() = default;
  virtual ~InputCalibrator() = default;
  InputCalibrator(const InputCalibrator&) = delete;
  InputCalibrator& operator=(const InputCalibrator&) = delete;

  virtual float calibrate(int raw) const = 0;
};

// Offset and gain calibration of a unipolar 12-bit converter with a 3.3 V span.
class SimpleInputCalibrator final : public InputCalibrator {
 public:
  // Fields of a simple record: offset (raw code of 0 V) and gain (unsigned
  // fixed point, 28 fraction bits). Both all ones (erased) give the default.
  SimpleInputCalibrator(uint32_t offset, uint32_t gain);

  float calibrate(int raw) const override { return convert(raw); }
  // The conversion itself, callable without a virtual call where the
  // calibrator's class is known (frame demultiplexing). The difference is
  // formed in 64 bits: an offset near INT32_MIN must not overflow.
  float convert(int raw) const {
    return static_cast<float>(static_cast<int64_t>(raw) - offset) * scale;
  }

  int32_t getOffset() const { return offset; }
  float getScale() const { return scale; }

 private:
  int32_t offset;
  float scale;
};

// Two-slope calibration of a bipolar 16-bit converter: one scale below the
// zero code, one at and above it; extrapolated outside the calibrated span.
class DualPointInputCalibrator final : public InputCalibrator {
 public:
  DualPointInputCalibrator(uint16_t positiveCode, uint16_t zeroCode, uint16_t negativeCode,
                           double positiveFullScale, double negativeFullScale);

  float calibrate(int raw) const override { return convert(raw); }
  // The conversion itself, callable without a virtual call where the
  // calibrator's class is known (frame demultiplexing).
  float convert(int raw) const {
    if (raw < zeroCode) {
      return static_cast<float>(static_cast<double>(zeroCode - raw) * negativeScale);
    }
    return static_cast<float>(static_cast<double>(raw - zeroCode) * positiveScale);
  }

  int32_t getZeroCode() const { return zeroCode; }
  double getNegativeScale() const { return negativeScale; }
  double getPositiveScale() const { return positiveScale; }

 private:
  int32_t zeroCode;
  double negativeScale;
  double positiveScale;
};

// Turns a value in volts into a 12-bit DAC code (0..4095) of a +-10 V output.
class OutputCalibrator {
 public:
  // Fields of an output record: DAC codes at +10 V, 0 V and -10 V. All three
  // 0xFFFF (erased) give the nominal converter.
  OutputCalibrator(uint16_t positiveCode, uint16_t zeroCode, uint16_t negativeCode);

  // Clamped to 0..4095; NaN gives 0, an infinity the code of the largest
  // finite value of its sign.
  uint16_t calibrate(float value) const;

  int32_t getZeroCode() const { return zeroCode; }
  double getNegativeScale() const { return negativeScale; }
  double getPositiveScale() const { return positiveScale; }
  double getRoundingOffset() const { return roundingOffset; }

 private:
  int32_t zeroCode;
  double negativeScale;
  double positiveScale;
  double roundingOffset;
};

// Rows x columns of shared calibrators. Lookups are unchecked: callers pass
// only indexes produced by the family validators and its cached ranges.
template <typename T>
class CalibrateManager {
 public:
  CalibrateManager(int rows, int columns)
      : table(static_cast<std::size_t>(rows), std::vector<T>(static_cast<std::size_t>(columns))) {}

  void addCalibrator(int row, int column, const T& calibrator) {
    table[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = calibrator;
  }

  const std::vector<T>& operator[](std::size_t row) const { return table[row]; }
  std::size_t rows() const { return table.size(); }

 private:
  std::vector<std::vector<T>> table;
};

// Sizes of the calibration records in device memory.
constexpr int kCalibrationRecordSize = 8;
