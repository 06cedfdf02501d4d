#include "device_session.h"

#include <cctype>
#include <cmath>

#include "float_text.h"
#include "log_run.h"
#include "panel_error.h"
#include "stream_run.h"

namespace qpanel {

using nlohmann::json;

std::mutex& enumerationMutex() {
  static std::mutex m;
  return m;
}

namespace {

// A failure of the device or its connection rather than of the request: the
// device must be opened again before anything it says can be trusted.
bool isConnectionFailure(const qcli::ApiError& e) {
  if (e.errorClass() != QELOMSR_ERROR_CLASS_RUNTIME) return false;
  const std::string text = e.what();
  return text != "Buffer overflow." && text.rfind("Not supported", 0) != 0 &&
         text.rfind("A frame sample trigger", 0) != 0;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

const char* connectionName(int c) {
  static const char* const names[] = {"opening", "connected", "lost", "closed"};
  return names[c];
}

}  // namespace

DeviceSession::DeviceSession(std::string identifier, std::string token, SessionOptions options)
    : identifier_(std::move(identifier)),
      token_(std::move(token)),
      options_(options),
      lastSeen_(Clock::now()) {
  thread_ = std::thread([this] { worker(); });
}

DeviceSession::~DeviceSession() { close(); }

void DeviceSession::close() {
  std::lock_guard<std::mutex> closing(closeMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  events_.close();
}

std::string DeviceSession::withDevice(const std::string& text) const {
  return identifier_ + ": " + text;
}

// ---- requests ------------------------------------------------------------------

json DeviceSession::run(std::function<json()> work) {
  auto task = std::make_shared<Task>();
  task->work = std::move(work);
  std::future<Outcome> result = task->result.get_future();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) throw PanelError(kNotFound, withDevice("the panel closed this device."));
    tasks_.push_back(task);
  }
  wake_.notify_all();
  if (result.wait_for(options_.requestTimeout) != std::future_status::ready) {
    task->abandoned = true;
    throw PanelError(kDeviceTimedOut, withDevice("the device did not answer in time."));
  }
  Outcome outcome = result.get();
  if (outcome.status != 0) throw PanelError(outcome.status, outcome.message, outcome.code);
  return std::move(outcome.value);
}

void DeviceSession::open() {
  run([this] {
    connect();
    publishState();
    return json();
  });
}

json DeviceSession::state() {
  return run([this] { return stateJson(); });
}

void DeviceSession::requireConnected() const {
  if (connection_ != Connection::Connected)
    throw PanelError(kNotConnected, withDevice("not connected. " + error_));
}

json DeviceSession::setRange(const std::string& name, size_t rangeIndex) {
  return run([=] {
    requireConnected();
    InputInfo* in = layout_.findInput(name);
    if (in == nullptr) throw PanelError(kNotFound, withDevice("no analog input '" + name + "'."));
    if (rangeIndex >= in->ranges.size())
      throw PanelError(kBadRequest, name + " has no range " + std::to_string(rangeIndex) + ".");
    // A running record keeps the ranges it started with.
    if (run_)
      throw PanelError(kConflict, withDevice(std::string("a ") + run_->kind() +
                                             " is running; stop it before changing a range."));
    int delay = 0;
    qcli::check(QeloMsrSetAnalogInputParameters(device_->handle(), in->id,
                                                in->ranges[rangeIndex].id, -1, &delay));
    in->range = rangeIndex;
    // The snapshot frame demultiplexes with the new range from now on.
    nextLive_ = Clock::now();
    publishState();
    return stateJson();
  });
}

json DeviceSession::setOutput(const std::string& name, double volts) {
  return run([=] {
    requireConnected();
    OutputInfo* out = layout_.findOutput(name);
    if (out == nullptr) throw PanelError(kNotFound, withDevice("no analog output '" + name + "'."));
    // The library clamps to the DAC's span; a value outside the range is
    // refused instead, so that what the page shows is what was set.
    if (!std::isfinite(volts) || volts < out->range.minVolts || volts > out->range.maxVolts) {
      char text[160];
      std::snprintf(text, sizeof text, "%s takes %g V to %g V; nothing was set.", name.c_str(),
                    static_cast<double>(out->range.minVolts),
                    static_cast<double>(out->range.maxVolts));
      throw PanelError(kBadRequest, text);
    }
    const float value = static_cast<float>(volts);
    qcli::check(QeloMsrWriteAnalogOutput(device_->handle(), out->id, value));
    out->volts = value;
    publishState();
    return stateJson();
  });
}

json DeviceSession::setPort(const std::string& name, std::optional<long long> outputEnable,
                            std::optional<long long> levels) {
  return run([=] {
    requireConnected();
    PortInfo* port = layout_.findPort(name);
    if (port == nullptr) throw PanelError(kNotFound, withDevice("no digital port '" + name + "'."));
    auto checkMask = [&](const std::optional<long long>& v, const char* what) {
      if (v && (*v < 0 || *v > port->mask())) {
        throw PanelError(kBadRequest, name + " has " + std::to_string(port->lineNames.size()) +
                                          " lines: " + what + " must be 0 to " +
                                          std::to_string(port->mask()) + "; nothing was set.");
      }
    };
    checkMask(outputEnable, "outputEnable");
    checkMask(levels, "levels");
    if (levels) {
      qcli::check(QeloMsrWriteDigitalPort(device_->handle(), port->id, static_cast<int>(*levels)));
      port->levels = static_cast<int>(*levels);
    }
    if (outputEnable) {
      qcli::check(QeloMsrSetDigitalPortOutputEnableMask(device_->handle(), port->id,
                                                        static_cast<int>(*outputEnable)));
      port->outputEnable = static_cast<int>(*outputEnable);
    }
    nextLive_ = Clock::now();
    publishState();
    return stateJson();
  });
}

json DeviceSession::setLed(bool on) {
  return run([=] {
    requireConnected();
    if (!layout_.led) throw PanelError(kNotFound, withDevice("the device has no LED."));
    qcli::check(QeloMsrSetLed(device_->handle(), layout_.led->id, on ? 1 : 0));
    layout_.ledOn = on;
    publishState();
    return stateJson();
  });
}

json DeviceSession::setCounter(std::optional<bool> enable, bool reset) {
  return run([=] {
    requireConnected();
    if (!layout_.counter) throw PanelError(kNotFound, withDevice("the device has no counter."));
    if (enable) {
      qcli::check(QeloMsrSetCounterEnable(device_->handle(), layout_.counter->id, *enable ? 1 : 0));
      layout_.counterEnabled = *enable;
    }
    if (reset) qcli::check(QeloMsrResetCounter(device_->handle(), layout_.counter->id));
    nextLive_ = Clock::now();
    publishState();
    return stateJson();
  });
}

std::vector<int> DeviceSession::channelIds(const std::vector<std::string>& channels) const {
  if (channels.empty()) throw PanelError(kBadRequest, "Choose at least one channel to record.");
  std::vector<int> ids;
  for (const auto& name : channels) {
    int id = 0;
    for (int candidate : layout_.frameInputs())
      if (layout_.frameSlot(candidate).name == name) id = candidate;
    if (id == 0) throw PanelError(kNotFound, withDevice("no input '" + name + "' to record."));
    for (int known : ids)
      if (known == id) throw PanelError(kBadRequest, name + " is listed twice.");
    ids.push_back(id);
  }
  return ids;
}

void DeviceSession::requireSavedOrDiscarded(bool discardUnsaved, const std::string& action) {
  const auto saved = record();
  const size_t unsaved = saved ? saved->unsavedRows() : 0;
  if (unsaved == 0 || discardUnsaved) return;
  throw PanelError(kConflict,
                   withDevice("the recording holds " + std::to_string(unsaved) +
                              " frames that were not saved; " + action +
                              " discards them. Save it first, or confirm to discard it."),
                   "unsaved");
}

json DeviceSession::startStream(const std::vector<std::string>& channels, double rateHz,
                                bool discardUnsaved) {
  return run([=] {
    requireConnected();
    if (run_)
      throw PanelError(
          kConflict, withDevice(std::string("a ") + run_->kind() + " is running; stop it first."));
    const std::vector<int> ids = channelIds(channels);
    if (!std::isfinite(rateHz) || rateHz < 1.0 || rateHz > 1e7)
      throw PanelError(kBadRequest, "The rate must be a number from 1 to 10000000 Hz.");
    requireSavedOrDiscarded(discardUnsaved, "a new stream");
    return beginRun(std::make_unique<StreamRun>(*device_, layout_, layout_.calibration, ids, rateHz,
                                                options_.recordLimitBytes));
  });
}

json DeviceSession::startLog(const std::vector<std::string>& channels, double everySeconds,
                             bool discardUnsaved) {
  return run([=] {
    requireConnected();
    if (run_)
      throw PanelError(
          kConflict, withDevice(std::string("a ") + run_->kind() + " is running; stop it first."));
    const std::vector<int> ids = channelIds(channels);
    if (!std::isfinite(everySeconds) || everySeconds < LogRun::kMinEverySeconds ||
        everySeconds > LogRun::kMaxEverySeconds)
      throw PanelError(kBadRequest, "The interval must be a number from 0.1 to 86400 s.");
    requireSavedOrDiscarded(discardUnsaved, "a new log");
    return beginRun(std::make_unique<LogRun>(*device_, layout_, layout_.calibration, ids,
                                             everySeconds, options_.recordLimitBytes));
  });
}

json DeviceSession::beginRun(std::unique_ptr<AcquisitionRun> run) {
  streamError_.clear();
  liveFrameSet_ = false;  // the run sets up its own frame
  run->start();           // a refused rate throws here and nothing runs
  run_ = std::move(run);
  lastRecord_ = run_->output().record();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    publishedRecord_ = lastRecord_;
  }
  const Clock::time_point now = Clock::now();
  nextChunk_ = nextStatus_ = now;
  lastRunStatus_ = run_->status();
  events_.publishStreamStatus(lastRunStatus_.dump());
  publishState();
  return stateJson();
}

