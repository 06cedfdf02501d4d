// A connection to an MQTT broker through libmosquitto (MQTT 5), shared by the
// server, the logger and the tool's remote commands: logs in with the
// credentials and TLS files the broker asks for, runs libmosquitto's network
// thread, reconnects with a growing delay after a lost connection, and hands
// received messages with their MQTT 5 request properties to a handler.
//
// Handlers run on the network thread; they may publish and subscribe, and
// must not block for long.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "contract.h"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

namespace qmqtt {

// The environment variable a password can come from.
constexpr const char* kPasswordVariable = "QELOMSR_MQTT_PASSWORD";

// The password: the first line of passwordFile when given (a file that
// cannot be read throws std::runtime_error), else the value of
// QELOMSR_MQTT_PASSWORD when set, else none.
std::optional<std::string> readPassword(const std::string& passwordFile);

struct ConnectOptions {
  BrokerUrl url;
  std::string clientId;  // empty: libmosquitto makes one up
  std::string username;  // empty: the URL's user, if any
  std::optional<std::string> password;
  std::string caFile, certFile, keyFile;  // TLS; mqtts:// without caFile uses the system's CAs
  int keepAliveS = 15;  // the broker declares the client gone after 1.5 times this
  // The last will: published by the broker when the connection is lost
  // without a disconnect (retained, QoS 1). Empty topic: none.
  std::string willTopic, willPayload;
  unsigned reconnectMinS = 1, reconnectMaxS = 10;  // backoff between attempts
  // Seconds the broker keeps the session (subscriptions, and the QoS 1
  // messages for them) while the client is away; 0: a clean session each time.
  unsigned sessionExpiryS = 0;
};

struct Message {
  std::string topic;
  const uint8_t* payload = nullptr;  // valid during the handler only
  size_t size = 0;
  bool retained = false;
  std::string responseTopic;         // MQTT 5 request: where the answer goes
  std::vector<uint8_t> correlation;  // and the data that pairs it with the request
};

class Client {
 public:
  struct Handlers {
    // The broker accepted the connection (again).
    std::function<void()> connected;
    // The connection ended or an attempt failed; libmosquitto tries again.
    std::function<void(const std::string& why)> disconnected;
    // The broker refused the login (bad credentials, not authorised).
    std::function<void(const std::string& why)> refused;
    std::function<void(const Message&)> message;
    // A QoS 1 message was acknowledged by the broker (reasonCode >= 0x80: refused).
    std::function<void(int messageId, int reasonCode)> published;
  };

  // Checks the options (TLS files readable); throws std::runtime_error.
  Client(ConnectOptions options, Handlers handlers);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Starts connecting in the background; returns at once. A broker that is
  // not there yet is tried again with the reconnect delays until it is.
  void start();
  // Disconnects cleanly (no last will) and ends the network thread.
  void stop();
  bool connected() const { return connected_; }

  // Publishes; returns the message id, or 0 when libmosquitto refused (not
  // connected for QoS 0, out of memory, payload too large).
  int publish(const std::string& topic, const void* data, size_t size, int qos, bool retain);
  int publish(const std::string& topic, const std::string& text, int qos, bool retain) {
    return publish(topic, text.data(), text.size(), qos, retain);
  }
  // An answer to an MQTT 5 request: to its response topic, with its
  // correlation data (QoS 1). Returns 0 without a response topic.
  int reply(const std::string& responseTopic, const std::vector<uint8_t>& correlation,
            const std::string& text);
  // An MQTT 5 request (QoS 1): the answer is to come on responseTopic with
  // the same correlation data.
  int request(const std::string& topic, const std::string& text, const std::string& responseTopic,
              const std::vector<uint8_t>& correlation);
  void subscribe(const std::vector<std::string>& topics, int qos);

  const ConnectOptions& options() const { return options_; }

 private:
  int publishWith(const std::string& topic, const std::string& text,
                  const std::string& responseTopic, const std::vector<uint8_t>& correlation);
  void connectLater();
  static void onConnect(mosquitto*, void* self, int rc, int flags, const mosquitto_property*);
  static void onDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*);
  static void onMessage(mosquitto*, void* self, const mosquitto_message*,
                        const mosquitto_property*);
  static void onPublish(mosquitto*, void* self, int mid, int rc, const mosquitto_property*);

  ConnectOptions options_;
  Handlers handlers_;
  mosquitto* mosq_ = nullptr;
  std::atomic<bool> connected_{false};
  bool started_ = false;
  // Until the first connection succeeds (see connectLater).
  std::thread firstConnect_;
  std::mutex stopMutex_;
  std::condition_variable stopChanged_;
  bool stopping_ = false;
};

}  // namespace qmqtt
