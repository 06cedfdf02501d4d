// One acquisition of a served device, driven step by step from the device's
// worker thread so that calls still run between its reads: sets up the frame
// and the trigger, starts the device, reads what it buffered with
// QeloMsrReadNonBlocking, and cuts the frames into stream blocks of about a
// tenth of a second (contract.h), which it hands to a sink.
//
// An overrun (the device buffer overflowed and frames were lost) becomes a
// gap record at the exact frame, and the acquisition starts again at once;
// restarts that deliver nothing for 10 s end the stream. The end of the
// stream (its frame count reached, a stop, a lost device) is an end record
// that gives the number of frames the stream delivered.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "calibration_view.h"
#include "call_request.h"
#include "contract.h"
#include "device_layout.h"

namespace qserve {

struct StreamSettings {
  std::vector<int> ids;  // the channels in the order the client gave them
  double rateHz = 0;     // -1 with StreamTrigger::Sample
  StreamTrigger trigger = StreamTrigger::None;
  std::string triggerConfig = "in-a";
  long long frames = 0;  // 0: until stopped
};

// A stream that cannot go on (restarts after overruns that deliver nothing).
class StreamFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class DeviceStream {
 public:
  using Clock = std::chrono::steady_clock;
  using Sink = std::function<void(const std::vector<uint8_t>&)>;
  static constexpr std::chrono::milliseconds kBlockPeriod{100};

  DeviceStream(const qcli::Device& device, const qpanel::DeviceLayout& layout,
               const qcli::CalibrationView& calibration, StreamSettings settings, uint32_t streamId,
               Sink sink);
  // Stops the device if it still runs; sends nothing.
  ~DeviceStream();
  DeviceStream(const DeviceStream&) = delete;
  DeviceStream& operator=(const DeviceStream&) = delete;

  // Sets up the frame and the trigger and starts the device. Throws
  // qcli::ApiError or qcli::UsageError (a rate the device refuses); nothing
  // was sent then.
  void start();
  // One read; sends a block when one is due. Returns false once the frame
  // count is reached (the end record is sent and the device stopped).
  // Throws qcli::ApiError for device failures and StreamFailure.
  bool step(Clock::time_point now);
  // Stops the device and sends what was read and the end record.
  void stop();
  // The device is gone: sends what was read and the end record only.
  void abandon();

  bool moreWaiting() const { return lastGot_ >= maxFramesPerRead_; }
  std::chrono::microseconds pause() const { return pause_; }
  uint32_t id() const { return streamId_; }
  uint64_t frames() const { return frames_; }
  int overruns() const { return overruns_; }
  bool waitingForTrigger() const { return waitingForTrigger_; }
  // The configuration and progress, for the state topic.
  nlohmann::json describe() const;

 private:
  void restartAfterOverrun(Clock::time_point now);
  void sendBlock();
  void finish();
  double secondsSinceStart(Clock::time_point t) const;

  const int handle_;
  const qcli::FamilyInfo& family_;
  StreamSettings settings_;
  const uint32_t streamId_;
  Sink sink_;
  struct Slot {
    bool analog;
    bool counter;
    int slot;
  };
  std::vector<Slot> slots_;
  std::vector<qmqtt::BlockChannel> channels_;
  std::unique_ptr<qmqtt::BlockWriter> writer_;

  bool running_ = false;
  bool ended_ = false;
  double deviceRateHz_ = 0;
  int maxFramesPerRead_ = 1;
  int lastGot_ = 0;
  std::chrono::microseconds pause_{1000};
  std::vector<float> values_;
  std::vector<int> ports_;
  std::vector<uint32_t> cells_;
  Clock::time_point start_, lastData_, blockStart_;
  std::string startTime_;
  int64_t startUnixNs_ = 0;
  double segmentStartS_ = 0;
  uint64_t segmentFrames_ = 0;
  uint64_t frames_ = 0;
  int overruns_ = 0;
  bool waitingForTrigger_ = false;
};

}  // namespace qserve
