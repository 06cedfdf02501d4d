// The read subcommand: single calibrated reads of analog inputs, and slow
// logging (--every): rows of single reads timed by the host, into a data file.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>

#include "calibration_view.h"
#include "cli_commands.h"
#include "cli_json.h"
#include "cli_output.h"
#include "cli_process.h"
#include "recording.h"

namespace qcli {

namespace {

using Clock = std::chrono::steady_clock;

// An analog input to read, with the range it is read in.
struct Input {
  int id = 0;
  std::string name;
  int rangeId = 0;
  const InputScale* scale = nullptr;  // in that range
  // The same input is read in another range too: set the range before each
  // read.
  bool switchRange = false;
};

void setRange(const Device& device, const Input& input) {
  int delay = 0;
  check(QeloMsrSetAnalogInputParameters(device.handle(), input.id, input.rangeId, -1, &delay));
}

// Resolves every input and range before the device is touched, then reads
// the calibration records and sets the ranges. An input without a range of
// its own (and without --range) is read in the range it has when the command
// starts.
std::vector<Input> prepareInputs(const Device& device, const ReadArgs& args,
                                 std::unique_ptr<CalibrationView>& calibration) {
  std::vector<Input> inputs;
  for (const auto& text : args.inputs) {
    const ChannelSpec channel = parseChannelSpec(text);
    const std::string& range = channel.range.empty() ? args.range : channel.range;
    Input input;
    input.id = device.resolve(channel.name, {kKindAnalogInput, kKindDiffInput});
    input.name = device.nameOf(input.id);
    input.rangeId = range.empty() ? -1 : device.resolveRange(input.id, range);
    inputs.push_back(input);
  }
  calibration = std::make_unique<CalibrationView>(CalibrationView::read(device));
  for (Input& input : inputs) {
    int delay = 0;
    if (input.rangeId < 0)
      check(QeloMsrGetAnalogInputParameters(device.handle(), input.id, &input.rangeId, &delay));
  }
  for (Input& input : inputs) {
    for (const Input& other : inputs)
      input.switchRange =
          input.switchRange || (other.id == input.id && other.rangeId != input.rangeId);
    input.scale = &calibration->input(input.id, input.rangeId);
    if (!input.switchRange) setRange(device, input);
  }
  return inputs;
}

Reading readingOf(const Device& device, const Input& input, float volts) {
  Reading r;
  r.input = input.name;
  r.volts = volts;
  r.range = device.limits(input.id, input.rangeId);
  r.calibrated = input.scale->calibrated;
  r.clipped = input.scale->clipped(volts);
  return r;
}

float readOnce(const Device& device, const Input& input) {
  if (input.switchRange) setRange(device, input);
  float volts = 0;
  check(QeloMsrReadAnalogInput(device.handle(), input.id, &volts));
  return volts;
}

int readOnce(const Device& device, const ReadArgs& args) {
  std::unique_ptr<CalibrationView> calibration;
  const std::vector<Input> inputs = prepareInputs(device, args, calibration);
  std::vector<Reading> readings;
  for (const Input& input : inputs)
    readings.push_back(readingOf(device, input, readOnce(device, input)));
  printReadings(device.entry().identifier, readings, args.output);
  return kExitSuccess;
}

// Slow logging: row k is read at start + k * every, whatever the previous
// rows took (no drift); a row that comes late because the one before took
// longer than the period is reported, and none is skipped.
class Logger {
 public:
  Logger(const Device& device, const ReadArgs& args) : device_(device), args_(args) {
    period_ = parseDurationSeconds(args.every, "--every duration");
    inputs_ = prepareInputs(device, args, calibration_);
    clipped_.assign(inputs_.size(), 0);
    row_.resize(inputs_.size());
  }

  int run() {
    toStdout_ = args_.out.empty() || args_.out == "-";
    recording_ = toStdout_ ? qrec::writeCsv(out(), "standard output", info())
                           : qrec::createRecording(args_.out, info());
    for (const Input& input : inputs_) warnUncalibrated(readingOf(device_, input, 0));
    try {
      loop();
      recording_->close();
    } catch (const std::exception& e) {
      const int code = reportFailure(e);
      if (code == kExitBrokenPipe) return code;
      try {
        recording_->close();
      } catch (const std::exception& closing) {
        reportFailure(closing);
      }
      summary(" before the error");
      return code;
    }
    summary(stopRequested() ? ", interrupted" : "");
    return stopRequested() ? exitCodeForSignal(stopSignal()) : kExitSuccess;
  }