json DeviceSession::stopRun() {
  return run([=] {
    if (run_) endRun("");
    return stateJson();
  });
}

std::shared_ptr<StreamRecord> DeviceSession::record() {
  std::lock_guard<std::mutex> lock(mutex_);
  return publishedRecord_;
}

// ---- owner liveness -----------------------------------------------------------

void DeviceSession::touch() {
  std::lock_guard<std::mutex> lock(ownerMutex_);
  lastSeen_ = Clock::now();
}

void DeviceSession::attachReader() {
  std::lock_guard<std::mutex> lock(ownerMutex_);
  ++readers_;
  lastSeen_ = Clock::now();
}

void DeviceSession::detachReader() {
  std::lock_guard<std::mutex> lock(ownerMutex_);
  --readers_;
  lastSeen_ = Clock::now();
}

bool DeviceSession::ownerGone(std::chrono::milliseconds grace) const {
  std::lock_guard<std::mutex> lock(ownerMutex_);
  return readers_ == 0 && Clock::now() - lastSeen_ > grace;
}

// ---- worker -------------------------------------------------------------------

void DeviceSession::worker() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      const Clock::time_point until = nextWake(Clock::now());
      wake_.wait_until(lock, until, [this] { return stopping_ || !tasks_.empty(); });
      if (stopping_) break;
    }
    runTasks();
    tick(Clock::now());
  }
  // Leaving: the pending requests learn that the session is gone.
  runTasks();
  if (run_) {
    try {
      run_->stop();
    } catch (const std::exception&) {
      // The device is closed next anyway.
    }
    run_.reset();
  }
  device_.reset();
  connection_ = Connection::Closed;
}

