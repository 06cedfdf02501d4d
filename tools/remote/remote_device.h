// A device served by `qelomsr serve` on an MQTT broker, as the tool's
// commands reach it with --broker: named NODE/ID, described by its retained
// info topic, asked through MQTT 5 calls. The device stays open in its
// server, so what one command sets is still set for the next.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "broker_options.h"

namespace qremote {

// How long a command waits for the broker, the node's retained topics and
// an answer.
constexpr double kConnectTimeoutS = 10.0;
constexpr double kAnswerTimeoutS = 15.0;
// The broker sends retained messages as soon as a subscription is made: a
// node whose status has not come by then has never been served.
constexpr double kRetainedTimeoutS = 5.0;

class RemoteDevice {
 public:
  // Connects and finds the device text names: NODE/ID where ID is the
  // identifier the server publishes (USB:1-0-3), a serial number
  // (KA1X-004711 or QeloKa@KA1X-004711) or a family with its position among
  // the node's devices of that family (ka, ka:1). Throws qcli::UsageError for
  // a malformed name, std::runtime_error when the broker, the node or the
  // device cannot be reached.
  static std::unique_ptr<RemoteDevice> connect(const qmqtt::BrokerArgs& broker,
                                               const std::string& text);
  ~RemoteDevice();
  RemoteDevice(const RemoteDevice&) = delete;
  RemoteDevice& operator=(const RemoteDevice&) = delete;

  // The retained info document (identifier, family, serial, channels).
  const nlohmann::json& info() const { return info_; }
  // NODE/IDENTIFIER.
  std::string name() const;
  // The identifier the server publishes (USB:1-0-3).
  const std::string& identifier() const { return device_; }
  // "stand1/USB:1-0-3 (Ka, serial QeloKa@KA1X-004711, firmware 1.4)".
  std::string describe() const;

  // Sends a call and returns its answer ({"ok": true, ...}); an error answer
  // throws qcli::ApiError with its text and class, no answer within
  // kAnswerTimeoutS std::runtime_error.
  nlohmann::json call(nlohmann::json request);

  // The entry of a list of the info document (inputs, outputs, ports) named
  // name (in any case), or null.
  const nlohmann::json* entry(const char* list, const std::string& name) const;

  // Hands every record of the device's stream topic to sink, on the network
  // thread, from the subscription on (made before a later call is sent);
  // null: to nobody any more.
  using StreamSink = std::function<void(const uint8_t* data, size_t size)>;
  void subscribeStream(StreamSink sink);
  // The node's status: "online", or "offline" once its server is gone.
  std::string status();

 private:
  RemoteDevice(const qmqtt::BrokerArgs& broker, const std::string& node);
  void choose(const std::string& text);
  template <typename Predicate>
  bool waitFor(double seconds, Predicate done);
  void onMessage(const qmqtt::Message& message);

  std::string node_;
  std::string responseTopic_;
  std::unique_ptr<qmqtt::Client> client_;
  nlohmann::json info_;
  std::string device_;  // the identifier in the topics
  std::string streamTopic_;

  std::mutex sinkMutex_;  // guards sink_
  StreamSink sink_;

  std::mutex mutex_;  // guards the fields below
  std::condition_variable changed_;
  std::string status_;
  bool statusSeen_ = false;
  std::string refused_;
  std::map<std::string, nlohmann::json> infos_;  // identifier -> retained info
  uint32_t nextCorrelation_ = 1;
  std::map<uint32_t, std::string> answers_;  // correlation -> answer text
};

}  // namespace qremote
