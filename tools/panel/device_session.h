// One open device and the one page that drives it.
//
// Every library call for the device runs on the session's own worker thread,
// which owns the device handle: the page's requests are queued to it as tasks
// and run between the worker's own work (live readings about four times a
// second, or the reads of a running stream), so that a request never lands in
// the middle of a stream read and two requests never interleave.
//
// When the device fails (unplugged, stalled), the worker closes it, reports
// the failure to the page and looks for the device again every second; when it
// is back it is opened again (which resets it) and the page goes on without a
// reload.
//
// The page proves that it is the owner with the session's token.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "acquisition_run.h"
#include "device_layout.h"
#include "event_hub.h"

namespace qpanel {

// Enumerating and opening go through this lock, so that one thread's
// enumeration list is not replaced by another's between the two.
std::mutex& enumerationMutex();

struct SessionOptions {
  std::chrono::milliseconds livePeriod{250};  // live readings while no stream runs
  std::chrono::milliseconds reconnectPeriod{1000};
  std::chrono::milliseconds requestTimeout{20000};  // longest wait for the worker
  size_t recordLimitBytes = size_t{512} << 20;
};

class DeviceSession {
 public:
  using Clock = std::chrono::steady_clock;

  DeviceSession(std::string identifier, std::string token, SessionOptions options);
  ~DeviceSession();  // close()
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  // Opens the device (which resets it). Throws PanelError.
  void open();
  // Stops a stream, closes the device and ends the page's event stream; the
  // session then refuses every request. Safe to call more than once.
  void close();

  const std::string& identifier() const { return identifier_; }
  const std::string& token() const { return token_; }
  EventHub& events() { return events_; }

  // The page's requests; each validates, runs on the worker and returns the
  // new state. Throw PanelError; nothing changes when they do.
  nlohmann::json state();
  nlohmann::json setRange(const std::string& input, size_t rangeIndex);
  nlohmann::json setOutput(const std::string& output, double volts);
  nlohmann::json setPort(const std::string& port, std::optional<long long> outputEnable,
                         std::optional<long long> levels);
  nlohmann::json setLed(bool on);
  nlohmann::json setCounter(std::optional<bool> enable, bool reset);
  // A stream or a slow log of the channels replaces the latest record; one
  // that is not saved yet only with discardUnsaved (else PanelError 409,
  // code "unsaved").
  nlohmann::json startStream(const std::vector<std::string>& channels, double rateHz,
                             bool discardUnsaved);
  nlohmann::json startLog(const std::vector<std::string>& channels, double everySeconds,
                          bool discardUnsaved);
  // Stops the stream or the slow log.
  nlohmann::json stopRun();
  // The record of the latest stream or log, or null when there is none.
  std::shared_ptr<StreamRecord> record();
  // Throws PanelError 409 (code "unsaved") when the latest record has rows
  // that no saved file holds and discardUnsaved is false.
  void requireSavedOrDiscarded(bool discardUnsaved, const std::string& action);

  // Owner liveness: requests and attached event streams keep the owner alive.
  void touch();
  void attachReader();
  void detachReader();
  bool ownerGone(std::chrono::milliseconds grace) const;

  // Identifier, family, firmware and connection, for the device list (any thread).
  nlohmann::json summary() const;
  // The device's enumeration entry once it was opened (any thread): the list
  // no longer shows a device the panel holds open.
  std::optional<qcli::DeviceEntry> entry() const;

 private:
  enum class Connection { Opening, Connected, Lost, Closed };
  // What a task gives back. Failures travel as status and text, not as
  // exception objects shared between threads.
  struct Outcome {
    nlohmann::json value;
    int status = 0;  // 0: success, else the HTTP status of the failure
    std::string message;
    std::string code;  // PanelError::code()
  };
  struct Task {
    std::function<nlohmann::json()> work;
    std::promise<Outcome> result;
    std::atomic<bool> abandoned{false};
  };

  nlohmann::json run(std::function<nlohmann::json()> work);
  void worker();
  void runTasks();
  void tick(Clock::time_point now);
  Clock::time_point nextWake(Clock::time_point now) const;

  void connect();  // enumerate, open, describe; throws
  void liveReadings();
  void runStep(Clock::time_point now);
  void publishRunStatus();
  void endRun(const std::string& error);
  nlohmann::json beginRun(std::unique_ptr<AcquisitionRun> run);
  std::vector<int> channelIds(const std::vector<std::string>& channels) const;
  void lose(const std::string& why);
  // What happened to the connection, the library's text after it.
  std::string lossText(const std::string& libraryText) const;
  void publishState();
  nlohmann::json stateJson() const;
  void requireConnected() const;
  std::string withDevice(const std::string& text) const;

  const std::string identifier_;
  const std::string token_;
  const SessionOptions options_;
  EventHub events_;

  // Worker-owned (touched only on the worker thread).
  std::unique_ptr<qcli::Device> device_;
  DeviceLayout layout_;
  Connection connection_ = Connection::Opening;
  std::string error_;  // why the connection was lost, or the last live-reading failure
  std::string notice_;
  std::unique_ptr<AcquisitionRun> run_;
  std::shared_ptr<StreamRecord> lastRecord_;
  nlohmann::json lastRunStatus_;
  std::string streamError_;
  int opens_ = 0;  // successful opens: the page tells a reopened (reset) device by it
  std::vector<int> snapshotIds_;  // the live-reading frame: every input
  bool liveFrameSet_ = false;     // the device holds that frame
  Clock::time_point nextLive_{}, nextReconnect_{}, nextChunk_{}, nextStatus_{};
  std::optional<float> temperature_;

  std::mutex mutex_;  // guards the fields below
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Task>> tasks_;
  bool stopping_ = false;
  std::shared_ptr<StreamRecord> publishedRecord_;
  Clock::time_point lastSeen_;
  int readers_ = 0;
  nlohmann::json summary_;
  std::optional<qcli::DeviceEntry> entry_;
  mutable std::mutex ownerMutex_;  // guards lastSeen_, readers_, summary_ and entry_

  std::mutex closeMutex_;
  std::thread thread_;
};

}  // namespace qpanel