void DeviceSession::runTasks() {
  for (;;) {
    std::shared_ptr<Task> task;
    bool stopping = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (tasks_.empty()) return;
      task = tasks_.front();
      tasks_.pop_front();
      stopping = stopping_;
    }
    Outcome outcome;
    try {
      if (stopping) throw PanelError(kNotFound, withDevice("the panel closed this device."));
      if (task->abandoned) throw PanelError(kDeviceTimedOut, "abandoned");
      outcome.value = task->work();
    } catch (const qcli::ApiError& e) {
      const bool lost = isConnectionFailure(e) && connection_ == Connection::Connected;
      outcome.status = lost ? kDeviceFailed : statusForErrorClass(e.errorClass());
      outcome.message = lost ? lossText(e.what()) : withDevice(e.what());
      if (lost) lose(e.what());
    } catch (const PanelError& e) {
      outcome.status = e.status();
      outcome.message = e.what();
      outcome.code = e.code();
    } catch (const std::exception& e) {
      outcome.status = 500;
      outcome.message = withDevice(e.what());
    }
    task->result.set_value(std::move(outcome));
  }
}

DeviceSession::Clock::time_point DeviceSession::nextWake(Clock::time_point now) const {
  switch (connection_) {
    case Connection::Connected:
      if (run_ && run_->holdsInputs()) return run_->nextWork(now);
      if (run_) return std::min(nextLive_, run_->nextWork(now));
      return nextLive_;
    case Connection::Lost:
      return nextReconnect_;
    default:
      return now + std::chrono::seconds(1);
  }
}

