// One served device and the thread that owns it.
//
// Every library call for the device runs on the worker's thread: the calls
// that arrive on the device's call topic wait in a queue and run one after the
// other, between the worker's own work (the single readings it publishes
// every interval, or the reads of a running stream). Two clients that send
// conflicting calls are therefore served in the order the broker delivered
// them, and each gets its own answer.
//
// The worker opens the device when the node's scan finds it (opening resets
// it), publishes its info and state, and when the device fails (unplugged,
// stalled) closes it, says so in the state and opens it again once the scan
// sees it back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "calibration_view.h"
#include "call_request.h"
#include "device_layout.h"
#include "device_stream.h"
#include "mqtt_client.h"
#include "stream_outbox.h"

namespace qserve {

// What the device workers of a node share.
struct NodeShared {
  std::string node;
  qmqtt::Client* client = nullptr;
  StreamOutbox* outbox = nullptr;
  bool allowControl = false;
  std::chrono::milliseconds valuesPeriod{1000};
  // Enumerating and opening go through this lock, so that one thread's
  // enumeration list is not replaced by another's between the two.
  std::mutex* enumeration = nullptr;
};

// A failure of the device or its connection rather than of the call: the
// device must be opened again before anything it says can be trusted.
bool isConnectionFailure(const qcli::ApiError& e);

// A request as it arrived, kept until the worker answers it.
struct PendingCall {
  std::string body;
  std::string responseTopic;
  std::vector<uint8_t> correlation;
};

class DeviceWorker {
 public:
  using Clock = std::chrono::steady_clock;
  // Calls that may wait for one device; more are refused at once.
  static constexpr size_t kMaxWaitingCalls = 64;

  DeviceWorker(std::string identifier, const NodeShared& node);
  ~DeviceWorker();  // stop()
  DeviceWorker(const DeviceWorker&) = delete;
  DeviceWorker& operator=(const DeviceWorker&) = delete;

  // Ends a stream (with its end record), closes the device, publishes the
  // state "closed" and ends the thread. Safe to call more than once.
  void stop();

  // Queues a call (network thread); false when too many wait.
  bool submit(PendingCall call);
  // Publishes info, state and the latest values again (after a reconnect).
  void republish();
  // The node's scan lists the device: open it if it is not open.
  void attached(const qcli::DeviceEntry& entry);
  const std::string& identifier() const { return identifier_; }
  bool isOpen() const;

 private:
  void run();
  void runCalls();
  void tick(Clock::time_point now);
  Clock::time_point nextWake(Clock::time_point now) const;

  // Device and connection (device_worker.cpp).
  void open(const qcli::DeviceEntry& entry);
  void lose(const std::string& why);
  void readValues();
  void streamStep(Clock::time_point now);
  void endStream(const std::string& why);
  void publishInfo();
  void publishState();
  void publishValues();
  nlohmann::json stateJson() const;
  std::string streamTopic() const;

  // Calls (device_calls.cpp).
  std::string answer(const PendingCall& call);
  nlohmann::json execute(const CallRequest& call);
  nlohmann::json readInputs(const CallRequest& call);
  nlohmann::json writeOutput(const CallRequest& call);
  nlohmann::json setPort(const CallRequest& call);
  nlohmann::json setRange(const CallRequest& call);
  nlohmann::json counter(const CallRequest& call);
  nlohmann::json startStream(const CallRequest& call);
  nlohmann::json stopStream();
  void requireControl(const CallRequest& call) const;
  // Resolves "NAME[:RANGE]" specs; ranges come back as range ids (or -1).
  std::vector<std::pair<int, int>> resolveChannels(const std::vector<std::string>& specs,
                                                   std::initializer_list<int> kinds) const;
  void applyRange(int inputId, int rangeId);

  const std::string identifier_;
  const NodeShared node_;

  // Worker-owned (touched only on the worker thread).
  std::unique_ptr<qcli::Device> device_;
  qpanel::DeviceLayout layout_;
  qcli::CalibrationView calibration_;  // of the open device
  std::unique_ptr<DeviceStream> stream_;
  nlohmann::json lastStream_;  // the stream that ended last, with why
  uint32_t nextStreamId_ = 1;
  std::string error_;   // why the device is not open, or the last failure
  std::string notice_;  // what the user should know (the device was reset)
  bool everOpened_ = false;
  bool liveFrameSet_ = false;
  nlohmann::json values_ = nlohmann::json::object();  // channel -> latest value payload
  Clock::time_point nextValues_{};
  std::vector<float> liveValues_;
  std::vector<int> livePorts_;

  mutable std::mutex mutex_;  // guards the fields below
  std::condition_variable wake_;
  std::deque<PendingCall> calls_;
  std::optional<qcli::DeviceEntry> seen_;
  bool republish_ = false;
  bool stopping_ = false;
  bool open_ = false;

  std::mutex stopMutex_;
  std::thread thread_;
};

}  // namespace qserve
