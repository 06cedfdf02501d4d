// Continuous acquisition loop of the command-line tool: sets up the input
// frame and the trigger, starts the device, drains it with
// QeloMsrReadNonBlocking and a short sleep, and hands every block of frames
// to a consumer.
#pragma once

#include <string>
#include <vector>

#include "cli_device.h"

namespace qcli {

// One input of the frame and where its value lands in the frame record.
struct Channel {
  int id = 0;
  std::string name;
  bool analog = false;   // value in vbuffer (volts), else an integer in buffer
  bool counter = false;  // a 32-bit unsigned count in an int slot
  int slot = 0;
  int words = 1;  // 16-bit words the input occupies in a device frame
};

// Describes the inputs of a frame for the device's family.
std::vector<Channel> describeChannels(const Device& device, const std::vector<int>& inputIds);

class FrameConsumer {
 public:
  virtual ~FrameConsumer() = default;
  // The acquisition runs; deviceRate is the frame rate the device runs at
  // (1e9 / its period in ns), -1 when frames are taken on trigger events.
  virtual void started(double deviceRate) { (void)deviceRate; }
  // count frame records, frame f at values[f * valueSlots], ports[f * portSlots],
  // taken at seconds[f] since the start.
  virtual void frames(const float* values, const int* ports, int count, const double* seconds) = 0;
  // Frames were lost to an overrun after framesBefore frames: called once
  // per overrun (restarts that overflow again before a frame came belong to
  // it), after every frame the device kept was delivered.
  virtual void gap(long long framesBefore) { (void)framesBefore; }
  // Called about once a second and at the end: a good moment to flush.
  virtual void flush() {}
};

enum class Trigger {
  None,    // frames paced by the device's timer from the start
  Start,   // the timer starts on the first trigger event
  Sample,  // one frame per trigger event
};

// How long a triggered acquisition waits for a frame unless told otherwise.
constexpr double kDefaultTriggerTimeoutS = 10.0;

struct AcquisitionOptions {
  std::vector<int> inputs;
  double rate = 1000.0;  // Hz; not used with Trigger::Sample
  long long frames = 0;  // frames to deliver; 0: take seconds instead
  double seconds = 0.0;  // with Trigger::Sample host seconds from the start
  Trigger trigger = Trigger::None;
  int triggerConfig = QELOMSR_TRIGGER_CONFIG_IN_A;
  // With a trigger: the longest wait for a frame in seconds; 0 waits until
  // interrupted.
  double triggerTimeout = kDefaultTriggerTimeoutS;
  bool restartOnOverrun = false;  // otherwise an overrun ends the acquisition
  bool progress = false;          // progress line on stderr
};

struct AcquisitionResult {
  double deviceRate = 0.0;  // the rate the device runs at; -1 on trigger events
  double periodNs = 0.0;    // the frame period the device runs at; 0 on trigger events
  long long frames = 0;     // frames delivered to the consumer
  long long reads = 0;      // QeloMsrReadNonBlocking calls
  double elapsed = 0.0;     // seconds from the first start to the last frame
  double cpuSeconds = 0.0;  // user + system time of the process meanwhile
  int overruns = 0;         // overrun episodes (a restart that overflows again is the same one)
  int capacityFrames = 0;   // frames the device buffer holds
  int maxFramesPerRead = 0;
  double peakFill = 0.0;     // largest block read as a share of the capacity
  bool interrupted = false;  // stopped early by SIGINT or SIGTERM
};

// The period in ns the device runs at, from the rate it was asked for and
// the float32 rate it reported (1e9 / period, rounded): the library's own
// period for that rate when it matches, else the nearest whole period.
double devicePeriodNs(double requestedHz, float correctedHz);

// Runs one acquisition to its end. Throws ApiError for library failures
// (an overrun without restartOnOverrun included), UsageError for a rate the
// device refuses, and std::runtime_error when the device delivers nothing
// for too long; the acquisition is stopped in every case.
AcquisitionResult acquire(const Device& device, const AcquisitionOptions& options,
                          FrameConsumer* consumer);

// Stops the acquisition when it leaves scope, whatever the reason.
class RunningAcquisition {
 public:
  explicit RunningAcquisition(int handle) : handle_(handle) {}
  ~RunningAcquisition() {
    if (running_) QeloMsrStopDataAcquisition(handle_);
  }
  RunningAcquisition(const RunningAcquisition&) = delete;
  RunningAcquisition& operator=(const RunningAcquisition&) = delete;

  // rate -1: one frame per trigger event. Returns the corrected rate; a rate
  // the device refuses is a UsageError.
  float start(bool onTrigger, double rate);
  void stop();

 private:
  int handle_;
  bool running_ = false;
};

// Disables the trigger line again once the acquisition has stopped, when
// the acquisition enabled it (the Rix: so that its counter can be enabled
// afterwards in the same session).
class TriggerEnabled {
 public:
  explicit TriggerEnabled(int handle) : handle_(handle) {}
  ~TriggerEnabled() {
    if (enabled_) QeloMsrSetTriggerEnable(handle_, QELOMSR_ID_TRIGGER, 0);
  }
  TriggerEnabled(const TriggerEnabled&) = delete;
  TriggerEnabled& operator=(const TriggerEnabled&) = delete;
  void set(bool enabled) { enabled_ = enabled; }

 private:
  int handle_;
  bool enabled_ = false;
};

// Sets the trigger line's configuration (QELOMSR_TRIGGER_CONFIG_...); the
// Rix also needs it enabled (which it refuses while its counter is
// enabled). Returns whether it enabled the line.
bool configureTrigger(const Device& device, int config);

// Whether the device takes a rate: an acquisition started and stopped at
// once. Returns the rate it runs at, or 0 when it refuses the rate.
double acceptedRate(const Device& device, double rate);

// Rewrites the progress line on stderr (printf format).
void printProgress(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Ends the progress line on stderr if one is showing, so that the next
// message starts on a fresh line.
void endProgressLine();

}  // namespace qcli