void DeviceSession::tick(Clock::time_point now) {
  try {
    if (connection_ == Connection::Lost && now >= nextReconnect_) {
      nextReconnect_ = now + options_.reconnectPeriod;
      try {
        connect();
        notice_ =
            "The device is back and was opened again, which reset it: outputs at 0 V, ports "
            "as inputs, ranges at their defaults.";
        publishState();
      } catch (const std::exception&) {
        // Still gone; the next attempt follows.
      }
      return;
    }
    if (connection_ != Connection::Connected) return;
    if (run_) runStep(now);
    if ((!run_ || !run_->holdsInputs()) && now >= nextLive_) {
      nextLive_ = now + options_.livePeriod;
      liveReadings();
    }
  } catch (const qcli::ApiError& e) {
    if (isConnectionFailure(e)) {
      lose(e.what());
    } else if (run_) {
      endRun(e.what());
    } else {
      error_ = e.what();
      publishState();
    }
  } catch (const StreamFailure& e) {
    endRun(e.what());
  }
}

void DeviceSession::connect() {
  std::lock_guard<std::mutex> lock(enumerationMutex());
  const std::vector<qcli::DeviceEntry> entries = qcli::enumerateDevices();
  const qcli::DeviceEntry* found = nullptr;
  for (const auto& e : entries)
    if (lower(e.identifier) == lower(identifier_)) found = &e;
  if (found == nullptr)
    throw PanelError(kNotFound, identifier_ +
                                    " is not attached, or it is in use by another "
                                    "program (the list shows only devices it can open).");
  try {
    auto device = std::make_unique<qcli::Device>(qcli::Device::open(*found));
    DeviceLayout layout = describeDevice(*device);
    snapshotIds_ = layout.frameInputs();
    liveFrameSet_ = false;
    device_ = std::move(device);
    layout_ = std::move(layout);
  } catch (const qcli::ApiError& e) {
    throw PanelError(isConnectionFailure(e) ? kDeviceFailed : statusForErrorClass(e.errorClass()),
                     openFailureText(identifier_, e.what()));
  }
  connection_ = Connection::Connected;
  ++opens_;
  error_.clear();
  temperature_.reset();
  nextLive_ = Clock::now();
}

void DeviceSession::liveReadings() {
  const int handle = device_->handle();
  const qcli::FamilyInfo& family = *layout_.family;
  std::vector<float> values(static_cast<size_t>(family.valueSlots));
  std::vector<int> ports(static_cast<size_t>(family.portSlots));
  // A run sets up its own frame; the live frame is set up again after it.
  if (!liveFrameSet_) {
    qcli::check(
        QeloMsrSetupInputFrame(handle, snapshotIds_.data(), static_cast<int>(snapshotIds_.size())));
    liveFrameSet_ = true;
  }
  qcli::check(QeloMsrReadFrame(handle, values.data(), ports.data()));
  if (layout_.hasTemperature) {
    float celsius = 0;
    qcli::check(QeloMsrGetTemperature(handle, &celsius));
    temperature_ = celsius;
  }
  json snap = {{"streaming", false},
               {"inputs", json::object()},
               {"clipped", json::array()},
               {"ports", json::object()}};
  for (const auto& in : layout_.inputs) {
    const float v = values[static_cast<size_t>(in.slot)];
    snap["inputs"][in.name] = float32Json(v);
    if (layout_.calibration.input(in.id, in.ranges[in.range].id).clipped(v))
      snap["clipped"].push_back(in.name);
  }
  for (const auto& p : layout_.ports)
    snap["ports"][p.name] = ports[static_cast<size_t>(p.slot)] & p.mask();
  if (layout_.counter)
    snap["counter"] = static_cast<uint32_t>(ports[static_cast<size_t>(family.counterSlot)]);
  if (layout_.trigger) snap["trigger"] = ports[static_cast<size_t>(family.triggerSlot)];
  snap["temperature"] = temperature_ ? float32Json(*temperature_) : json();
  events_.publishSnapshot(snap.dump());
  if (!error_.empty()) {
    error_.clear();
    publishState();
  }
}

