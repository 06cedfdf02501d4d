// One continuous acquisition driven from a device session's worker thread:
// sets up the input frame, starts the device, reads what it buffered one call
// at a time (so that the worker stays free for the page's requests between
// reads), records every frame, and prepares thinned-out plot data for the page.
//
// An overrun (the device buffer overflowed: frames lost) restarts the
// acquisition and is marked as a gap in the record and in the plot data, never
// joined over. Restarts that deliver nothing for 10 s, and a device that stops
// delivering frames altogether, end the stream with a StreamFailure.
#pragma once

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "device_layout.h"
#include "stream_record.h"

namespace qpanel {

class StreamFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class StreamRun {
 public:
  // The page's plot gets at most about this many points per channel and second.
  static constexpr double kPlotPointsPerSecond = 2000.0;

  // ids: the channels in the order the page listed them (validated by the caller).
  StreamRun(const qcli::Device& device, const DeviceLayout& layout, const std::vector<int>& ids,
            double rateHz, size_t recordLimitBytes);
  ~StreamRun();
  StreamRun(const StreamRun&) = delete;
  StreamRun& operator=(const StreamRun&) = delete;

  // Sets up the frame and starts the device; throws qcli::ApiError (for
  // example a rate the device refuses).
  void start();
  // One read of what the device buffered; returns the frames read. Throws
  // qcli::ApiError for device failures, StreamFailure as described above.
  int step();
  // Stops the device; the record stays.
  void stop();
  bool running() const { return running_; }

  // True when the last read took as much as one read can: read again at once.
  bool moreWaiting() const { return lastGot_ >= maxFramesPerRead_; }
  // How long to wait between reads that found the buffer not full.
  std::chrono::microseconds pause() const { return pause_; }

  // Stream state for the page: rates, buffer fill, overruns, frames, record.
  nlohmann::json status();
  // Plot data since the last call, or null when there is none.
  nlohmann::json takeChunk();
  // The newest value of each channel (null before the first frame).
  nlohmann::json latestValues() const;
  const std::vector<int>& ids() const { return ids_; }
  std::shared_ptr<StreamRecord> record() const { return record_; }
  double deviceRate() const { return deviceRateHz_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Slot {
    bool analog;
    int slot;
  };
  void restartAfterOverrun(Clock::time_point now);
  void openChunk();
  double secondsSince(Clock::time_point t) const;

  int handle_;
  const qcli::FamilyInfo& family_;
  std::vector<int> ids_;
  std::vector<std::string> names_;
  std::vector<Slot> slots_;
  double rateHz_;
  size_t recordLimitBytes_;
  double deviceRateHz_ = 0;
  std::shared_ptr<StreamRecord> record_;
  RecordInfo info_;

  bool running_ = false;
  int capacityFrames_ = 0;
  int maxFramesPerRead_ = 1;
  int lastGot_ = 0;
  std::chrono::microseconds pause_{1000};
  double stallLimitSeconds_ = 2.0;
  std::vector<float> values_;
  std::vector<int> ports_;
  std::vector<StreamRecord::Cell> cells_;
  std::vector<StreamRecord::Cell> latest_;
  bool haveLatest_ = false;

  Clock::time_point start_, lastData_;
  double segmentOffset_ = 0;
  long long segmentFrames_ = 0;
  long long frames_ = 0;
  int overruns_ = 0;
  double peakFill_ = 0;
  double achievedHz_ = 0;
  Clock::time_point windowStart_;
  long long windowFrames_ = 0;
  int plotStep_ = 1;
  nlohmann::json chunk_;
};

}  // namespace qpanel