 private:
  qrec::RecordingInfo info() const {
    qrec::RecordingInfo info;
    info.startTime = qrec::isoTimeNow();
    info.rateHz = 1.0 / period_;
    info.device = device_.entry().identifier;
    info.serial = device_.serialNumber();
    info.firmware = device_.entry().firmware;
    for (const Input& input : inputs_) {
      qrec::Column column;
      column.name = input.name;
      column.analog = true;
      const RangeLimits limits = device_.limits(input.id, input.rangeId);
      column.rangeMinVolts = limits.minVolts;
      column.rangeMaxVolts = limits.maxVolts;
      info.columns.push_back(column);
    }
    return info;
  }

  double since(Clock::time_point from, Clock::time_point to) const {
    return std::chrono::duration<double>(to - from).count();
  }

  void loop() {
    // Row k is due k periods after the first row began.
    Clock::time_point start{}, lastEnd{};
    for (long long k = 0; args_.count == 0 || k < args_.count; ++k) {
      const Clock::time_point due =
          start + std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(static_cast<double>(k) * period_));
      if (k > 0 && lastEnd > due) {
        ++lateRows_;
        if (lateRows_ <= kLateWarnings)
          std::fprintf(
              stderr,
              "qelomsr: warning: row %lld is %.3g s late: reading row %lld took %.3g s, "
              "longer than --every %s%s\n",
              k, since(due, lastEnd), k - 1, lastTook_, args_.every.c_str(),
              lateRows_ == kLateWarnings ? " (further late rows are counted at the end)" : "");
      }
      if (k > 0 && !sleepUntil(due)) return;
      const Clock::time_point rowStart = Clock::now();
      if (k == 0) start = rowStart;
      readRow(k);
      recording_->frame(since(start, rowStart), row_.data());
      recording_->flush();
      lastEnd = Clock::now();
      lastTook_ = since(rowStart, lastEnd);
      // A signal during the reads ends the run after the complete row.
      if (stopRequested()) return;
    }
  }

  bool sleepUntil(Clock::time_point due) {
    const Clock::time_point now = Clock::now();
    if (due <= now) return !stopRequested();
    return sleepUnlessStopped(since(now, due));
  }

  void readRow(long long k) {
    for (size_t i = 0; i < inputs_.size(); ++i) {
      double sum = 0;
      bool clipped = false;
      for (long long n = 0; n < args_.average; ++n) {
        const float volts = readOnce(device_, inputs_[i]);
        clipped = clipped || inputs_[i].scale->clipped(volts);
        sum += volts;
      }
      // The mean of float32 readings, kept as a float32 value like every
      // analog value of a data file.
      row_[i] = static_cast<float>(sum / static_cast<double>(args_.average));
      if (clipped && clipped_[i]++ == 0) {
        const std::string when = " in row " + std::to_string(k) +
                                 " (further clipped rows are "
                                 "counted at the end)";
        warnClipped(readingOf(device_, inputs_[i], 0), when);
      }
    }
  }

  void summary(const char* how) const {
    if (args_.output.quiet) return;
    std::string clipped;
    for (size_t i = 0; i < inputs_.size(); ++i)
      if (clipped_[i] > 0)
        clipped += ", " + inputs_[i].name + " clipped in " + std::to_string(clipped_[i]) + " row" +
                   (clipped_[i] == 1 ? "" : "s");
    std::fprintf(stderr, "qelomsr: %lld row%s every %s%s%s, %lld late%s%s\n",
                 recording_->framesWritten(), recording_->framesWritten() == 1 ? "" : "s",
                 args_.every.c_str(), toStdout_ ? "" : " written to ",
                 toStdout_ ? "" : args_.out.c_str(), lateRows_, clipped.c_str(), how);
  }

  static constexpr long long kLateWarnings = 10;
  const Device& device_;
  const ReadArgs& args_;
  double period_ = 1.0;
  std::unique_ptr<CalibrationView> calibration_;
  std::vector<Input> inputs_;
  std::vector<double> row_;
  std::vector<long long> clipped_;
  std::unique_ptr<qrec::Recording> recording_;
  bool toStdout_ = true;
  long long lateRows_ = 0;
  double lastTook_ = 0;
};

}  // namespace

void checkRead(const ReadArgs& args) {
  if (args.every.empty()) {
    if (args.count != 0 || args.average != 1 || !args.out.empty())
      throw UsageError("--count, --average and --out need --every");
    return;
  }
  parseDurationSeconds(args.every, "--every duration");
  if (args.output.json)
    throw UsageError("--json prints one reading; for rows every " + args.every +
                     " write a data file with --out (CSV or HDF5)");
  if (args.count < 0) throw UsageError("--count must be 0 (until interrupted) or more");
  if (args.average < 1 || args.average > 100000)
    throw UsageError("--average takes 1 to 100000 reads per value");
}

int runRead(const Device& device, const ReadArgs& args) {
  checkRead(args);
  if (args.every.empty()) return readOnce(device, args);
  Logger logger(device, args);
  return logger.run();
}

}  // namespace qcli
