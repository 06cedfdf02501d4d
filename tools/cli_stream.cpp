// The stream subcommand: continuous acquisition into a data file (CSV or
// HDF5, see recording.h).
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "cli_acquisition.h"
#include "cli_commands.h"
#include "cli_process.h"
#include "cli_stream_recording.h"
#include "recording.h"

namespace qcli {

namespace {

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

}  // namespace

bool toStandardOutput(const StreamArgs& args) { return args.out.empty() || args.out == "-"; }

qrec::FileOptions fileOptions(const StreamArgs& args) {
  qrec::FileOptions options;
  options.overwrite = args.overwrite;
  options.compress = args.compress;
  return options;
}

void checkStream(const StreamArgs& args) {
  if (!args.sync.empty()) return checkSyncStream(args);
  if (args.syncMode != "frame") throw UsageError("--sync-mode needs --sync");
  const Trigger trigger = parseTrigger(args.trigger);
  parseTriggerConfig(args.triggerConfig);
  if (trigger == Trigger::None && args.triggerConfig != "in-a")
    throw UsageError("--trigger-config needs --trigger");
  const bool timeoutGiven = !std::isnan(args.timeout);
  if (trigger == Trigger::None && timeoutGiven)
    throw UsageError("--trigger-timeout needs --trigger");
  if (timeoutGiven && !(args.timeout >= 0.0 && std::isfinite(args.timeout)))
    throw UsageError("--trigger-timeout must be a number of seconds >= 0");
  if (trigger == Trigger::Sample && args.rate != 0.0)
    throw UsageError(
        "--rate does not apply to --trigger sample: the device takes one frame per "
        "trigger event");
  if (trigger != Trigger::Sample && !(args.rate >= 1.0))
    throw UsageError("--rate must be given and at least 1 Hz");
  checkStreamOutput(args);
}

void checkStreamOutput(const StreamArgs& args) {
  if ((args.frames > 0) == (args.seconds > 0.0))
    throw UsageError("give either --frames N or --seconds S (a positive number)");
  if (args.frames < 0 || args.seconds < 0.0)
    throw UsageError("--frames and --seconds must be positive");
  if (args.compress && (toStandardOutput(args) || !qrec::isHdf5Path(args.out)))
    throw UsageError("--compress applies to HDF5 files (--out FILE.h5)");
  // A file that is there or cannot be made is refused before the device is
  // opened; the file itself is created once the device runs.
  if (!toStandardOutput(args)) {
    try {
      qrec::checkCanCreate(args.out, fileOptions(args));
    } catch (const qrec::RecordingError& e) {
      if (!e.exists()) throw;
      throw qrec::RecordingError("'" + args.out + "' exists: give --overwrite to replace it",
                                 qrec::RecordingError::Kind::Exists);
    }
  }
}

int runStream(const Device& device, const StreamArgs& args) {
  if (!args.sync.empty())
    throw UsageError(
        "--sync opens the devices it names: run 'qelomsr stream --sync DEV,DEV,...' without "
        "DEVICE and outside a session");
  checkStream(args);
  const Trigger trigger = parseTrigger(args.trigger);
  const bool toStdout = toStandardOutput(args);

  AcquisitionOptions options;
  options.trigger = trigger;
  options.triggerConfig = parseTriggerConfig(args.triggerConfig);
  options.triggerTimeout = std::isnan(args.timeout) ? kDefaultTriggerTimeoutS : args.timeout;
  options.inputs = applyChannels(
      device, splitList(args.channels), args.range,
      {kKindAnalogInput, kKindDiffInput, kKindDigitalPort, kKindCounter, kKindTrigger});
  options.rate = args.rate;
  options.frames = args.frames;
  options.seconds = args.seconds;
  options.restartOnOverrun = args.restartOnOverrun;
  // No progress line on a terminal that also shows the data.
  const bool dataOnTerminal = toStdout && isatty(fileno(out()));
  options.progress = !args.quiet && (args.progress || (isatty(STDERR_FILENO) && !dataOnTerminal));

  const std::vector<Channel> channels = describeChannels(device, options.inputs);
  std::vector<qrec::Column> columns =
      describeColumns(device, channels, CalibrationView::read(device));
  enableCounter(device, channels, trigger);
  warnOfUncalibrated(columns);
  const qrec::FileOptions files = fileOptions(args);
  RecordingConsumer consumer(
      device, channels, std::move(columns),
      [&](const qrec::RecordingInfo& info) {
        return toStdout ? qrec::writeCsv(out(), "standard output", info)
                        : qrec::createRecording(args.out, info, files);
      },
      true);
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
      recording->close();  // after a write error: only finishes the file
    } catch (const std::exception& closing) {
      reportFailure(closing);
    }
    if (!args.quiet) printCutShort(consumer.columns(), *recording, whereWritten(args));
    return code;
  }
  if (!args.quiet) {
    printSummary(result, consumer.recording()->framesWritten(),
                 result.interrupted ? ", interrupted" : "");
    printClipped(consumer.columns(), *consumer.recording());
  }
  return result.interrupted ? exitCodeForSignal(stopSignal()) : kExitSuccess;
}

}  // namespace qcli
