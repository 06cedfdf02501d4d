#include "log_run.h"

namespace qpanel {

using nlohmann::json;

LogRun::LogRun(const qcli::Device& device, const DeviceLayout& layout,
               const qcli::CalibrationView& calibration, const std::vector<int>& ids,
               double everySeconds, size_t recordLimitBytes)
    : handle_(device.handle()),
      values_(static_cast<size_t>(layout.family->valueSlots)),
      ports_(static_cast<size_t>(layout.family->portSlots)),
      everySeconds_(everySeconds) {
  output_ = std::make_unique<RunOutput>(layout, calibration, ids, RecordInfo{}, recordLimitBytes);
}

void LogRun::start() {
  output_->begin(1.0 / everySeconds_, 1);
  start_ = next_ = Clock::now();
}

void LogRun::work(Clock::time_point now) {
  if (now < next_) return;
  // The next reading keeps to the schedule; one that is late by a whole
  // period or more is not caught up on.
  const auto every =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(everySeconds_));
  next_ += every;
  if (next_ <= now) next_ = now + every;
  // The frame of the logged inputs: the live readings set up their own again.
  std::vector<int> ids(output_->ids());
  qcli::check(QeloMsrSetupInputFrame(handle_, ids.data(), static_cast<int>(ids.size())));
  const Clock::time_point taken = Clock::now();
  qcli::check(QeloMsrReadFrame(handle_, values_.data(), ports_.data()));
  output_->frame(std::chrono::duration<double>(taken - start_).count(), values_.data(),
                 ports_.data());
}

AcquisitionRun::Clock::time_point LogRun::nextWork(Clock::time_point) const { return next_; }

json LogRun::status() {
  json j = output_->status();
  j.update(json{{"running", true},
                {"kind", kind()},
                {"everySeconds", everySeconds_},
                {"deviceRate", nullptr},
                {"achievedRate", nullptr},
                {"bufferFill", nullptr},
                {"overruns", 0},
                {"seconds", std::chrono::duration<double>(Clock::now() - start_).count()},
                {"plotStep", 1}});
  return j;
}

}  // namespace qpanel
