// Continuous acquisition loop of the command-line tool: sets up the input
// frame, starts the device, drains it with QeloMsrReadNonBlocking and a short
// sleep, and hands every block of frames to a consumer.
#pragma once

#include <string>
#include <vector>

#include "cli_device.h"

namespace qcli {

// One input of the frame and where its value lands in the frame record.
struct Channel {
  int id = 0;
  std::string name;
  bool analog = false;  // value in vbuffer (volts), else an integer in buffer
  int slot = 0;
  int words = 1;  // 16-bit words the input occupies in a device frame
};

// Describes the inputs of a frame for the device's family.
std::vector<Channel> describeChannels(const Device& device, const std::vector<int>& inputIds);

class FrameConsumer {
 public:
  virtual ~FrameConsumer() = default;
  // The acquisition runs; deviceRate is the frame rate the device accepted.
  virtual void started(double deviceRate) { (void)deviceRate; }
  // count frame records, frame f at values[f * valueSlots], ports[f * portSlots].
  // firstFrame numbers the block's first frame since the start; seconds is
  // its time relative to the first start.
  virtual void frames(const float* values, const int* ports, int count, long long firstFrame,
                      double seconds) = 0;
  // Frames were lost to an overrun; the acquisition was restarted.
  virtual void gap(long long framesBefore) { (void)framesBefore; }
};

struct AcquisitionOptions {
  std::vector<int> inputs;
  double rate = 1000.0;
  long long frames = 0;  // frames to deliver; 0: take seconds instead
  double seconds = 0.0;
  bool restartOnOverrun = false;  // otherwise an overrun ends the acquisition
  bool progress = false;          // progress line on stderr
};

struct AcquisitionResult {
  double deviceRate = 0.0;  // the rate the device runs at
  long long frames = 0;     // frames delivered to the consumer
  long long reads = 0;      // QeloMsrReadNonBlocking calls
  double elapsed = 0.0;     // seconds from the first start to the last frame
  double cpuSeconds = 0.0;  // user + system time of the process meanwhile
  int overruns = 0;
  int capacityFrames = 0;  // frames the device buffer holds
  int maxFramesPerRead = 0;
  double peakFill = 0.0;     // largest block read as a share of the capacity
  bool interrupted = false;  // stopped early by SIGINT or SIGTERM
};

// Runs one acquisition to its end. Throws ApiError for library failures
// (an overrun without restartOnOverrun included) and std::runtime_error when
// the device delivers nothing for too long; the acquisition is stopped in
// every case.
AcquisitionResult acquire(const Device& device, const AcquisitionOptions& options,
                          FrameConsumer* consumer);

}  // namespace qcli
