// What a device's calibration records say, beyond the volts the library
// returns: whether an input or output is calibrated at all, which values mean
// that the converter sat at the end of its scale (a clipped sample), and the
// voltage an analog output really produces for a requested value.
//
// The records are read once, through the C interface's raw memory access, from
// where the library reads them when it opens the device; the conversions
// follow the library's own (same formulas, same float and double steps), so a
// clipped sample compares equal to the end values computed here.
//
//   qcli::CalibrationView cal = qcli::CalibrationView::read(device);
//   if (cal.input(id, range).clipped(volts)) ...
//   double produced = cal.output(ao).producedVolts(3.0);
#pragma once

#include <string>
#include <vector>

#include "cli_device.h"

namespace qcli {

// One analog input in one range.
struct InputScale {
  // false: the record is erased and the nominal conversion applies, so values
  // are real but not calibrated.
  bool calibrated = true;
  // The values of the converter's lowest and highest codes, the lower one
  // first. A sample at or beyond them was clipped: the input may lie anywhere
  // past that end.
  float lowestVolts = 0.0f;
  float highestVolts = 0.0f;
  bool clipped(float volts) const { return volts <= lowestVolts || volts >= highestVolts; }
};

// One analog output.
class OutputScale {
 public:
  OutputScale() = default;
  // Codes of an output record: DAC code at +10 V, 0 V and -10 V.
  OutputScale(unsigned positiveCode, unsigned zeroCode, unsigned negativeCode);

  bool calibrated() const { return calibrated_; }
  // The 12-bit DAC code the library writes for a value.
  int code(float volts) const;
  // The voltage a DAC code produces through the record.
  double volts(int code) const;
  // The voltage the output produces when asked for `volts`.
  double producedVolts(float requested) const { return volts(code(requested)); }

 private:
  bool calibrated_ = true;
  int zeroCode_ = 2047;
  double positiveScale_ = 204.8;  // codes per volt at and above 0 V
  double negativeScale_ = 204.7;  // codes per volt below 0 V
};

// An input or output whose record is erased, with the ranges concerned.
struct Uncalibrated {
  int id = 0;
  std::string name;                 // AI-3, AI-0/AI-1, AO-0, VBUSREF
  std::vector<std::string> ranges;  // range names (10V, 1V, ...); empty for outputs
  bool allRanges = true;            // every range of the input is uncalibrated
};

class CalibrationView {
 public:
  // Reads the device's calibration records; throws ApiError when the device
  // does not answer.
  static CalibrationView read(const Device& device);

  // The scale of an analog input in a range; throws UsageError for an id or
  // range the device does not have.
  const InputScale& input(int inputId, int rangeId) const;
  // The scale of an analog output; throws UsageError for an unknown output.
  const OutputScale& output(int outputId) const;

  // Every input and output with an erased record, inputs first, in the order
  // the device lists them.
  const std::vector<Uncalibrated>& uncalibrated() const { return uncalibrated_; }
  // "AI-3 (ranges 1V, 10mV)", "AO-0", "VBUSREF", or "" when `id` is
  // calibrated in every range.
  std::string describeUncalibrated(int id) const;

 private:
  struct InputRow {
    int id = 0;
    std::vector<int> rangeIds;
    std::vector<InputScale> scales;
  };
  struct OutputRow {
    int id = 0;
    OutputScale scale;
  };
  std::vector<InputRow> inputs_;
  std::vector<OutputRow> outputs_;
  std::vector<Uncalibrated> uncalibrated_;
};

}  // namespace qcli
