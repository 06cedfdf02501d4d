#include "remote_device.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "cli_device.h"
#include "contract.h"

namespace qremote {

using nlohmann::json;

namespace {

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool isNumber(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; });
}

std::string served(const std::map<std::string, json>& infos) {
  if (infos.empty()) return "it serves no device";
  std::string text = "it serves ";
  for (const auto& [id, info] : infos) {
    if (&id != &infos.begin()->first) text += ", ";
    text += id + " (" + info.value("family", "?") + ", " + info.value("serial", "?") + ")";
  }
  return text;
}

}  // namespace

RemoteDevice::RemoteDevice(const qmqtt::BrokerArgs& broker, const std::string& node) : node_(node) {
  qmqtt::ConnectOptions options = qmqtt::connectOptions(broker);
  char host[128] = {0};
  gethostname(host, sizeof host - 1);
  options.clientId = std::string("qelomsr-cli-") + host + "-" + std::to_string(getpid());
  const std::string user = options.username.empty() ? options.url.username : options.username;
  // Answers come under qelomsr/reply/<user>/, which the example ACL lets a
  // user read.
  responseTopic_ = std::string(qmqtt::kTopicRoot) + "/reply/" +
                   (user.empty() ? "anonymous" : user) + "/" + options.clientId;
  qmqtt::Client::Handlers handlers;
  handlers.connected = [this] {
    // Info first: its retained messages are queued before the status's, so
    // with the status all of the node's devices are known.
    client_->subscribe({responseTopic_, qmqtt::deviceTopic(node_, "+", qmqtt::kInfo)}, 1);
    client_->subscribe({qmqtt::statusTopic(node_)}, 1);
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
  };
  handlers.refused = [this](const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    refused_ = why;
    changed_.notify_all();
  };
  handlers.message = [this](const qmqtt::Message& m) { onMessage(m); };
  client_ = std::make_unique<qmqtt::Client>(std::move(options), std::move(handlers));
}

RemoteDevice::~RemoteDevice() { client_->stop(); }

template <typename Predicate>
bool RemoteDevice::waitFor(double seconds, Predicate done) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool ok = changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                                    [&] { return !refused_.empty() || done(); });
  if (!refused_.empty()) {
    const std::string why = refused_;
    lock.unlock();
    qmqtt::loginRefused(why);
  }
  return ok;
}

void RemoteDevice::onMessage(const qmqtt::Message& m) {
  // Only this device's stream topic is subscribed to.
  const auto topic = qmqtt::parseDeviceTopic(m.topic);
  if (topic && topic->leaf == qmqtt::kStream && topic->rest.empty()) {
    std::lock_guard<std::mutex> lock(sinkMutex_);
    if (sink_) sink_(m.payload, m.size);
    return;
  }
  const std::string text(reinterpret_cast<const char*>(m.payload), m.size);
  std::lock_guard<std::mutex> lock(mutex_);
  if (m.topic == responseTopic_) {
    if (m.correlation.size() == 4) {
      uint32_t id = 0;
      for (uint8_t b : m.correlation) id = (id << 8) | b;
      answers_[id] = text;
    }
  } else if (m.topic == qmqtt::statusTopic(node_)) {
    status_ = text;
    statusSeen_ = true;
  } else if (topic) {
    if (topic->leaf == qmqtt::kInfo && topic->rest.empty()) {
      json info = json::parse(text, nullptr, false);
      if (m.size == 0 || info.is_discarded() || !info.is_object())
        infos_.erase(topic->device);  // a cleared or unreadable info: not served
      else
        infos_[topic->device] = std::move(info);
    }
  }
  changed_.notify_all();
}

std::unique_ptr<RemoteDevice> RemoteDevice::connect(const qmqtt::BrokerArgs& broker,
                                                    const std::string& text) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == text.size())
    throw qcli::UsageError(
        "with --broker a device is NODE/ID (stand1/USB:1-0-3, stand1/ka), not '" + text + "'");
  const std::string node = text.substr(0, slash);
  try {
    qmqtt::checkNodeName(node);
  } catch (const std::invalid_argument& e) {
    throw qcli::UsageError("'" + text + "': " + e.what());
  }
  std::unique_ptr<RemoteDevice> device(new RemoteDevice(broker, node));
  device->choose(text.substr(slash + 1));
  return device;
}