void DeviceSession::runStep(Clock::time_point now) {
  if (now >= run_->nextWork(now)) {
    run_->work(now);
    // A log reads with a frame of its own.
    if (!run_->holdsInputs()) liveFrameSet_ = false;
  }
  if (now >= nextChunk_) {
    nextChunk_ = now + std::chrono::milliseconds(100);
    json chunk = run_->output().takeChunk();
    if (!chunk.is_null()) events_.publishChunk(chunk.dump());
  }
  if (now >= nextStatus_) {
    nextStatus_ = now + options_.livePeriod;
    publishRunStatus();
    if (!run_->holdsInputs()) return;  // the live readings go on
    // Ports and the counter can be read while a stream runs; analog inputs and
    // the temperature cannot, so the live view shows the streamed values.
    const int handle = device_->handle();
    const RunOutput& output = run_->output();
    json snap = {{"streaming", true},
                 {"inputs", json::object()},
                 {"clipped", output.latestClipped()},
                 {"ports", json::object()}};
    const json latest = output.latestValues();
    for (const auto& in : layout_.inputs)
      snap["inputs"][in.name] = latest.contains(in.name) ? latest[in.name] : json();
    for (const auto& p : layout_.ports) {
      int levels = 0;
      qcli::check(QeloMsrReadDigitalPort(handle, p.id, &levels));
      snap["ports"][p.name] = levels & p.mask();
    }
    if (layout_.counter) {
      qelomsr_int64 count = 0;
      qcli::check(QeloMsrReadCounter(handle, layout_.counter->id, &count));
      snap["counter"] = count;
    }
    if (layout_.trigger && latest.contains(layout_.trigger->name))
      snap["trigger"] = latest[layout_.trigger->name];
    snap["temperature"] = nullptr;
    events_.publishSnapshot(snap.dump());
  }
}

void DeviceSession::publishRunStatus() {
  lastRunStatus_ = run_->status();
  lastRunStatus_["error"] = streamError_.empty() ? json() : json(streamError_);
  events_.publishStreamStatus(lastRunStatus_.dump());
}

void DeviceSession::endRun(const std::string& error) {
  streamError_ = error.empty() ? std::string() : "Stopped: " + error;
  try {
    run_->stop();
  } catch (const qcli::ApiError& e) {
    if (isConnectionFailure(e)) {
      lose(e.what());  // ends the run too
      return;
    }
  }
  json chunk = run_->output().takeChunk();
  if (!chunk.is_null()) events_.publishChunk(chunk.dump());
  publishRunStatus();
  run_.reset();
  nextLive_ = Clock::now();
  publishState();
}

std::string DeviceSession::lossText(const std::string& libraryText) const {
  return connectionFailureText(identifier_, libraryText);
}

void DeviceSession::lose(const std::string& why) {
  if (run_) {
    streamError_ = "Stopped: " + lossText(why);
    json chunk = run_->output().takeChunk();
    if (!chunk.is_null()) events_.publishChunk(chunk.dump());
    publishRunStatus();
    run_.reset();  // the device is closed below; no stop command can reach it
  }
  device_.reset();
  connection_ = Connection::Lost;
  error_ = lossText(why) + " The panel opens it again when it is back.";
  notice_.clear();
  layout_.resetSettings();
  nextReconnect_ = Clock::now() + options_.reconnectPeriod;
  publishState();
}

json DeviceSession::stateJson() const {
  json j;
  j["device"] = identifier_;
  j["connection"] = connectionName(static_cast<int>(connection_));
  j["opens"] = opens_;
  j["error"] = error_.empty() ? json() : json(error_);
  j["notice"] = notice_.empty() ? json() : json(notice_);
  j["layout"] = layout_.family != nullptr ? layout_.toJson() : json();
  j["streaming"] = run_ != nullptr;
  j["running"] = run_ ? json(run_->kind()) : json();
  j["streamError"] = streamError_.empty() ? json() : json(streamError_);
  j["recorded"] = lastRecord_ != nullptr;  // there is a record to save
  return j;
}

void DeviceSession::publishState() {
  {
    std::lock_guard<std::mutex> lock(ownerMutex_);
    summary_ = {{"device", identifier_},
                {"connection", connectionName(static_cast<int>(connection_))}};
    if (layout_.family != nullptr) {
      summary_["family"] = layout_.family->name;
      summary_["firmware"] = layout_.entry.firmware;
      entry_ = layout_.entry;
    }
  }
  events_.publishState(stateJson().dump());
}

std::optional<qcli::DeviceEntry> DeviceSession::entry() const {
  std::lock_guard<std::mutex> lock(ownerMutex_);
  return entry_;
}

json DeviceSession::summary() const {
  std::lock_guard<std::mutex> lock(ownerMutex_);
  return summary_.is_null() ? json{{"device", identifier_}, {"connection", "opening"}} : summary_;
}

}  // namespace qpanel
