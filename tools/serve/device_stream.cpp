#include "device_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "recording.h"
#include "serve_json.h"

namespace qserve {

using nlohmann::json;

namespace {

// Restarts after overruns that never deliver a frame give up after this long.
constexpr double kRestartLimitSeconds = 10.0;
// A block holds at most this many bytes of samples.
constexpr size_t kMaxBlockSampleBytes = size_t{1} << 20;

int triggerConfigId(const std::string& name) {
  if (name == "in-b") return QELOMSR_TRIGGER_CONFIG_IN_B;
  if (name == "in-c") return QELOMSR_TRIGGER_CONFIG_IN_C;
  return QELOMSR_TRIGGER_CONFIG_IN_A;
}

const char* triggerName(StreamTrigger t) {
  switch (t) {
    case StreamTrigger::Start:
      return "start";
    case StreamTrigger::Sample:
      return "sample";
    default:
      return "none";
  }
}

uint32_t bitsOf(float value) {
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

}  // namespace

DeviceStream::DeviceStream(const qcli::Device& device, const qpanel::DeviceLayout& layout,
                           const qcli::CalibrationView& calibration, StreamSettings settings,
                           uint32_t streamId, Sink sink)
    : handle_(device.handle()),
      family_(*layout.family),
      settings_(std::move(settings)),
      streamId_(streamId),
      sink_(std::move(sink)) {
  for (int id : settings_.ids) {
    const auto frameSlot = layout.frameSlot(id);
    slots_.push_back({frameSlot.analog, qcli::kindOf(id) == qcli::kKindCounter, frameSlot.slot});
    qmqtt::BlockChannel channel;
    channel.name = frameSlot.name;
    channel.type = frameSlot.analog ? qmqtt::SampleType::Volts : qmqtt::SampleType::Raw;
    channel.rangeMinVolts = channel.rangeMaxVolts = std::nanf("");
    channel.lowestVolts = channel.highestVolts = std::nanf("");
    for (const auto& in : layout.inputs) {
      if (in.id != id) continue;
      const qpanel::RangeInfo& range = in.ranges[in.range];
      const qcli::InputScale& scale = calibration.input(id, range.id);
      channel.rangeMinVolts = range.minVolts;
      channel.rangeMaxVolts = range.maxVolts;
      channel.lowestVolts = scale.lowestVolts;
      channel.highestVolts = scale.highestVolts;
      if (!scale.calibrated) channel.flags |= qmqtt::kChannelUncalibrated;
    }
    channels_.push_back(channel);
  }
  // Large enough for as many records as the smallest frame allows per read.
  const size_t records = static_cast<size_t>(family_.readLimitBytes / 2);
  values_.resize(records * static_cast<size_t>(family_.valueSlots));
  ports_.resize(records * static_cast<size_t>(family_.portSlots));
  cells_.resize(slots_.size());
}

DeviceStream::~DeviceStream() {
  if (running_) QeloMsrStopDataAcquisition(handle_);
}

void DeviceStream::start() {
  std::vector<int> ids(settings_.ids);
  qcli::check(QeloMsrSetupInputFrame(handle_, ids.data(), static_cast<int>(ids.size())));
  if (settings_.trigger != StreamTrigger::None) {
    // The trigger line as an input; the Rix also needs it enabled.
    qcli::check(QeloMsrSetTriggerConfig(handle_, QELOMSR_ID_TRIGGER,
                                        triggerConfigId(settings_.triggerConfig)));
    int enabled = 0;
    qcli::check(QeloMsrGetTriggerEnable(handle_, QELOMSR_ID_TRIGGER, &enabled));
    if (!enabled) qcli::check(QeloMsrSetTriggerEnable(handle_, QELOMSR_ID_TRIGGER, 1));
  }
  int capacityFrames = 0;
  qcli::check(QeloMsrCalculateMaxBufferedInputFrames(handle_, &capacityFrames));
  int words = 0;
  for (const auto& s : slots_) words += s.counter ? 2 : 1;
  maxFramesPerRead_ = std::max(1, family_.readLimitBytes / (2 * words));

  const bool timed = settings_.trigger != StreamTrigger::Sample;
  float corrected = 0;
  const int rc =
      QeloMsrStartDataAcquisition(handle_, settings_.trigger == StreamTrigger::Start ? 1 : 0,
                                  static_cast<float>(settings_.rateHz), 0, &corrected);
  if (rc != 0) throw qcli::errorFor(rc);
  running_ = true;
  start_ = lastData_ = blockStart_ = Clock::now();
  startTime_ = qrec::isoTimeNow();
  startUnixNs_ = std::chrono::duration_cast<std::chrono::nanoseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
  deviceRateHz_ = !timed ? -1.0 : corrected >= 1.0f ? corrected : settings_.rateHz;
  waitingForTrigger_ = settings_.trigger != StreamTrigger::None;

  // About a tenth of a second per block, and room for a whole read.
  const size_t byBytes = kMaxBlockSampleBytes / (4 * slots_.size());
  const double perPeriod = timed ? deviceRateHz_ * 0.2 : 4096.0;
  const size_t maxFrames =
      std::min<size_t>(byBytes, std::max<size_t>(2 * static_cast<size_t>(maxFramesPerRead_),
                                                 static_cast<size_t>(std::ceil(perPeriod))));
  writer_ = std::make_unique<qmqtt::BlockWriter>(channels_, streamId_, deviceRateHz_, startUnixNs_,
                                                 static_cast<uint32_t>(maxFrames));

  // Sleep long enough for about half a read's worth of frames, but keep the
  // device buffer far from full; trigger events come at a rate nobody knows.
  const double perRead = std::min<double>(maxFramesPerRead_, capacityFrames * 0.1);
  const double pauseSeconds =
      timed ? std::clamp(0.5 * perRead / deviceRateHz_, 0.0005, 0.02) : 0.002;
  pause_ = std::chrono::microseconds(static_cast<long long>(pauseSeconds * 1e6));
}

double DeviceStream::secondsSinceStart(Clock::time_point t) const {
  return std::chrono::duration<double>(t - start_).count();
}

bool DeviceStream::step(Clock::time_point now) {
  if (ended_) return false;
  int got = 0;
  const int rc = QeloMsrReadNonBlocking(handle_, values_.data(), ports_.data(), &got);
  lastGot_ = 0;
  if (rc != 0) {
    qcli::ApiError error = qcli::errorFor(rc);
    if (!isOverflow(error)) throw error;
    restartAfterOverrun(now);
    return true;
  }
  lastGot_ = got;
  const bool timed = deviceRateHz_ > 0;
  const uint64_t wanted =
      settings_.frames > 0 ? static_cast<uint64_t>(settings_.frames) - frames_ : UINT64_MAX;
  const int take = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(got), wanted));
  for (int f = 0; f < take; ++f) {
    const float* v = values_.data() + static_cast<size_t>(f) * family_.valueSlots;
    const int* p = ports_.data() + static_cast<size_t>(f) * family_.portSlots;
    for (size_t c = 0; c < slots_.size(); ++c)
      cells_[c] =
          slots_[c].analog ? bitsOf(v[slots_[c].slot]) : static_cast<uint32_t>(p[slots_[c].slot]);
    if (writer_->frames() == 0) {
      writer_->beginFrames(frames_, segmentStartS_, segmentFrames_);
      blockStart_ = now;
    }
    const double seconds =
        timed ? segmentStartS_ + static_cast<double>(segmentFrames_) / deviceRateHz_
              : secondsSinceStart(now);
    writer_->addFrame(cells_.data(), seconds);
    ++frames_;
    ++segmentFrames_;
    if (writer_->full()) sendBlock();
  }
  if (got > 0) {
    lastData_ = now;
    waitingForTrigger_ = false;
  }
  if (settings_.frames > 0 && frames_ >= static_cast<uint64_t>(settings_.frames)) {
    running_ = false;
    const int stopped = QeloMsrStopDataAcquisition(handle_);
    finish();
    if (stopped != 0) throw qcli::errorFor(stopped);
    return false;
  }
  if (writer_->frames() > 0 && now - blockStart_ >= kBlockPeriod) sendBlock();
  return true;
}

