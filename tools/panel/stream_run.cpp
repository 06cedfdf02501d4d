#include "stream_run.h"

#include <algorithm>
#include <cmath>

#include "recording.h"

namespace qpanel {

using nlohmann::json;

namespace {

bool isOverflow(const qcli::ApiError& e) {
  return e.errorClass() == QELOMSR_ERROR_CLASS_RUNTIME &&
         std::string(e.what()) == "Buffer overflow.";
}

json cellJson(const StreamRecord::Cell& cell, bool analog) {
  if (!analog) return cell.raw;
  if (!std::isfinite(cell.volts)) return nullptr;
  return cell.volts;
}

// Restarts after overruns that never deliver a frame give up after this long.
constexpr double kRestartLimitSeconds = 10.0;

}  // namespace

StreamRun::StreamRun(const qcli::Device& device, const DeviceLayout& layout,
                     const std::vector<int>& ids, double rateHz, size_t recordLimitBytes)
    : handle_(device.handle()),
      family_(*layout.family),
      ids_(ids),
      rateHz_(rateHz),
      recordLimitBytes_(recordLimitBytes) {
  info_.device = layout.entry.identifier;
  info_.serial = layout.serial;
  info_.firmware = layout.entry.firmware;
  for (int id : ids_) {
    const auto slot = layout.frameSlot(id);
    names_.push_back(slot.name);
    slots_.push_back({slot.analog, slot.slot});
    RecordedChannel ch;
    ch.name = slot.name;
    ch.analog = slot.analog;
    ch.rangeMin = ch.rangeMax = std::nan("");
    for (const auto& in : layout.inputs) {
      if (in.id == id) {
        ch.rangeMin = in.ranges[in.range].minVolts;
        ch.rangeMax = in.ranges[in.range].maxVolts;
      }
    }
    info_.channels.push_back(ch);
  }
  // The arrays hold as many records as the smallest frame (one word) allows
  // per read, so they are large enough whatever the frame.
  const size_t records = static_cast<size_t>(family_.readLimitBytes / 2);
  values_.resize(records * static_cast<size_t>(family_.valueSlots));
  ports_.resize(records * static_cast<size_t>(family_.portSlots));
  cells_.resize(ids_.size());
  latest_.resize(ids_.size());
}

StreamRun::~StreamRun() {
  if (running_) QeloMsrStopDataAcquisition(handle_);
}

void StreamRun::start() {
  std::vector<int> ids(ids_);
  qcli::check(QeloMsrSetupInputFrame(handle_, ids.data(), static_cast<int>(ids.size())));
  qcli::check(QeloMsrCalculateMaxBufferedInputFrames(handle_, &capacityFrames_));
  int words = 0;
  for (int id : ids_) words += qcli::kindOf(id) == qcli::kKindCounter ? 2 : 1;
  maxFramesPerRead_ = std::max(1, family_.readLimitBytes / (2 * words));

  float corrected = 0;
  qcli::check(QeloMsrStartDataAcquisition(handle_, 0, static_cast<float>(rateHz_), 0, &corrected));
  running_ = true;
  deviceRateHz_ = corrected >= 1.0f ? corrected : rateHz_;
  info_.rateHz = deviceRateHz_;
  info_.startTime = qrec::isoTimeNow();
  record_ = std::make_shared<StreamRecord>(info_, recordLimitBytes_);

  // Wait long enough for about half a read's worth of frames, but keep the
  // device buffer far from full: never longer than a tenth of its capacity.
  const double perRead = std::min<double>(maxFramesPerRead_, capacityFrames_ * 0.1);
  const double pauseSeconds = std::clamp(0.5 * perRead / deviceRateHz_, 0.0005, 0.02);
  pause_ = std::chrono::microseconds(static_cast<long long>(pauseSeconds * 1e6));
  stallLimitSeconds_ = std::max(2.0, 20.0 / deviceRateHz_);
  plotStep_ = std::max(1, static_cast<int>(std::ceil(deviceRateHz_ / kPlotPointsPerSecond)));

  start_ = lastData_ = windowStart_ = Clock::now();
}

double StreamRun::secondsSince(Clock::time_point t) const {
  return std::chrono::duration<double>(t - start_).count();
}

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
  openChunk();
  for (int f = 0; f < got; ++f) {
    const float* values = values_.data() + static_cast<size_t>(f) * family_.valueSlots;
    const int* ports = ports_.data() + static_cast<size_t>(f) * family_.portSlots;
    for (size_t c = 0; c < slots_.size(); ++c) {
      if (slots_[c].analog)
        cells_[c].volts = values[slots_[c].slot];
      else
        cells_[c].raw = static_cast<uint32_t>(ports[slots_[c].slot]);
    }
    const double seconds = segmentOffset_ + static_cast<double>(segmentFrames_) / deviceRateHz_;
    record_->append(seconds, cells_.data());
    if (frames_ % plotStep_ == 0) {
      chunk_["t"].push_back(seconds);
      for (size_t c = 0; c < slots_.size(); ++c)
        chunk_["v"][c].push_back(cellJson(cells_[c], slots_[c].analog));
    }
    ++frames_;
    ++segmentFrames_;
  }
  latest_ = cells_;
  haveLatest_ = true;
  lastData_ = now;
  if (capacityFrames_ > 0)
    peakFill_ = std::max(peakFill_, static_cast<double>(got) / capacityFrames_);
  return got;
}

void StreamRun::openChunk() {
  if (!chunk_.is_null()) return;
  // Plot points: times, then one array per channel; gaps name the point index
  // before which frames were lost.
  chunk_ = {{"first", frames_}, {"step", plotStep_}, {"t", json::array()}, {"gaps", json::array()}};
  chunk_["v"] = json::array();
  for (size_t c = 0; c < ids_.size(); ++c) chunk_["v"].push_back(json::array());
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
  record_->markGap();
  openChunk();
  chunk_["gaps"].push_back({{"frame", frames_}, {"index", chunk_["t"].size()}});
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
    achievedHz_ = static_cast<double>(frames_ - windowFrames_) / window;
    windowStart_ = now;
    windowFrames_ = frames_;
  }
  json j = {{"running", running_},
            {"channels", names_},
            {"requestedRate", rateHz_},
            {"deviceRate", deviceRateHz_},
            {"achievedRate", achievedHz_},
            {"bufferFill", peakFill_},
            {"capacityFrames", capacityFrames_},
            {"overruns", overruns_},
            {"frames", frames_},
            {"seconds", secondsSince(now)},
            {"plotStep", plotStep_}};
  if (record_) {
    j["recordedFrames"] = record_->rows();
    j["recordFull"] = record_->full();
  }
  peakFill_ = 0;
  return j;
}

json StreamRun::takeChunk() {
  json chunk;
  chunk.swap(chunk_);
  // Frames the chunk covers, so that the page can tell a chunk it missed.
  if (!chunk.is_null()) chunk["frames"] = frames_ - chunk["first"].get<long long>();
  return chunk;
}

json StreamRun::latestValues() const {
  json j = json::object();
  for (size_t c = 0; c < names_.size(); ++c)
    j[names_[c]] = haveLatest_ ? cellJson(latest_[c], slots_[c].analog) : json();
  return j;
}

}  // namespace qpanel