void RemoteDevice::choose(const std::string& text) {
  if (isNumber(text))
    throw qcli::UsageError("'" + text +
                           "' is a bare number; name a served device by its identifier "
                           "(USB:1-0-3), serial number or family (ka, ka:1)");
  client_->start();
  const auto& url = client_->options().url;
  const std::string where = url.host + ":" + std::to_string(url.port);
  if (!waitFor(kConnectTimeoutS, [&] { return client_->connected(); }))
    throw std::runtime_error("no connection to the broker at " + where + " within " +
                             std::to_string(static_cast<int>(kConnectTimeoutS)) + " s");
  if (!waitFor(kRetainedTimeoutS, [&] { return statusSeen_; }))
    throw std::runtime_error("no node '" + node_ + "' on the broker at " + where +
                             " (it has no status topic: no server ever ran with --node " + node_ +
                             ")");
  std::lock_guard<std::mutex> lock(mutex_);
  if (status_ != qmqtt::kOnline)
    throw std::runtime_error("node " + node_ + " is " + status_ +
                             ": its server is not running or lost its broker connection");
  // Identifier, then serial number, then family[:position].
  std::vector<std::string> found;
  for (const auto& [id, info] : infos_)
    if (lower(id) == lower(text)) found.push_back(id);
  if (found.empty()) {
    for (const auto& [id, info] : infos_) {
      const std::string serial = info.value("serial", "");
      const size_t at = serial.find('@');
      if (lower(serial) == lower(text) ||
          (at != std::string::npos && lower(serial.substr(at + 1)) == lower(text)))
        found.push_back(id);
    }
  }
  if (found.empty()) {
    const size_t colon = text.find(':');
    const std::string family = lower(text.substr(0, colon));
    const std::string position = colon == std::string::npos ? "0" : text.substr(colon + 1);
    if (isNumber(position)) {
      std::vector<std::string> ofFamily;  // in identifier order (the map's)
      for (const auto& [id, info] : infos_)
        if (lower(info.value("family", "")) == family) ofFamily.push_back(id);
      const size_t n = std::stoul(position.substr(0, 6));
      if (n < ofFamily.size()) found.push_back(ofFamily[n]);
    }
  }
  if (found.size() != 1)
    throw std::runtime_error(
        "node " + node_ +
        (found.empty() ? " serves no device '" : " serves more than one device '") + text + "'; " +
        served(infos_));
  device_ = found.front();
  info_ = infos_.at(device_);
  streamTopic_ = qmqtt::deviceTopic(node_, device_, qmqtt::kStream);
}

std::string RemoteDevice::name() const { return node_ + "/" + device_; }

std::string RemoteDevice::describe() const {
  return name() + " (" + info_.value("family", "?") + ", serial " + info_.value("serial", "?") +
         ", firmware " + info_.value("firmware", "?") + ")";
}

json RemoteDevice::call(json request) {
  uint32_t id = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    id = nextCorrelation_++;
  }
  const std::vector<uint8_t> correlation = {
      static_cast<uint8_t>(id >> 24), static_cast<uint8_t>(id >> 16), static_cast<uint8_t>(id >> 8),
      static_cast<uint8_t>(id)};
  const std::string op = request.value(qmqtt::kFieldOp, "");
  if (client_->request(qmqtt::deviceTopic(node_, device_, qmqtt::kCall), request.dump(),
                       responseTopic_, correlation) == 0)
    throw std::runtime_error("cannot send the call to " + name() +
                             ": the broker connection is gone");
  if (!waitFor(kAnswerTimeoutS,
               [&] { return answers_.count(id) > 0 || status_ != qmqtt::kOnline; }))
    throw std::runtime_error(name() + " did not answer '" + op + "' within " +
                             std::to_string(static_cast<int>(kAnswerTimeoutS)) +
                             " s; what it did is unknown");
  std::string text;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (answers_.count(id) == 0)
      throw std::runtime_error("node " + node_ + " went " + status_ + " during '" + op +
                               "'; what the device did is unknown");
    text = answers_[id];
    answers_.erase(id);
  }
  const json answer = json::parse(text, nullptr, false);
  if (answer.is_discarded() || !answer.is_object())
    throw std::runtime_error(name() + " answered '" + op + "' with no JSON object");
  if (!answer.value(qmqtt::kFieldOk, false))
    throw qcli::ApiError(0, answer.value(qmqtt::kFieldClass, 0),
                         answer.value(qmqtt::kFieldError, std::string("failed")));
  return answer;
}

const json* RemoteDevice::entry(const char* list, const std::string& name) const {
  const auto entries = info_.find(list);
  if (entries == info_.end() || !entries->is_array()) return nullptr;
  for (const json& e : *entries)
    if (e.is_object() && lower(e.value("name", "")) == lower(name)) return &e;
  return nullptr;
}

void RemoteDevice::subscribeStream(StreamSink sink) {
  {
    std::lock_guard<std::mutex> lock(sinkMutex_);
    sink_ = std::move(sink);
    if (!sink_) return;
  }
  client_->subscribe({streamTopic_}, 1);
}

std::string RemoteDevice::status() {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

}  // namespace qremote
