#include "mqtt_client.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>

namespace qmqtt {

namespace {

void initLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

void checkReadable(const std::string& path, const char* what) {
  if (path.empty()) return;
  std::ifstream file(path);
  if (!file)
    throw std::runtime_error(std::string("cannot read the ") + what + " '" + path +
                             "': " + std::strerror(errno));
}

void check(int rc, const char* what) {
  if (rc != MOSQ_ERR_SUCCESS)
    throw std::runtime_error(std::string(what) + ": " + mosquitto_strerror(rc));
}

// Frees a property list when it goes out of scope.
struct Properties {
  mosquitto_property* list = nullptr;
  ~Properties() { mosquitto_property_free_all(&list); }
};

}  // namespace

std::optional<std::string> readPassword(const std::string& passwordFile) {
  if (!passwordFile.empty()) {
    std::ifstream file(passwordFile);
    if (!file)
      throw std::runtime_error("cannot read the password file '" + passwordFile +
                               "': " + std::strerror(errno));
    std::string line;
    std::getline(file, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  if (const char* value = std::getenv(kPasswordVariable)) return std::string(value);
  return std::nullopt;
}

Client::Client(ConnectOptions options, Handlers handlers)
    : options_(std::move(options)), handlers_(std::move(handlers)) {
  initLibrary();
  checkReadable(options_.caFile, "CA file");
  checkReadable(options_.certFile, "certificate file");
  checkReadable(options_.keyFile, "key file");
  if (options_.certFile.empty() != options_.keyFile.empty())
    throw std::runtime_error("a client certificate needs both --cert and --key");
  if (options_.keepAliveS < 5) throw std::runtime_error("the keep-alive is at least 5 s");
  if (options_.sessionExpiryS > 0 && options_.clientId.empty())
    throw std::runtime_error("a session kept by the broker needs a client id");
  mosq_ = mosquitto_new(options_.clientId.empty() ? nullptr : options_.clientId.c_str(),
                        options_.sessionExpiryS == 0, this);
  if (mosq_ == nullptr) throw std::runtime_error("cannot create an MQTT client");
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_connect_v5_callback_set(mosq_, &Client::onConnect);
  mosquitto_disconnect_v5_callback_set(mosq_, &Client::onDisconnect);
  mosquitto_message_v5_callback_set(mosq_, &Client::onMessage);
  mosquitto_publish_v5_callback_set(mosq_, &Client::onPublish);
  const std::string& user = options_.username.empty() ? options_.url.username : options_.username;
  if (!user.empty() || options_.password) {
    check(mosquitto_username_pw_set(mosq_, user.empty() ? nullptr : user.c_str(),
                                    options_.password ? options_.password->c_str() : nullptr),
          "MQTT credentials");
  }
  if (options_.url.tls || !options_.caFile.empty()) {
    if (options_.caFile.empty()) {
      check(mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1), "TLS");
    } else {
      check(
          mosquitto_tls_set(mosq_, options_.caFile.c_str(), nullptr,
                            options_.certFile.empty() ? nullptr : options_.certFile.c_str(),
                            options_.keyFile.empty() ? nullptr : options_.keyFile.c_str(), nullptr),
          "TLS");
    }
  }
  if (!options_.willTopic.empty()) {
    check(mosquitto_will_set_v5(mosq_, options_.willTopic.c_str(),
                                static_cast<int>(options_.willPayload.size()),
                                options_.willPayload.data(), 1, true, nullptr),
          "MQTT last will");
  }
  check(mosquitto_reconnect_delay_set(mosq_, options_.reconnectMinS, options_.reconnectMaxS, true),
        "MQTT reconnect delay");
}

Client::~Client() {
  stop();
  mosquitto_destroy(mosq_);
}

void Client::start() {
  if (started_) return;
  // A first attempt that fails (no broker yet) is retried by connectLater,
  // with the same properties.
  int rc = MOSQ_ERR_SUCCESS;
  if (options_.sessionExpiryS > 0) {
    Properties properties;
    check(mosquitto_property_add_int32(&properties.list, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                       options_.sessionExpiryS),
          "MQTT session");
    rc = mosquitto_connect_bind_v5(mosq_, options_.url.host.c_str(), options_.url.port,
                                   options_.keepAliveS, nullptr, properties.list);
  } else {
    rc = mosquitto_connect_async(mosq_, options_.url.host.c_str(), options_.url.port,
                                 options_.keepAliveS);
  }
  if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_ERRNO && rc != MOSQ_ERR_EAI)
    check(rc, "MQTT connect");
  stopping_ = false;
  if (rc == MOSQ_ERR_SUCCESS) {
    check(mosquitto_loop_start(mosq_), "MQTT network thread");
  } else {
    if (handlers_.disconnected)
      handlers_.disconnected(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
    firstConnect_ = std::thread([this] { connectLater(); });
  }
  started_ = true;
}

// libmosquitto's network thread waits for good for a client whose first
// connection failed: until the broker takes one, this thread tries again
// (with the connect properties libmosquitto kept) and then starts it.
void Client::connectLater() {
  unsigned delayS = std::max(options_.reconnectMinS, 1u);
  std::unique_lock<std::mutex> lock(stopMutex_);
  for (;;) {
    if (stopChanged_.wait_for(lock, std::chrono::seconds(delayS), [this] { return stopping_; }))
      return;
    lock.unlock();
    const int rc = mosquitto_reconnect(mosq_);
    lock.lock();
    if (rc == MOSQ_ERR_SUCCESS) {
      if (!stopping_ && mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS && handlers_.disconnected)
        handlers_.disconnected("cannot start the MQTT network thread");
      return;
    }
    delayS = std::min(delayS * 2, std::max(options_.reconnectMaxS, delayS));
  }
}

void Client::stop() {
  if (!started_) return;
  started_ = false;
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    stopping_ = true;
  }
  stopChanged_.notify_all();
  if (firstConnect_.joinable()) firstConnect_.join();
  mosquitto_disconnect_v5(mosq_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
  mosquitto_loop_stop(mosq_, false);
  connected_ = false;
}

int Client::publish(const std::string& topic, const void* data, size_t size, int qos, bool retain) {
  if (size > static_cast<size_t>(MQTT_MAX_PAYLOAD)) return 0;
  int mid = 0;
  const int rc = mosquitto_publish_v5(mosq_, &mid, topic.c_str(), static_cast<int>(size), data, qos,
                                      retain, nullptr);
  return rc == MOSQ_ERR_SUCCESS ? mid : 0;
}

int Client::reply(const std::string& responseTopic, const std::vector<uint8_t>& correlation,
                  const std::string& text) {
  if (responseTopic.empty()) return 0;
  return publishWith(responseTopic, text, "", correlation);
}

int Client::request(const std::string& topic, const std::string& text,
                    const std::string& responseTopic, const std::vector<uint8_t>& correlation) {
  return publishWith(topic, text, responseTopic, correlation);
}

int Client::publishWith(const std::string& topic, const std::string& text,
                        const std::string& responseTopic, const std::vector<uint8_t>& correlation) {
  Properties properties;
  if (!responseTopic.empty() &&
      mosquitto_property_add_string(&properties.list, MQTT_PROP_RESPONSE_TOPIC,
                                    responseTopic.c_str()) != MOSQ_ERR_SUCCESS)
    return 0;
  if (!correlation.empty() && mosquitto_property_add_binary(
                                  &properties.list, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                  static_cast<uint16_t>(correlation.size())) != MOSQ_ERR_SUCCESS)
    return 0;
  int mid = 0;
  const int rc = mosquitto_publish_v5(mosq_, &mid, topic.c_str(), static_cast<int>(text.size()),
                                      text.data(), 1, false, properties.list);
  return rc == MOSQ_ERR_SUCCESS ? mid : 0;
}

void Client::subscribe(const std::vector<std::string>& topics, int qos) {
  std::vector<char*> list;
  for (const auto& t : topics) list.push_back(const_cast<char*>(t.c_str()));
  mosquitto_subscribe_multiple(mosq_, nullptr, static_cast<int>(list.size()), list.data(), qos, 0,
                               nullptr);
}

void Client::onConnect(mosquitto*, void* self, int rc, int, const mosquitto_property*) {
  auto* client = static_cast<Client*>(self);
  if (rc == MQTT_RC_SUCCESS) {
    client->connected_ = true;
    if (client->handlers_.connected) client->handlers_.connected();
    return;
  }
  const std::string why = mosquitto_reason_string(rc);
  const bool login = rc == MQTT_RC_BAD_USERNAME_OR_PASSWORD || rc == MQTT_RC_NOT_AUTHORIZED ||
                     rc == MQTT_RC_BANNED || rc == MQTT_RC_BAD_AUTHENTICATION_METHOD;
  if (login && client->handlers_.refused)
    client->handlers_.refused(why);
  else if (client->handlers_.disconnected)
    client->handlers_.disconnected("the broker refused the connection: " + why);
}

void Client::onDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*) {
  auto* client = static_cast<Client*>(self);
  const bool was = client->connected_.exchange(false);
  // rc 0: our own disconnect, nothing to report.
  if (was && rc != 0 && client->handlers_.disconnected)
    client->handlers_.disconnected(mosquitto_strerror(rc));
}

void Client::onMessage(mosquitto*, void* self, const mosquitto_message* m,
                       const mosquitto_property* properties) {
  auto* client = static_cast<Client*>(self);
  if (!client->handlers_.message) return;
  Message message;
  message.topic = m->topic;
  message.payload = static_cast<const uint8_t*>(m->payload);
  message.size = m->payloadlen > 0 ? static_cast<size_t>(m->payloadlen) : 0;
  message.retained = m->retain;
  char* response = nullptr;
  if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &response, false)) {
    message.responseTopic = response;
    std::free(response);
  }
  void* correlation = nullptr;
  uint16_t length = 0;
  if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &correlation, &length,
                                     false)) {
    const auto* bytes = static_cast<const uint8_t*>(correlation);
    message.correlation.assign(bytes, bytes + length);
    std::free(correlation);
  }
  client->handlers_.message(message);
}

void Client::onPublish(mosquitto*, void* self, int mid, int rc, const mosquitto_property*) {
  auto* client = static_cast<Client*>(self);
  if (client->handlers_.published) client->handlers_.published(mid, rc);
}

}  // namespace qmqtt
