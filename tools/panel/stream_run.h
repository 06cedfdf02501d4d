// A continuous acquisition driven from a device session's worker thread: sets
// up the input frame, starts the device, reads what it buffered a few calls
// at a time (so that the worker stays free for the page's requests between
// reads) and hands every frame to its RunOutput.
//
// An overrun (the device buffer overflowed: frames lost) restarts the
// acquisition and is marked as a gap in the record and in the plot data, never
// joined over. Restarts that deliver nothing for 10 s, and a device that stops
// delivering frames altogether, end the stream with a StreamFailure.
#pragma once

#include "acquisition_run.h"

namespace qpanel {

class StreamRun : public AcquisitionRun {
 public:
  // The page's plot gets at most about this many points per channel and second.
  static constexpr double kPlotPointsPerSecond = 2000.0;

  // ids: the channels in the order the page listed them (validated by the caller).
  StreamRun(const qcli::Device& device, const DeviceLayout& layout,
            const qcli::CalibrationView& calibration, const std::vector<int>& ids, double rateHz,
            size_t recordLimitBytes);
  ~StreamRun() override;

  void start() override;
  void work(Clock::time_point now) override;
  Clock::time_point nextWork(Clock::time_point now) const override;
  void stop() override;
  const char* kind() const override { return "stream"; }
  bool holdsInputs() const override { return true; }
  nlohmann::json status() override;

 private:
  // One read of what the device buffered; returns the frames read.
  int step();
  void restartAfterOverrun(Clock::time_point now);
  double secondsSince(Clock::time_point t) const;

  int handle_;
  const qcli::FamilyInfo& family_;
  double rateHz_;
  double deviceRateHz_ = 0;

  bool running_ = false;
  int capacityFrames_ = 0;
  int maxFramesPerRead_ = 1;
  int lastGot_ = 0;
  std::chrono::microseconds pause_{1000};
  double stallLimitSeconds_ = 2.0;
  std::vector<float> values_;
  std::vector<int> ports_;

  Clock::time_point start_, lastData_, nextRead_;
  double segmentOffset_ = 0;
  long long segmentFrames_ = 0;
  int overruns_ = 0;
  double peakFill_ = 0;
  double achievedHz_ = 0;
  Clock::time_point windowStart_;
  long long windowFrames_ = 0;
  int plotStep_ = 1;
};

}  // namespace qpanel
