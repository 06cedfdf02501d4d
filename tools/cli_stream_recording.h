// What the stream command hands to its data file: the columns of its channels
// with their ranges, calibration state and clip limits, and a consumer that
// writes the frames of the acquisition into a recording (recording.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "calibration_view.h"
#include "cli_acquisition.h"
#include "cli_commands.h"
#include "recording.h"

namespace qcli {

// One column per channel: analog inputs with the range they are set to, the
// limits of their range, whether they are calibrated and the values of the
// converter's ends (a sample there is counted as clipped).
std::vector<qrec::Column> describeColumns(const Device& device,
                                          const std::vector<Channel>& channels,
                                          const CalibrationView& calibration);

// Hands the frames of an acquisition to a recording, which it creates once
// the device runs (so that a rate the device refuses leaves any existing
// file untouched). A second stop signal ends a block of frames after the
// row being written.
class RecordingConsumer : public FrameConsumer {
 public:
  using Opener = std::function<std::unique_ptr<qrec::Recording>(const qrec::RecordingInfo&)>;

  RecordingConsumer(const Device& device, std::vector<Channel> channels,
                    std::vector<qrec::Column> columns, Opener open, bool warn);

  void started(double deviceRate) override;
  void frames(const float* values, const int* ports, int count, const double* seconds) override;
  void gap(long long framesBefore) override;
  void flush() override;

  qrec::Recording* recording() { return recording_.get(); }
  const std::vector<qrec::Column>& columns() const { return columns_; }

 private:
  // After the first block: the channels that already clip, on stderr.
  void warnOfClipping(long long frames) const;

  const Device& device_;
  std::vector<Channel> channels_;
  std::vector<qrec::Column> columns_;
  Opener open_;
  bool warn_;
  bool warned_ = false;
  std::vector<double> row_;
  std::unique_ptr<qrec::Recording> recording_;
};

// Where a stream's data goes: standard output for no --out or "-".
bool toStandardOutput(const StreamArgs& args);
qrec::FileOptions fileOptions(const StreamArgs& args);

// The value of a channel in a frame record: volts, or the port, trigger or
// 32-bit unsigned counter value.
inline double channelValue(const Channel& c, const float* values, const int* ports) {
  if (c.analog) return values[c.slot];
  if (c.counter) return static_cast<double>(static_cast<std::uint32_t>(ports[c.slot]));
  return ports[c.slot];
}

// The counter counts only while enabled, and opening the device disabled
// it: a stream of CNT enables it (the Rix's counter and trigger exclude each
// other, so not together with a trigger there).
void enableCounter(const Device& device, const std::vector<Channel>& channels, Trigger trigger);

// Says on stderr which analog columns are uncalibrated.
void warnOfUncalibrated(const std::vector<qrec::Column>& columns);

// "qelomsr: clipped samples: AI-0 0, AI-1 57" on stderr, when the recording
// has analog columns.
void printClipped(const std::vector<qrec::Column>& columns, const qrec::Recording& recording);

// "AI-0 0, AI-1 57": the clipped samples per analog column, or "" when the
// recording has no analog column.
std::string clipSummary(const std::vector<qrec::Column>& columns,
                        const std::vector<long long>& counts);

// "qelomsr: 5000 frames at 1000 Hz (device rate), 0 overruns" on stderr; how
// is appended (", interrupted").
void printSummary(const AcquisitionResult& r, long long frames, const std::string& how);

// After a failure: the frames and gaps written before it (where: " to FILE"
// or ""), and the clipped samples.
void printCutShort(const std::vector<qrec::Column>& columns, const qrec::Recording& recording,
                   const std::string& where);
// " to FILE", or "" for standard output.
std::string whereWritten(const StreamArgs& args);

}  // namespace qcli
