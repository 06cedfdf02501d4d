// The device worker's thread: opening and losing the device, the readings it
// publishes every interval, the reads of a running stream, and the retained
// info and state topics.
#include "device_worker.h"

#include <cctype>
#include <cstdio>

#include "contract.h"
#include "recording.h"
#include "serve_json.h"

namespace qserve {

using nlohmann::json;

bool isConnectionFailure(const qcli::ApiError& e) {
  if (e.errorClass() != QELOMSR_ERROR_CLASS_RUNTIME) return false;
  const std::string text = e.what();
  return text != "Buffer overflow." && text.rfind("Not supported", 0) != 0 &&
         text.rfind("A frame sample trigger", 0) != 0;
}

namespace {

constexpr std::chrono::seconds kIdleWake{1};

}  // namespace

DeviceWorker::DeviceWorker(std::string identifier, const NodeShared& node)
    : identifier_(std::move(identifier)), node_(node) {
  error_ = "not attached";
  thread_ = std::thread([this] { run(); });
}

DeviceWorker::~DeviceWorker() { stop(); }

void DeviceWorker::stop() {
  std::lock_guard<std::mutex> stopping(stopMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool DeviceWorker::submit(PendingCall call) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || calls_.size() >= kMaxWaitingCalls) return false;
    calls_.push_back(std::move(call));
  }
  wake_.notify_all();
  return true;
}

void DeviceWorker::republish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    republish_ = true;
  }
  wake_.notify_all();
}

void DeviceWorker::attached(const qcli::DeviceEntry& entry) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_) return;
    seen_ = entry;
  }
  wake_.notify_all();
}

bool DeviceWorker::isOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

std::string DeviceWorker::streamTopic() const {
  return qmqtt::deviceTopic(node_.node, identifier_, qmqtt::kStream);
}

// ---- thread -------------------------------------------------------------------

void DeviceWorker::run() {
  for (;;) {
    bool republish = false;
    std::optional<qcli::DeviceEntry> seen;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_until(lock, nextWake(Clock::now()), [this] {
        return stopping_ || !calls_.empty() || republish_ || seen_.has_value();
      });
      if (stopping_) break;
      republish = republish_;
      republish_ = false;
      seen.swap(seen_);
    }
    if (seen && !device_) open(*seen);
    if (republish) {
      if (device_) publishInfo();
      publishState();
      publishValues();
    }
    runCalls();
    tick(Clock::now());
  }
  // Leaving: the calls still waiting learn that the device is no longer served.
  runCalls();
  if (stream_) endStream("the server stopped");
  device_.reset();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
  }
  error_ = "the server stopped serving the device";
  notice_.clear();
  publishState();
}

DeviceWorker::Clock::time_point DeviceWorker::nextWake(Clock::time_point now) const {
  if (!device_) return now + kIdleWake;
  if (stream_) return stream_->moreWaiting() ? now : now + stream_->pause();
  return nextValues_;
}

void DeviceWorker::tick(Clock::time_point now) {
  if (!device_) return;
  try {
    if (stream_) {
      streamStep(now);
    } else if (now >= nextValues_) {
      nextValues_ = now + node_.valuesPeriod;
      readValues();
    }
  } catch (const qcli::ApiError& e) {
    if (isConnectionFailure(e)) {
      lose(e.what());
    } else if (stream_) {
      endStream(e.what());
    } else {
      error_ = e.what();
      publishState();
    }
  } catch (const StreamFailure& e) {
    endStream(e.what());
  }
}

void DeviceWorker::runCalls() {
  for (;;) {
    PendingCall call;
    bool stopping = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (calls_.empty()) return;
      call = std::move(calls_.front());
      calls_.pop_front();
      stopping = stopping_;
    }
    const std::string text =
        stopping ? errorAnswer(identifier_ + ": the server is stopping; nothing was done.",
                               QELOMSR_ERROR_CLASS_LOGIC)
                 : answer(call);
    node_.client->reply(call.responseTopic, call.correlation, text);
  }
}

// ---- device -------------------------------------------------------------------

void DeviceWorker::open(const qcli::DeviceEntry& entry) {
  try {
    std::unique_ptr<qcli::Device> device;
    {
      std::lock_guard<std::mutex> lock(*node_.enumeration);
      device = std::make_unique<qcli::Device>(qcli::Device::open(entry));
    }
    layout_ = qpanel::describeDevice(*device);
    calibration_ = qcli::CalibrationView::read(*device);
    device_ = std::move(device);
  } catch (const std::exception& e) {
    const std::string why = std::string("cannot open the device: ") + e.what();
    if (why != error_) {
      error_ = why;
      publishState();
    }
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
  }
  notice_ = everOpened_ ? "The device came back and was opened again, which reset it: outputs at "
                          "0 V, ports as inputs, ranges at their defaults."
                        : "Opened, which reset the device: outputs at 0 V, ports as inputs, "
                          "ranges at their defaults.";
  everOpened_ = true;
  error_.clear();
  liveFrameSet_ = false;
  values_ = json::object();
  liveValues_.assign(static_cast<size_t>(layout_.family->valueSlots), 0.0f);
  livePorts_.assign(static_cast<size_t>(layout_.family->portSlots), 0);
  nextValues_ = Clock::now();
  std::fprintf(stderr, "qelomsr serve: opened %s\n", device_->describe().c_str());
  publishInfo();
  publishState();
}

