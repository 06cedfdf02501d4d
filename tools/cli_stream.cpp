// The stream subcommand: continuous acquisition into a data file (CSV or
// HDF5, see recording.h).
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>

#include "cli_acquisition.h"
#include "cli_commands.h"
#include "cli_process.h"
#include "recording.h"

namespace qcli {

namespace {

// Hands the frames of an acquisition to a recording, which it creates once
// the device runs (so that a rate the device refuses leaves any existing
// file untouched).
class RecordingConsumer : public FrameConsumer {
 public:
  using Opener = std::function<std::unique_ptr<qrec::Recording>(const qrec::RecordingInfo&)>;

  RecordingConsumer(const Device& device, std::vector<Channel> channels, Opener open)
      : device_(device),
        channels_(std::move(channels)),
        open_(std::move(open)),
        row_(channels_.size()) {}

  void started(double deviceRate) override {
    qrec::RecordingInfo info;
    info.startTime = qrec::isoTimeNow();
    info.rateHz = deviceRate;
    info.device = device_.entry().identifier;
    info.serial = device_.serialNumber();
    info.firmware = device_.entry().firmware;
    for (const auto& c : channels_) {
      qrec::Column column;
      column.name = c.name;
      column.analog = c.analog;
      if (c.analog) {
        int range = 0, delay = 0;
        check(QeloMsrGetAnalogInputParameters(device_.handle(), c.id, &range, &delay));
        const RangeLimits limits = device_.limits(c.id, range);
        column.rangeMinVolts = limits.minVolts;
        column.rangeMaxVolts = limits.maxVolts;
      }
      info.columns.push_back(column);
    }
    recording_ = open_(info);
  }

  void frames(const float* values, const int* ports, int count, const double* seconds) override {
    const FamilyInfo& family = device_.family();
    for (int f = 0; f < count; ++f) {
      const float* v = values + static_cast<size_t>(f) * family.valueSlots;
      const int* p = ports + static_cast<size_t>(f) * family.portSlots;
      for (size_t i = 0; i < channels_.size(); ++i) {
        const Channel& c = channels_[i];
        if (c.analog)
          row_[i] = v[c.slot];
        else if (c.counter)  // 32 bits unsigned in an int slot
          row_[i] = static_cast<double>(static_cast<std::uint32_t>(p[c.slot]));
        else
          row_[i] = p[c.slot];
      }
      recording_->frame(seconds[f], row_.data());
    }
  }

  void gap(long long framesBefore) override {
    (void)framesBefore;  // the recording counts its own frames
    recording_->gap();
  }

  void flush() override {
    if (recording_) recording_->flush();
  }

  qrec::Recording* recording() { return recording_.get(); }

 private:
  const Device& device_;
  std::vector<Channel> channels_;
  Opener open_;
  std::vector<double> row_;
  std::unique_ptr<qrec::Recording> recording_;
};

Trigger parseTrigger(const std::string& text) {
  if (text.empty() || text == "none") return Trigger::None;
  if (text == "start") return Trigger::Start;
  if (text == "sample") return Trigger::Sample;
  throw UsageError(
      "--trigger is start (start on the trigger) or sample (one frame per trigger "
      "event), not '" +
      text + "'");
}

int parseTriggerConfig(const std::string& text) {
  if (text == "in-a") return QELOMSR_TRIGGER_CONFIG_IN_A;
  if (text == "in-b") return QELOMSR_TRIGGER_CONFIG_IN_B;
  if (text == "in-c") return QELOMSR_TRIGGER_CONFIG_IN_C;
  throw UsageError("--trigger-config is in-a, in-b or in-c, not '" + text + "'");
}

void printSummary(const AcquisitionResult& r, const std::string& how) {
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
  std::fprintf(stderr, "qelomsr: %lld frames %s, %d overrun%s%s\n", r.frames, rate.c_str(),
               r.overruns, r.overruns == 1 ? "" : "s", how.c_str());
}

}  // namespace

void checkStream(const StreamArgs& args) {
  const Trigger trigger = parseTrigger(args.trigger);
  parseTriggerConfig(args.triggerConfig);
  if (trigger == Trigger::None && args.triggerConfig != "in-a")
    throw UsageError("--trigger-config needs --trigger");
  if (trigger == Trigger::None && args.timeout != 0.0)
    throw UsageError("--timeout needs --trigger");
  if (!(args.timeout >= 0.0)) throw UsageError("--timeout must be a number of seconds >= 0");
  if (trigger == Trigger::Sample && args.rate != 0.0)
    throw UsageError(
        "--rate does not apply to --trigger sample: the device takes one frame per "
        "trigger event");
  if (trigger != Trigger::Sample && !(args.rate >= 1.0))
    throw UsageError("--rate must be given and at least 1 Hz");
  if ((args.frames > 0) == (args.seconds > 0.0))
    throw UsageError("give either --frames N or --seconds S (a positive number)");
  if (args.frames < 0 || args.seconds < 0.0)
    throw UsageError("--frames and --seconds must be positive");
}

int runStream(const Device& device, const StreamArgs& args) {
  checkStream(args);
  const Trigger trigger = parseTrigger(args.trigger);
  const bool toStdout = args.out.empty() || args.out == "-";

  AcquisitionOptions options;
  options.trigger = trigger;
  options.triggerConfig = parseTriggerConfig(args.triggerConfig);
  options.triggerTimeout = args.timeout;
  options.inputs = applyChannels(
      device, splitList(args.channels), args.range,
      {kKindAnalogInput, kKindDiffInput, kKindDigitalPort, kKindCounter, kKindTrigger});
  options.rate = args.rate;
  options.frames = args.frames;
  options.seconds = args.seconds;
  options.restartOnOverrun = args.restartOnOverrun;
  options.progress = !args.quiet && (args.progress || isatty(STDERR_FILENO));

  RecordingConsumer consumer(device, describeChannels(device, options.inputs),
                             [&](const qrec::RecordingInfo& info) {
                               return toStdout ? qrec::writeCsv(out(), "standard output", info)
                                               : qrec::createRecording(args.out, info);
                             });
  AcquisitionResult result;
  try {
    result = acquire(device, options, &consumer);
    consumer.recording()->close();
  } catch (const std::exception& e) {
    // Nothing written yet (a refused rate, a file that cannot be created):
    // reported like any other failure of the command.
    qrec::Recording* recording = consumer.recording();
    if (recording == nullptr) throw;
    endProgressLine();
    const int code = reportFailure(e);
    if (code == kExitBrokenPipe) return code;
    try {
      recording->close();
    } catch (const std::exception& closing) {
      reportFailure(closing);
    }
    if (!args.quiet) {
      std::fprintf(stderr, "qelomsr: %lld frames written%s before the error, %zu gap%s\n",
                   recording->framesWritten(), toStdout ? "" : (" to " + args.out).c_str(),
                   recording->gaps().size(), recording->gaps().size() == 1 ? "" : "s");
    }
    return code;
  }
  if (!args.quiet) printSummary(result, result.interrupted ? ", interrupted" : "");
  return result.interrupted ? exitCodeForSignal(stopSignal()) : kExitSuccess;
}

}  // namespace qcli
