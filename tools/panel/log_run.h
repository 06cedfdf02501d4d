// A slow log: one single reading of the chosen inputs every so many seconds,
// timed by the host, for rates below what a stream runs at (a stream's device
// clock starts at 1 Hz). Each row carries the host time of its reading in
// seconds since the start of the log. The device's live readings go on in
// between.
#pragma once

#include "acquisition_run.h"

namespace qpanel {

class LogRun : public AcquisitionRun {
 public:
  static constexpr double kMinEverySeconds = 0.1;
  static constexpr double kMaxEverySeconds = 86400.0;

  LogRun(const qcli::Device& device, const DeviceLayout& layout,
         const qcli::CalibrationView& calibration, const std::vector<int>& ids, double everySeconds,
         size_t recordLimitBytes);

  void start() override;
  void work(Clock::time_point now) override;
  Clock::time_point nextWork(Clock::time_point now) const override;
  void stop() override {}
  const char* kind() const override { return "log"; }
  bool holdsInputs() const override { return false; }
  nlohmann::json status() override;

 private:
  int handle_;
  std::vector<float> values_;
  std::vector<int> ports_;
  double everySeconds_;
  Clock::time_point start_, next_;
};

}  // namespace qpanel