void DeviceStream::restartAfterOverrun(Clock::time_point now) {
  ++overruns_;
  if (std::chrono::duration<double>(now - lastData_).count() > kRestartLimitSeconds)
    throw StreamFailure(
        "The device buffer keeps overflowing without delivering frames: the host cannot keep up "
        "with this rate.");
  sendBlock();
  sink_(writer_->gap(frames_));
  running_ = false;
  qcli::check(QeloMsrStopDataAcquisition(handle_));
  float corrected = 0;
  // A start on the trigger has had its event: the restart runs at once.
  qcli::check(
      QeloMsrStartDataAcquisition(handle_, 0, static_cast<float>(settings_.rateHz), 0, &corrected));
  running_ = true;
  // Time never runs backwards: the host time of the restart, at least one
  // period after the last frame.
  const double last = deviceRateHz_ > 0 && segmentFrames_ > 0
                          ? segmentStartS_ + static_cast<double>(segmentFrames_) / deviceRateHz_
                          : 0.0;
  segmentStartS_ = std::max(secondsSinceStart(Clock::now()), last);
  segmentFrames_ = 0;
}

void DeviceStream::sendBlock() {
  if (writer_ && writer_->frames() > 0) sink_(writer_->finishFrames());
}

void DeviceStream::finish() {
  if (ended_ || !writer_) return;
  sendBlock();
  sink_(writer_->end(frames_));
  ended_ = true;
}

void DeviceStream::stop() {
  if (ended_) return;
  // The frames the device took before the stop are delivered.
  try {
    for (int i = 0; i < 64 && running_; ++i) {
      if (!step(Clock::now())) return;  // the frame count was reached: ended
      if (lastGot_ == 0) break;
    }
  } catch (const std::exception&) {
    // The stop below reports what is wrong with the device.
  }
  const bool wasRunning = running_;
  running_ = false;
  const int rc = wasRunning ? QeloMsrStopDataAcquisition(handle_) : 0;
  finish();
  if (rc != 0) throw qcli::errorFor(rc);
}

void DeviceStream::abandon() {
  running_ = false;
  finish();
}

json DeviceStream::describe() const {
  json channels = json::array();
  for (const auto& c : channels_) {
    json j = {{"name", c.name}, {"unit", c.type == qmqtt::SampleType::Volts ? "V" : "raw"}};
    if (c.type == qmqtt::SampleType::Volts)
      j["calibrated"] = (c.flags & qmqtt::kChannelUncalibrated) == 0;
    j["range"] =
        c.type == qmqtt::SampleType::Volts ? rangeJson(c.rangeMinVolts, c.rangeMaxVolts) : json();
    channels.push_back(j);
  }
  return {{"id", streamId_},
          {"channels", channels},
          {"rateHz", deviceRateHz_},
          {"requestedRateHz", settings_.rateHz},
          {"trigger", triggerName(settings_.trigger)},
          {"triggerConfig",
           settings_.trigger == StreamTrigger::None ? json() : json(settings_.triggerConfig)},
          {"frames", settings_.frames},
          {"startTime", startTime_},
          {"startUnixNs", startUnixNs_},
          {"waitingForTrigger", waitingForTrigger_},
          {"overruns", overruns_}};
}

}  // namespace qserve
