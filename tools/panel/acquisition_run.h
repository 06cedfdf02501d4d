// What a device session runs besides its live readings: a stream (StreamRun,
// frames at the device's rate) or a slow log (LogRun, single readings every
// so many seconds, timed by the host). Both deliver frames the same way
// (RunOutput): into a record the page can save, into thinned-out plot data,
// as the newest value of each channel, and counted per channel when a sample
// was clipped (the converter at the end of its scale: the input lies anywhere
// past that end, so the value is not a measurement).
#pragma once

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "../calibration_view.h"
#include "device_layout.h"
#include "stream_record.h"

namespace qpanel {

class RunOutput {
 public:
  // ids: the channels in the order the page listed them (validated by the
  // caller); each analog channel is recorded with its range in force.
  RunOutput(const DeviceLayout& layout, const qcli::CalibrationView& calibration,
            const std::vector<int>& ids, RecordInfo info, size_t recordLimitBytes);

  // Starts the record; plotStep: every how many frames one goes to the plot.
  void begin(double rateHz, int plotStep);
  // One frame from the library's frame record arrays.
  void frame(double seconds, const float* values, const int* ports);
  // Frames were lost before the next frame.
  void gap();

  // Plot data since the last call, or null when there is none.
  nlohmann::json takeChunk();
  // The newest value of each channel (null before the first frame), and the
  // names of the channels whose newest value was clipped.
  nlohmann::json latestValues() const;
  nlohmann::json latestClipped() const;
  // Per analog channel: name and clipped samples so far.
  nlohmann::json clipCounts() const;
  // Channels, clipped samples, frames, recorded frames and whether the record is full.
  nlohmann::json status() const;

  const std::vector<int>& ids() const { return ids_; }
  const std::vector<std::string>& names() const { return names_; }
  std::shared_ptr<StreamRecord> record() const { return record_; }
  long long frames() const { return frames_; }

 private:
  struct Channel {
    std::string name;
    bool analog;
    int slot;
    qcli::InputScale scale;  // analog channels: where the converter clips
    long long clipped = 0;
  };
  void openChunk();

  std::vector<int> ids_;
  std::vector<std::string> names_;
  std::vector<Channel> channels_;
  RecordInfo info_;
  size_t recordLimitBytes_;
  std::shared_ptr<StreamRecord> record_;
  std::vector<StreamRecord::Cell> cells_, latest_;
  std::vector<bool> latestClipped_;
  bool haveLatest_ = false;
  long long frames_ = 0;
  int plotStep_ = 1;
  nlohmann::json chunk_;
};

class AcquisitionRun {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~AcquisitionRun() = default;

  // Starts the run; throws qcli::ApiError (for example a rate the device refuses).
  virtual void start() = 0;
  // Reads what is due; throws qcli::ApiError for device failures and
  // StreamFailure when the run cannot go on.
  virtual void work(Clock::time_point now) = 0;
  // When work() has something to do next.
  virtual Clock::time_point nextWork(Clock::time_point now) const = 0;
  // Stops the device's part; the record stays.
  virtual void stop() = 0;
  // "stream" or "log".
  virtual const char* kind() const = 0;
  // A stream holds the inputs: the device takes no single readings meanwhile.
  virtual bool holdsInputs() const = 0;
  // State for the page: rates, frames, clipped samples, record.
  virtual nlohmann::json status() = 0;

  RunOutput& output() { return *output_; }
  const RunOutput& output() const { return *output_; }

 protected:
  std::unique_ptr<RunOutput> output_;
};

class StreamFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace qpanel
