#include "cli_acquisition.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <thread>

#include "cli_process.h"

namespace qcli {

namespace {

using Clock = std::chrono::steady_clock;

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

double cpuSecondsNow() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

const char* triggerConfigText(int config) {
  switch (config) {
    case QELOMSR_TRIGGER_CONFIG_IN_B:
      return "input B";
    case QELOMSR_TRIGGER_CONFIG_IN_C:
      return "input C";
    default:
      return "input A";
  }
}

bool _progress_open = false;

}  // namespace

// The trigger line as an input in the given configuration; the Rix also
// needs it enabled (which it refuses while its counter is enabled). Returns
// whether it enabled the line.
bool configureTrigger(const Device& device, int config) {
  const int h = device.handle();
  check(QeloMsrSetTriggerConfig(h, QELOMSR_ID_TRIGGER, config));
  int enabled = 0;
  check(QeloMsrGetTriggerEnable(h, QELOMSR_ID_TRIGGER, &enabled));
  if (enabled) return false;
  const int rc = QeloMsrSetTriggerEnable(h, QELOMSR_ID_TRIGGER, 1);
  if (rc != 0) {
    ApiError error = errorFor(rc);
    if (std::string(error.what()) == "Either trigger or counter can be enabled.") {
      endProgressLine();
      std::fprintf(stderr,
                   "qelomsr: the %s's counter is enabled: 'counter CNT --disable' frees the "
                   "trigger\n",
                   device.family().name);
    }
    throw error;
  }
  return true;
}

void printProgress(const char* format, ...) {
  std::fputc('\r', stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputs("   ", stderr);
  std::fflush(stderr);
  _progress_open = true;
}

float RunningAcquisition::start(bool onTrigger, double rate) {
  float corrected = 0;
  const int rc = QeloMsrStartDataAcquisition(handle_, onTrigger ? 1 : 0, static_cast<float>(rate),
                                             0, &corrected);
  if (rc != 0) {
    ApiError error = errorFor(rc);
    if (error.errorClass() == QELOMSR_ERROR_CLASS_INVALID_ARGUMENT && rate > 0) {
      char text[256];
      std::snprintf(text, sizeof text,
                    "the device refused the frame rate %g Hz (%s); 'qelomsr bench DEVICE "
                    "--max-rate %g' shows the rates it takes and sustains",
                    rate, error.what(), rate);
      throw UsageError(text);
    }
    throw error;
  }
  running_ = true;
  return corrected;
}

void RunningAcquisition::stop() {
  running_ = false;
  check(QeloMsrStopDataAcquisition(handle_));
}

double acceptedRate(const Device& device, double rate) {
  float corrected = 0;
  const int rc =
      QeloMsrStartDataAcquisition(device.handle(), 0, static_cast<float>(rate), 0, &corrected);
  if (rc != 0) {
    ApiError error = errorFor(rc);
    if (error.errorClass() == QELOMSR_ERROR_CLASS_INVALID_ARGUMENT) return 0.0;
    throw error;
  }
  check(QeloMsrStopDataAcquisition(device.handle()));
  return corrected >= 1.0f ? corrected : rate;
}

void endProgressLine() {
  if (!_progress_open) return;
  std::fputc('\n', stderr);
  std::fflush(stderr);
  _progress_open = false;
}

std::vector<Channel> describeChannels(const Device& device, const std::vector<int>& inputIds) {
  const FamilyInfo& family = device.family();
  std::vector<Channel> channels;
  for (int id : inputIds) {
    Channel c;
    c.id = id;
    c.name = device.nameOf(id);
    switch (kindOf(id)) {
      case kKindAnalogInput:
      case kKindDiffInput:
        c.analog = true;
        c.slot = device.valueSlot(id);
        break;
      case kKindDigitalPort:
        c.slot = id & 0xFF;
        break;
      case kKindCounter:
        if (family.counterSlot < 0)
          throw UsageError(std::string("the ") + family.name + " has no counter");
        c.slot = family.counterSlot;
        c.counter = true;
        c.words = 2;
        break;
      case kKindTrigger:
        c.slot = family.triggerSlot;
        break;
      default:
        throw UsageError("'" + c.name + "' cannot be part of an input frame");
    }
    channels.push_back(c);
  }
  return channels;
}

double devicePeriodNs(double requestedHz, float correctedHz) {
  if (!(correctedHz > 0.0f)) return requestedHz > 0 ? std::trunc(1e9 / requestedHz) : 0.0;
  const double asked = std::trunc(1e9 / requestedHz);
  if (asked >= 1.0 && static_cast<float>(1e9 / asked) == correctedHz) return asked;
  return std::max(1.0, std::round(1e9 / static_cast<double>(correctedHz)));
}

AcquisitionResult acquire(const Device& device, const AcquisitionOptions& options,
                          FrameConsumer* consumer) {
  const FamilyInfo& family = device.family();
  const std::vector<Channel> channels = describeChannels(device, options.inputs);
  int words = 0;
  for (const auto& c : channels) words += c.words;

  std::vector<int> ids(options.inputs);
  check(QeloMsrSetupInputFrame(device.handle(), ids.data(), static_cast<int>(ids.size())));
  // Declared before the acquisition: restored after it stopped.
  TriggerEnabled triggerEnabled(device.handle());
  if (options.trigger != Trigger::None)
    triggerEnabled.set(configureTrigger(device, options.triggerConfig));

  AcquisitionResult result;
  check(QeloMsrCalculateMaxBufferedInputFrames(device.handle(), &result.capacityFrames));
  result.maxFramesPerRead = family.readLimitBytes / (2 * words);
  // The arrays hold as many records as the smallest possible frame (one
  // word) allows per call, so they are large enough whatever the frame.
  const size_t records = static_cast<size_t>(family.readLimitBytes / 2);
  std::vector<float> values(records * family.valueSlots);
  std::vector<int> ports(records * family.portSlots);
  std::vector<double> seconds(records);

  const bool timed = options.trigger != Trigger::Sample;
  const double requested = timed ? options.rate : -1.0;
  RunningAcquisition run(device.handle());
  const Clock::time_point start = Clock::now();
  const float corrected = run.start(options.trigger == Trigger::Start, requested);
  result.periodNs = timed ? devicePeriodNs(options.rate, corrected) : 0.0;
  result.deviceRate = timed ? 1e9 / result.periodNs : -1.0;
  if (consumer != nullptr) consumer->started(result.deviceRate);

  // Frames to deliver; on trigger events a duration counts in host time.
  // A duration longer than any count of frames is no limit at all.
  const double wanted = options.seconds * result.deviceRate;
  const long long target = options.frames > 0         ? options.frames
                           : timed && wanted < 9.0e18 ? std::max(1LL, std::llround(wanted))
                                                      : std::numeric_limits<long long>::max();
  // Sleep long enough for about half a read's worth of frames, but keep the
  // device buffer far from full: never longer than a tenth of its capacity.
  // Trigger events come at a rate nobody knows: poll every 2 ms.
  const double perRead = std::min<double>(result.maxFramesPerRead, result.capacityFrames * 0.1);
  const auto pause = std::chrono::duration<double>(
      timed ? std::clamp(0.5 * perRead / result.deviceRate, 0.0005, 0.02) : 0.002);
  // Without a single frame for this long a timed acquisition is taken to
  // have stopped. Waiting for a trigger has only the bound the user gave.
  const double stallLimit = std::max(10.0, 20.0 / result.deviceRate);
  const char* const triggerText = triggerConfigText(options.triggerConfig);

  const double cpuStart = cpuSecondsNow();
  Clock::time_point rateStart = start, lastData = start, lastProgress = start, lastFlush = start;
  // Timer frames are k periods after the first frame of their stretch; a
  // stretch after a restart starts where the host clock says the device is,
  // never earlier than one period after the last frame.
  double segmentOffset = 0.0, lastFrameSeconds = -1.0;
  long long segmentFrames = 0;
  double fill = 0.0;
  bool waitingForStart = options.trigger == Trigger::Start;
  bool inOverrun = false;  // restarted after an overrun, no frame since

  auto showProgress = [&](Clock::time_point now, bool last) {
    const double elapsed = secondsBetween(rateStart, now);
    const double rate = elapsed > 0 ? static_cast<double>(result.frames) / elapsed : 0.0;
    if (waitingForStart) {
      printProgress("waiting for the trigger on TRG (%s): %.0f s", triggerText,
                    secondsBetween(start, now));
    } else if (!timed) {
      const bool idle = secondsBetween(lastData, now) > 0.25;
      if (target == std::numeric_limits<long long>::max())
        printProgress("%lld frames on trigger events  overruns %d%s", result.frames,
                      result.overruns, idle && !last ? "  waiting for the trigger" : "");
      else
        printProgress("%lld/%lld frames on trigger events  overruns %d%s", result.frames, target,
                      result.overruns, idle && !last ? "  waiting for the trigger" : "");
    } else {
      printProgress("%lld/%lld frames  %.1f Hz  buffer %3.0f%%  overruns %d", result.frames, target,
                    rate, fill * 100.0, result.overruns);
    }
    if (last) endProgressLine();
  };

  while (result.frames < target) {
    if (stopRequested()) {
      result.interrupted = true;
      break;
    }
    Clock::time_point now = Clock::now();
    if (!timed && options.frames == 0 && secondsBetween(start, now) >= options.seconds) break;
    int got = 0;
    const int rc = QeloMsrReadNonBlocking(device.handle(), values.data(), ports.data(), &got);
    ++result.reads;
    now = Clock::now();
    if (rc != 0) {
      ApiError error = errorFor(rc);
      if (!isOverflow(error)) throw error;
      // Every frame the device kept has been delivered: the gap is here.
      if (!inOverrun) {
        ++result.overruns;
        endProgressLine();
        std::fprintf(stderr,
                     "qelomsr: overrun after %lld frames: the device buffer overflowed, "
                     "frames were lost\n",
                     result.frames);
        if (consumer != nullptr) consumer->gap(result.frames);
        inOverrun = true;
      }
      if (!options.restartOnOverrun) throw error;
      // Restarts that never deliver a frame are bounded in time, so a rate the
      // host cannot keep up with at all ends instead of looping.
      if (secondsBetween(lastData, now) > stallLimit) throw error;
      run.stop();
      // A start on the trigger has had its event: the restart runs at once.
      run.start(false, requested);
      const Clock::time_point restart = Clock::now();
      segmentOffset = timed ? secondsBetween(rateStart, restart) : 0.0;
      if (timed && lastFrameSeconds >= 0.0)
        segmentOffset = std::max(segmentOffset, lastFrameSeconds + result.periodNs / 1e9);
      segmentFrames = 0;
      waitingForStart = false;
      continue;
    }
    if (got > 0) {
      inOverrun = false;
      if (waitingForStart) {
        // The timer started on the trigger event, about got periods ago.
        waitingForStart = false;
        rateStart = now - std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(got / result.deviceRate));
      }
      const int take = static_cast<int>(std::min<long long>(got, target - result.frames));
      // Timer frames k periods after the start of their stretch, in double
      // from the frame index; frames taken on trigger events when they were
      // read (the device gives no time).
      for (int f = 0; f < take; ++f)
        seconds[f] =
            timed ? segmentOffset + static_cast<double>(segmentFrames + f) * result.periodNs / 1e9
                  : secondsBetween(start, now);
      if (consumer != nullptr) consumer->frames(values.data(), ports.data(), take, seconds.data());
      lastFrameSeconds = seconds[take - 1];
      result.frames += take;
      segmentFrames += got;
      lastData = now;
      fill = result.capacityFrames > 0 ? static_cast<double>(got) / result.capacityFrames : 0.0;
      result.peakFill = std::max(result.peakFill, fill);
    } else {
      const double idle = secondsBetween(lastData, now);
      const bool onTrigger = waitingForStart || !timed;
      if (onTrigger && options.triggerTimeout > 0 && idle > options.triggerTimeout) {
        char text[128];
        std::snprintf(text, sizeof text, "no trigger event on TRG (%s) within %g s", triggerText,
                      options.triggerTimeout);
        throw std::runtime_error(text);
      }
      if (!onTrigger && idle > stallLimit)
        throw std::runtime_error("The device delivered no frames for " +
                                 std::to_string(static_cast<int>(stallLimit)) + " s.");
    }
    result.elapsed = secondsBetween(rateStart, now);
    if (options.progress && now - lastProgress > std::chrono::milliseconds(250)) {
      showProgress(now, false);
      lastProgress = now;
    }
    if (consumer != nullptr && now - lastFlush > std::chrono::seconds(1)) {
      consumer->flush();
      lastFlush = now;
    }
    if (got < result.maxFramesPerRead) std::this_thread::sleep_for(pause);
  }
  run.stop();
  const Clock::time_point end = Clock::now();
  if (!waitingForStart) result.elapsed = secondsBetween(rateStart, end);
  result.cpuSeconds = cpuSecondsNow() - cpuStart;
  if (consumer != nullptr) consumer->flush();
  if (options.progress) showProgress(end, true);
  return result;
}

}  // namespace qcli
