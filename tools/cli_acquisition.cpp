#include "cli_acquisition.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <thread>

namespace qcli {

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t _stop_requested = 0;

extern "C" void onStopSignal(int) { _stop_requested = 1; }

// Installs SIGINT/SIGTERM handlers for the duration of an acquisition so that
// an interrupted run still stops the device and keeps what it read.
class StopSignals {
 public:
  StopSignals() {
    _stop_requested = 0;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt_);
    sigaction(SIGTERM, &action, &oldTerm_);
  }
  ~StopSignals() {
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
};

// Stops the acquisition when the loop leaves, whatever the reason.
class RunningAcquisition {
 public:
  explicit RunningAcquisition(int handle) : handle_(handle) {}
  ~RunningAcquisition() {
    if (running_) QeloMsrStopDataAcquisition(handle_);
  }
  RunningAcquisition(const RunningAcquisition&) = delete;
  RunningAcquisition& operator=(const RunningAcquisition&) = delete;

  float start(double rate) {
    float corrected = 0;
    check(QeloMsrStartDataAcquisition(handle_, 0, static_cast<float>(rate), 0, &corrected));
    running_ = true;
    return corrected;
  }
  void stop() {
    running_ = false;
    check(QeloMsrStopDataAcquisition(handle_));
  }

 private:
  int handle_;
  bool running_ = false;
};

double cpuSecondsNow() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool isOverflow(const ApiError& e) {
  return e.errorClass() == QELOMSR_ERROR_CLASS_RUNTIME &&
         std::string(e.what()) == "Buffer overflow.";
}

void printProgress(const AcquisitionResult& r, long long target, double fill, bool last) {
  const double rate = r.elapsed > 0 ? static_cast<double>(r.frames) / r.elapsed : 0.0;
  std::fprintf(stderr, "\r%lld/%lld frames  %.1f Hz  buffer %3.0f%%  overruns %d%s", r.frames,
               target, rate, fill * 100.0, r.overruns, last ? "\n" : "   ");
  std::fflush(stderr);
}

}  // namespace

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
          throw UsageError("a " + std::string(family.name) + " device has no counter");
        c.slot = family.counterSlot;
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

AcquisitionResult acquire(const Device& device, const AcquisitionOptions& options,
                          FrameConsumer* consumer) {
  const FamilyInfo& family = device.family();
  const std::vector<Channel> channels = describeChannels(device, options.inputs);
  int words = 0;
  for (const auto& c : channels) words += c.words;

  std::vector<int> ids(options.inputs);
  check(QeloMsrSetupInputFrame(device.handle(), ids.data(), static_cast<int>(ids.size())));

  AcquisitionResult result;
  check(QeloMsrCalculateMaxBufferedInputFrames(device.handle(), &result.capacityFrames));
  result.maxFramesPerRead = family.readLimitBytes / (2 * words);
  // The arrays hold as many records as the smallest possible frame (one
  // word) allows per call, so they are large enough whatever the frame.
  const size_t records = static_cast<size_t>(family.readLimitBytes / 2);
  std::vector<float> values(records * family.valueSlots);
  std::vector<int> ports(records * family.portSlots);

  StopSignals signals;
  RunningAcquisition run(device.handle());
  result.deviceRate = run.start(options.rate);
  if (!(result.deviceRate >= 1.0)) result.deviceRate = options.rate;
  if (consumer != nullptr) consumer->started(result.deviceRate);

  const long long target = options.frames > 0
                               ? options.frames
                               : std::max(1LL, std::llround(options.seconds * result.deviceRate));
  // Sleep long enough for about half a read's worth of frames, but keep the
  // device buffer far from full: never longer than a tenth of its capacity.
  const double perRead = std::min<double>(result.maxFramesPerRead, result.capacityFrames * 0.1);
  const auto pause =
      std::chrono::duration<double>(std::clamp(0.5 * perRead / result.deviceRate, 0.0005, 0.02));
  // Without a single frame for this long the device is taken to have stopped.
  const double stallLimit = std::max(2.0, 20.0 / result.deviceRate);
  // Restarting after overruns gets longer: a restart delivers frames only when
  // the host wins the race against a nearly full buffer.
  const double restartLimit = std::max(10.0, stallLimit);

  const double cpuStart = cpuSecondsNow();
  const Clock::time_point start = Clock::now();
  Clock::time_point segmentStart = start, lastData = start, lastProgress = start;
  double segmentOffset = 0.0;
  long long segmentFrames = 0;
  double fill = 0.0;

  while (result.frames < target) {
    if (_stop_requested) {
      result.interrupted = true;
      break;
    }
    int got = 0;
    const int rc = QeloMsrReadNonBlocking(device.handle(), values.data(), ports.data(), &got);
    ++result.reads;
    const Clock::time_point now = Clock::now();
    if (rc != 0) {
      ApiError error = errorFor(rc);
      if (!isOverflow(error)) throw error;
      ++result.overruns;
      std::fprintf(stderr,
                   "%sqelomsr: overrun after %lld frames: the device buffer overflowed, "
                   "frames were lost\n",
                   options.progress ? "\n" : "", result.frames);
      if (!options.restartOnOverrun) throw error;
      // Restarts that never deliver a frame are bounded in time, so a rate the
      // host cannot keep up with at all ends instead of looping.
      if (std::chrono::duration<double>(now - lastData).count() > restartLimit) throw error;
      run.stop();
      if (consumer != nullptr) consumer->gap(result.frames);
      run.start(options.rate);
      segmentStart = Clock::now();
      segmentOffset = std::chrono::duration<double>(segmentStart - start).count();
      segmentFrames = 0;
      continue;
    }
    if (got > 0) {
      const int take = static_cast<int>(std::min<long long>(got, target - result.frames));
      const double seconds = segmentOffset + static_cast<double>(segmentFrames) / result.deviceRate;
      if (consumer != nullptr)
        consumer->frames(values.data(), ports.data(), take, result.frames, seconds);
      result.frames += take;
      segmentFrames += got;
      lastData = now;
      fill = result.capacityFrames > 0 ? static_cast<double>(got) / result.capacityFrames : 0.0;
      result.peakFill = std::max(result.peakFill, fill);
    } else if (std::chrono::duration<double>(now - lastData).count() > stallLimit) {
      throw std::runtime_error("The device delivered no frames for " +
                               std::to_string(static_cast<int>(stallLimit)) + " s.");
    }
    result.elapsed = std::chrono::duration<double>(now - start).count();
    if (options.progress && now - lastProgress > std::chrono::milliseconds(250)) {
      printProgress(result, target, fill, false);
      lastProgress = now;
    }
    if (got < result.maxFramesPerRead) std::this_thread::sleep_for(pause);
  }
  run.stop();
  result.elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  result.cpuSeconds = cpuSecondsNow() - cpuStart;
  if (options.progress) printProgress(result, target, fill, true);
  return result;
}

}  // namespace qcli
