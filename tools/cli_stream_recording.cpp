#include "cli_stream_recording.h"

#include <cstdint>
#include <cstdio>

#include "cli_process.h"

namespace qcli {

std::vector<qrec::Column> describeColumns(const Device& device,
                                          const std::vector<Channel>& channels,
                                          const CalibrationView& calibration) {
  std::vector<qrec::Column> columns;
  for (const auto& c : channels) {
    qrec::Column column;
    column.name = c.name;
    column.analog = c.analog;
    if (c.analog) {
      int range = 0, delay = 0;
      check(QeloMsrGetAnalogInputParameters(device.handle(), c.id, &range, &delay));
      const RangeLimits limits = device.limits(c.id, range);
      column.rangeMinVolts = limits.minVolts;
      column.rangeMaxVolts = limits.maxVolts;
      const InputScale& scale = calibration.input(c.id, range);
      column.calibrated = scale.calibrated;
      column.clipLowVolts = scale.lowestVolts;
      column.clipHighVolts = scale.highestVolts;
    }
    columns.push_back(column);
  }
  return columns;
}

RecordingConsumer::RecordingConsumer(const Device& device, std::vector<Channel> channels,
                                     std::vector<qrec::Column> columns, Opener open, bool warn)
    : device_(device),
      channels_(std::move(channels)),
      columns_(std::move(columns)),
      open_(std::move(open)),
      warn_(warn),
      row_(channels_.size()) {}

void RecordingConsumer::started(double deviceRate) {
  qrec::RecordingInfo info;
  info.startTime = qrec::isoTimeNow();
  info.rateHz = deviceRate;
  info.device = device_.entry().identifier;
  info.family = device_.family().name;
  info.serial = device_.serialNumber();
  info.firmware = device_.entry().firmware;
  info.columns = columns_;
  recording_ = open_(info);
}

void RecordingConsumer::frames(const float* values, const int* ports, int count,
                               const double* seconds) {
  const FamilyInfo& family = device_.family();
  for (int f = 0; f < count && !stopInsisted(); ++f) {
    const float* v = values + static_cast<size_t>(f) * family.valueSlots;
    const int* p = ports + static_cast<size_t>(f) * family.portSlots;
    for (size_t i = 0; i < channels_.size(); ++i) row_[i] = channelValue(channels_[i], v, p);
    recording_->frame(seconds[f], row_.data());
  }
  if (!warned_ && count > 0) {
    warned_ = true;
    if (warn_) warnOfClipping(recording_->framesWritten());
  }
}

void RecordingConsumer::warnOfClipping(long long frames) const {
  const std::vector<long long> counts = recording_->clipped();
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (counts[i] == 0) continue;
    const qrec::Column& c = columns_[i];
    endProgressLine();
    std::fprintf(stderr,
                 "qelomsr: warning: %s clipped in %lld of the first %lld frames (at an end of "
                 "its %s .. %s V range): the input may lie beyond it\n",
                 c.name.c_str(), counts[i], frames,
                 qrec::numberText(static_cast<float>(c.rangeMinVolts)).c_str(),
                 qrec::numberText(static_cast<float>(c.rangeMaxVolts)).c_str());
  }
}

void RecordingConsumer::gap(long long framesBefore) {
  (void)framesBefore;  // the recording counts its own frames
  recording_->gap();
}

void RecordingConsumer::flush() {
  if (recording_) recording_->flush();
}

void enableCounter(const Device& device, const std::vector<Channel>& channels, Trigger trigger) {
  for (const auto& c : channels) {
    if (!c.counter) continue;
    int enabled = 0;
    check(QeloMsrGetCounterEnable(device.handle(), c.id, &enabled));
    if (enabled) return;
    if (trigger != Trigger::None && std::string(device.family().name) == "Rix")
      throw UsageError("the Rix counts or takes a trigger, not both: stream " + c.name +
                       " without --trigger, or --trigger without " + c.name);
    check(QeloMsrSetCounterEnable(device.handle(), c.id, 1));
    std::fprintf(stderr, "qelomsr: %s enabled for the stream (it counts only while enabled)\n",
                 c.name.c_str());
    return;
  }
}

void warnOfUncalibrated(const std::vector<qrec::Column>& columns) {
  for (const auto& c : columns)
    if (c.analog && !c.calibrated)
      std::fprintf(stderr,
                   "qelomsr: warning: %s is uncalibrated: nominal conversion (erased calibration "
                   "record)\n",
                   c.name.c_str());
}

void printClipped(const std::vector<qrec::Column>& columns, const qrec::Recording& recording) {
  const std::string clipped = clipSummary(columns, recording.clipped());
  if (!clipped.empty()) std::fprintf(stderr, "qelomsr: clipped samples: %s\n", clipped.c_str());
}

std::string clipSummary(const std::vector<qrec::Column>& columns,
                        const std::vector<long long>& counts) {
  std::string text;
  for (size_t i = 0; i < columns.size() && i < counts.size(); ++i) {
    if (!columns[i].analog) continue;
    text += (text.empty() ? "" : ", ") + columns[i].name + " " + std::to_string(counts[i]);
  }
  return text;
}

void printSummary(const AcquisitionResult& r, long long frames, const std::string& how) {
  std::string rate;
  char text[128];
  if (r.deviceRate > 0 && r.elapsed >= kMinSecondsForAchievedRate) {
    std::snprintf(text, sizeof text, "at %.6g Hz (device rate), %.1f Hz achieved", r.deviceRate,
                  static_cast<double>(r.frames) / r.elapsed);
    rate = text;
  } else if (r.deviceRate > 0) {
    std::snprintf(text, sizeof text, "at %.6g Hz (device rate)", r.deviceRate);
    rate = text;
  } else {
    rate = "on trigger events";
  }
  std::fprintf(stderr, "qelomsr: %lld frames %s, %d overrun%s%s\n", frames, rate.c_str(),
               r.overruns, r.overruns == 1 ? "" : "s", how.c_str());
}

void printCutShort(const std::vector<qrec::Column>& columns, const qrec::Recording& recording,
                   const std::string& where) {
  std::fprintf(stderr, "qelomsr: %lld frames written%s before the error, %zu gap%s\n",
               recording.framesWritten(), where.c_str(), recording.gaps().size(),
               recording.gaps().size() == 1 ? "" : "s");
  printClipped(columns, recording);
}

std::string whereWritten(const StreamArgs& args) {
  return toStandardOutput(args) ? "" : " to " + args.out;
}

}  // namespace qcli
