#include "node_server.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>

#include "contract.h"
#include "serve_json.h"

namespace qserve {

std::string canonicalIdentifier(const std::string& identifier) {
  std::string text = identifier;
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

NodeServer::NodeServer(qmqtt::ConnectOptions connect, ServeOptions options)
    : options_(std::move(options)) {
  qmqtt::checkNodeName(options_.node);
  for (const auto& d : options_.devices) {
    if (!d.empty() && d.find_first_not_of("0123456789") == std::string::npos)
      throw qcli::UsageError("--device " + d +
                             ": a bare number is no device name; name it by its identifier "
                             "(USB:1-0-3), serial number or family (ka, ka:1)");
    if (canonicalIdentifier(d).rfind("USB:", 0) == 0)
      chosen_.insert(canonicalIdentifier(d));
    else
      named_[d] = "";
  }
  connect.willTopic = qmqtt::statusTopic(options_.node);
  connect.willPayload = qmqtt::kOffline;
  if (connect.clientId.empty())
    connect.clientId = "qelomsr-serve-" + options_.node + "-" + std::to_string(getpid());
  qmqtt::Client::Handlers handlers;
  handlers.connected = [this] { onConnected(); };
  handlers.disconnected = [this](const std::string& why) {
    std::fprintf(stderr, "qelomsr serve: no connection to the broker (%s); trying again\n",
                 why.c_str());
  };
  handlers.refused = [this](const std::string& why) {
    std::fprintf(stderr, "qelomsr serve: the broker refused the login: %s\n", why.c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    refused_ = why;
  };
  handlers.message = [this](const qmqtt::Message& m) { onMessage(m); };
  handlers.published = [this](int id, int) {
    if (outbox_) outbox_->acknowledged(id);
  };
  client_ = std::make_unique<qmqtt::Client>(std::move(connect), std::move(handlers));
  outbox_ = std::make_unique<StreamOutbox>(*client_, options_.bufferBytes);
  shared_.node = options_.node;
  shared_.client = client_.get();
  shared_.outbox = outbox_.get();
  shared_.allowControl = options_.allowControl;
  shared_.valuesPeriod = options_.valuesPeriod;
  shared_.enumeration = &enumeration_;
}

NodeServer::~NodeServer() { stop(); }

void NodeServer::start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Devices named on the command line are served (as "not attached") from
    // the start.
    for (const auto& d : chosen_)
      if (workers_.count(d) == 0) workers_[d] = std::make_unique<DeviceWorker>(d, shared_);
  }
  outbox_->start();
  client_->start();
  scanner_ = std::thread([this] { scanLoop(); });
}

void NodeServer::scanLoop() {
  for (;;) {
    scan();
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, options_.scanPeriod, [this] { return stopped_; })) return;
  }
}

void NodeServer::scan() {
  std::vector<qcli::DeviceEntry> entries;
  try {
    std::lock_guard<std::mutex> lock(enumeration_);
    entries = qcli::enumerateDevices();
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (scanError_ != e.what())
      std::fprintf(stderr, "qelomsr serve: cannot list the devices: %s\n", e.what());
    scanError_ = e.what();
    return;
  }
  bindNamed(entries);
  std::lock_guard<std::mutex> lock(mutex_);
  scanError_.clear();
  if (stopped_) return;
  for (const auto& entry : entries) {
    const std::string id = canonicalIdentifier(entry.identifier);
    auto it = workers_.find(id);
    if (it == workers_.end()) {
      // Not one of the chosen devices.
      if (!options_.devices.empty() && chosen_.count(id) == 0) continue;
      it = workers_.emplace(id, std::make_unique<DeviceWorker>(entry.identifier, shared_)).first;
      if (client_->connected()) it->second->republish();
    }
    it->second->attached(entry);
  }
}

void NodeServer::bindNamed(const std::vector<qcli::DeviceEntry>& entries) {
  std::vector<std::string> unbound;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [text, id] : named_)
      if (id.empty()) unbound.push_back(text);
  }
  for (const auto& text : unbound) {
    std::string id, error;
    try {
      std::lock_guard<std::mutex> lock(enumeration_);
      id = canonicalIdentifier(qcli::selectDevice(entries, text).identifier);
    } catch (const std::exception& e) {
      error = e.what();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!id.empty()) {
      std::fprintf(stderr, "qelomsr serve: --device %s is %s\n", text.c_str(), id.c_str());
      named_[text] = id;
      chosen_.insert(id);
    } else if (namedError_[text] != error) {
      std::fprintf(stderr, "qelomsr serve: --device %s: %s; looking again\n", text.c_str(),
                   error.c_str());
    }
    namedError_[text] = error;
  }
}

void NodeServer::stop(std::chrono::milliseconds drainLimit) {
  std::map<std::string, std::unique_ptr<DeviceWorker>> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
  }
  wake_.notify_all();
  if (scanner_.joinable()) scanner_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    workers.swap(workers_);
  }
  // Streams end with their end records, states say "closed".
  for (auto& w : workers) w.second->stop();
  workers.clear();
  if (client_->connected()) {
    outbox_->drain(drainLimit);
    client_->publish(qmqtt::statusTopic(options_.node), qmqtt::kOffline, 1, true);
  }
  outbox_->stop();
  client_->stop();
}

std::string NodeServer::refused() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return refused_;
}

void NodeServer::onConnected() {
  std::fprintf(stderr, "qelomsr serve: connected to %s:%d as node %s\n",
               client_->options().url.host.c_str(), client_->options().url.port,
               options_.node.c_str());
  client_->subscribe({qmqtt::deviceTopic(options_.node, "+", qmqtt::kCall)}, 1);
  client_->publish(qmqtt::statusTopic(options_.node), qmqtt::kOnline, 1, true);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& w : workers_) w.second->republish();
  }
  outbox_->wake();
}

void NodeServer::onMessage(const qmqtt::Message& message) {
  const auto topic = qmqtt::parseDeviceTopic(message.topic);
  if (!topic || topic->node != options_.node || topic->leaf != qmqtt::kCall || !topic->rest.empty())
    return;
  auto refuse = [&](const std::string& text, int errorClass) {
    client_->reply(message.responseTopic, message.correlation, errorAnswer(text, errorClass));
  };
  if (message.size > qmqtt::kMaxCallBytes) {
    refuse(topic->device + ": the request has " + std::to_string(message.size) +
               " bytes; a call has at most " + std::to_string(qmqtt::kMaxCallBytes) +
               "; nothing was done.",
           QELOMSR_ERROR_CLASS_INVALID_ARGUMENT);
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = workers_.find(canonicalIdentifier(topic->device));
  if (it == workers_.end()) {
    std::string served;
    for (const auto& w : workers_) served += (served.empty() ? "" : ", ") + w.first;
    refuse("node " + options_.node + " serves no device '" + topic->device + "' (" +
               (served.empty() ? std::string("it serves none") : "it serves " + served) + ")",
           QELOMSR_ERROR_CLASS_INVALID_ARGUMENT);
    return;
  }
  PendingCall call;
  call.body.assign(reinterpret_cast<const char*>(message.payload), message.size);
  call.responseTopic = message.responseTopic;
  call.correlation = message.correlation;
  if (!it->second->submit(std::move(call)))
    refuse(topic->device + ": " + std::to_string(DeviceWorker::kMaxWaitingCalls) +
               " calls are already waiting for this device; nothing was done.",
           QELOMSR_ERROR_CLASS_RUNTIME);
}

}  // namespace qserve