void DeviceWorker::lose(const std::string& why) {
  if (stream_) {
    stream_->abandon();
    lastStream_ = stream_->describe();
    lastStream_["frames"] = stream_->frames();
    lastStream_["ended"] = "the connection to the device failed";
    stream_.reset();
  }
  device_.reset();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
  }
  error_ = "connection lost (" + why + "); waiting for the device to come back";
  notice_.clear();
  std::fprintf(stderr, "qelomsr serve: %s: %s\n", identifier_.c_str(), error_.c_str());
  publishState();
}

void DeviceWorker::readValues() {
  const int handle = device_->handle();
  const std::vector<int> ids = layout_.frameInputs();
  if (!liveFrameSet_) {
    std::vector<int> frame(ids);
    qcli::check(QeloMsrSetupInputFrame(handle, frame.data(), static_cast<int>(frame.size())));
    liveFrameSet_ = true;
  }
  qcli::check(QeloMsrReadFrame(handle, liveValues_.data(), livePorts_.data()));
  const std::string time = qrec::isoTimeNow();
  for (int id : ids) {
    const auto slot = layout_.frameSlot(id);
    json value = {{"channel", slot.name}};
    if (slot.analog) {
      for (const auto& in : layout_.inputs)
        if (in.id == id)
          value = readingJson(in, calibration_, liveValues_[static_cast<size_t>(slot.slot)]);
    } else {
      uint32_t raw = static_cast<uint32_t>(livePorts_[static_cast<size_t>(slot.slot)]);
      for (const auto& p : layout_.ports)
        if (p.id == id) raw &= static_cast<uint32_t>(p.mask());
      value["value"] = raw;
      value["unit"] = "raw";
    }
    value["time"] = time;
    values_[slot.name] = value;
  }
  publishValues();
  if (!error_.empty()) {
    error_.clear();
    publishState();
  }
}

void DeviceWorker::streamStep(Clock::time_point now) {
  const int overruns = stream_->overruns();
  const bool waiting = stream_->waitingForTrigger();
  // Drain what is buffered, a bounded number of reads before the calls get
  // their turn again.
  for (int i = 0; i < 8; ++i) {
    if (!stream_->step(now)) {
      endStream("");
      return;
    }
    if (!stream_->moreWaiting()) break;
  }
  // The state tells of an overrun and of the trigger that came.
  if (stream_->overruns() != overruns || stream_->waitingForTrigger() != waiting) publishState();
}

void DeviceWorker::endStream(const std::string& why) {
  std::string ended = why.empty() ? "the frame count was reached" : why;
  try {
    stream_->stop();
  } catch (const qcli::ApiError& e) {
    ended = e.what();
    if (isConnectionFailure(e)) {
      lose(e.what());
      return;
    }
  }
  lastStream_ = stream_->describe();
  lastStream_["frames"] = stream_->frames();
  lastStream_["ended"] = ended;
  stream_.reset();
  liveFrameSet_ = false;  // the stream set up its own frame
  nextValues_ = Clock::now();
  publishState();
}

// ---- topics -------------------------------------------------------------------

void DeviceWorker::publishInfo() {
  if (!node_.client->connected()) return;
  node_.client->publish(qmqtt::deviceTopic(node_.node, identifier_, qmqtt::kInfo),
                        payloadText(infoJson(layout_, calibration_)), 1, true);
}

void DeviceWorker::publishState() {
  if (!node_.client->connected()) return;
  node_.client->publish(qmqtt::deviceTopic(node_.node, identifier_, qmqtt::kState),
                        payloadText(stateJson()), 1, true);
}

void DeviceWorker::publishValues() {
  if (!node_.client->connected()) return;
  for (auto it = values_.begin(); it != values_.end(); ++it)
    node_.client->publish(qmqtt::valueTopic(node_.node, identifier_, it.key()),
                          payloadText(it.value()), 0, true);
}

json DeviceWorker::stateJson() const {
  json j = {{"device", identifier_},
            {"open", device_ != nullptr},
            {"acquiring", stream_ != nullptr},
            {"stream", stream_ ? stream_->describe() : json()},
            {"lastStream", lastStream_},
            {"control", node_.allowControl},
            {"error", error_.empty() ? json() : json(error_)},
            {"notice", notice_.empty() ? json() : json(notice_)},
            {"droppedBlocks", node_.outbox->droppedFor(streamTopic())},
            {"time", qrec::isoTimeNow()}};
  const bool polling = device_ != nullptr && stream_ == nullptr;
  j["polling"] = {{"intervalS", std::chrono::duration<double>(node_.valuesPeriod).count()},
                  {"active", polling},
                  {"why", polling   ? json()
                          : device_ ? json("a stream runs: its frames are on the stream topic")
                                    : json("the device is not open")}};
  if (device_) {
    json ranges = json::object(), outputs = json::object(), ports = json::object();
    for (const auto& in : layout_.inputs)
      ranges[in.name] = qcli::rangeName(in.ranges[in.range].maxVolts);
    for (const auto& out : layout_.outputs)
      outputs[out.name] = out.volts ? floatJson(*out.volts) : json();
    for (const auto& p : layout_.ports)
      ports[p.name] = {{"outputEnable", p.outputEnable}, {"levels", p.levels}};
    j["ranges"] = ranges;
    j["outputs"] = outputs;
    j["ports"] = ports;
    j["counterEnabled"] = layout_.counter ? json(layout_.counterEnabled) : json();
  }
  return j;
}

}  // namespace qserve
