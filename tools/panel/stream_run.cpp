#include "stream_run.h"

#include <algorithm>
#include <cmath>

namespace qpanel {

using nlohmann::json;

namespace {

// Restarts after overruns that never deliver a frame give up after this long.
constexpr double kRestartLimitSeconds = 10.0;

}  // namespace

StreamRun::StreamRun(const qcli::Device& device, const DeviceLayout& layout,
                     const qcli::CalibrationView& calibration, const std::vector<int>& ids,
                     double rateHz, size_t recordLimitBytes)
    : handle_(device.handle()), family_(*layout.family), rateHz_(rateHz) {
  output_ = std::make_unique<RunOutput>(layout, calibration, ids, RecordInfo{}, recordLimitBytes);
  // The arrays hold as many records as the smallest frame (one word) allows
  // per read, so they are large enough whatever the frame.
  const size_t records = static_cast<size_t>(family_.readLimitBytes / 2);
  values_.resize(records * static_cast<size_t>(family_.valueSlots));
  ports_.resize(records * static_cast<size_t>(family_.portSlots));
}

StreamRun::~StreamRun() {
  if (running_) QeloMsrStopDataAcquisition(handle_);
}

void StreamRun::start() {
  std::vector<int> ids(output_->ids());
  qcli::check(QeloMsrSetupInputFrame(handle_, ids.data(), static_cast<int>(ids.size())));
  qcli::check(QeloMsrCalculateMaxBufferedInputFrames(handle_, &capacityFrames_));
  int words = 0;
  for (int id : ids) words += qcli::kindOf(id) == qcli::kKindCounter ? 2 : 1;
  maxFramesPerRead_ = std::max(1, family_.readLimitBytes / (2 * words));

  float corrected = 0;
  qcli::check(QeloMsrStartDataAcquisition(handle_, 0, static_cast<float>(rateHz_), 0, &corrected));
  running_ = true;
  deviceRateHz_ = corrected >= 1.0f ? corrected : rateHz_;
  plotStep_ = std::max(1, static_cast<int>(std::ceil(deviceRateHz_ / kPlotPointsPerSecond)));
  output_->begin(deviceRateHz_, plotStep_);

  // Wait long enough for about half a read's worth of frames, but keep the
  // device buffer far from full: never longer than a tenth of its capacity.
  const double perRead = std::min<double>(maxFramesPerRead_, capacityFrames_ * 0.1);
  const double pauseSeconds = std::clamp(0.5 * perRead / deviceRateHz_, 0.0005, 0.02);
  pause_ = std::chrono::microseconds(static_cast<long long>(pauseSeconds * 1e6));
  stallLimitSeconds_ = std::max(2.0, 20.0 / deviceRateHz_);

  start_ = lastData_ = windowStart_ = nextRead_ = Clock::now();
}

double StreamRun::secondsSince(Clock::time_point t) const {
  return std::chrono::duration<double>(t - start_).count();
}

void StreamRun::work(Clock::time_point now) {
  // Drain what is buffered, a bounded number of reads before the page's
  // requests get their turn again.
  for (int i = 0; i < 8; ++i)
    if (step() < maxFramesPerRead_) break;
  // A read that took as much as one read can: read again at once.
  nextRead_ = lastGot_ >= maxFramesPerRead_ ? now : now + pause_;
}

AcquisitionRun::Clock::time_point StreamRun::nextWork(Clock::time_point) const { return nextRead_; }

int StreamRun::step() {
  if (!running_) return 0;
  int got = 0;
  const int rc = QeloMsrReadNonBlocking(handle_, values_.data(), ports_.data(), &got);
  const Clock::time_point now = Clock::now();
  lastGot_ = 0;
  if (rc != 0) {
    qcli::ApiError error = qcli::errorFor(rc);
    if (!isOverflow(error)) throw error;
    restartAfterOverrun(now);
    return 0;
  }
  lastGot_ = got;
  if (got == 0) {
    if (std::chrono::duration<double>(now - lastData_).count() > stallLimitSeconds_) {
      throw StreamFailure("The device delivered no frames for " +
                          std::to_string(static_cast<int>(stallLimitSeconds_)) + " s.");
    }
    return 0;
  }
  for (int f = 0; f < got; ++f) {
    // Times in double from the frame index: no rounding error builds up.
    const double seconds = segmentOffset_ + static_cast<double>(segmentFrames_) / deviceRateHz_;
    output_->frame(seconds, values_.data() + static_cast<size_t>(f) * family_.valueSlots,
                   ports_.data() + static_cast<size_t>(f) * family_.portSlots);
    ++segmentFrames_;
  }
  lastData_ = now;
  if (capacityFrames_ > 0)
    peakFill_ = std::max(peakFill_, static_cast<double>(got) / capacityFrames_);
  return got;
}

void StreamRun::restartAfterOverrun(Clock::time_point now) {
  ++overruns_;
  if (std::chrono::duration<double>(now - lastData_).count() > kRestartLimitSeconds) {
    throw StreamFailure(
        "The device buffer keeps overflowing without delivering frames: the host cannot keep "
        "up with this rate.");
  }
  running_ = false;
  qcli::check(QeloMsrStopDataAcquisition(handle_));
  output_->gap();
  float corrected = 0;
  qcli::check(QeloMsrStartDataAcquisition(handle_, 0, static_cast<float>(rateHz_), 0, &corrected));
  running_ = true;
  segmentOffset_ = secondsSince(Clock::now());
  segmentFrames_ = 0;
}

void StreamRun::stop() {
  if (!running_) return;
  running_ = false;
  qcli::check(QeloMsrStopDataAcquisition(handle_));
}

json StreamRun::status() {
  const Clock::time_point now = Clock::now();
  const double window = std::chrono::duration<double>(now - windowStart_).count();
  if (window >= 1.0) {
    achievedHz_ = static_cast<double>(output_->frames() - windowFrames_) / window;
    windowStart_ = now;
    windowFrames_ = output_->frames();
  }
  json j = output_->status();
  j.update(json{{"running", running_},
                {"kind", kind()},
                {"requestedRate", rateHz_},
                {"deviceRate", deviceRateHz_},
                {"achievedRate", achievedHz_},
                {"bufferFill", peakFill_},
                {"capacityFrames", capacityFrames_},
                {"overruns", overruns_},
                {"seconds", secondsSince(now)},
                {"plotStep", plotStep_}});
  peakFill_ = 0;
  return j;
}

}  // namespace qpanel
