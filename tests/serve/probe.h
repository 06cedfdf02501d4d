// A test's own MQTT client, straight on libmosquitto (not the server's
// client code): subscribes, records every message it receives, sends MQTT 5
// requests with a response topic and correlation data and waits for their
// answers. It can also stop reading altogether, as a client that hangs.
#pragma once

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qtest {

struct Received {
  std::string topic;
  std::string payload;
  bool retained = false;
  std::string correlation;
};

class Probe {
 public:
  struct Login {
    std::string user, password;
    std::string id;  // empty: libmosquitto makes one up
    // Keep the session (subscriptions and queued messages) while away, also
    // over a broker restart. Under MQTT 5 that takes a session expiry
    // interval: without one the broker ends the session with the connection,
    // whatever the clean-start flag says.
    bool persistent = false;
  };

  explicit Probe(int port) : Probe(port, Login()) {}
  Probe(int port, Login login) : port_(port) {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
    mosq_ = mosquitto_new(login.id.empty() ? nullptr : login.id.c_str(), !login.persistent, this);
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    if (!login.user.empty())
      mosquitto_username_pw_set(mosq_, login.user.c_str(),
                                login.password.empty() ? nullptr : login.password.c_str());
    mosquitto_connect_v5_callback_set(
        mosq_, [](mosquitto*, void* self, int rc, int, const mosquitto_property*) {
          auto* p = static_cast<Probe*>(self);
          std::lock_guard<std::mutex> lock(p->mutex_);
          p->connack_ = rc;
          if (rc == 0) {
            p->connected_ = true;
            for (const auto& s : p->subscriptions_)
              mosquitto_subscribe_v5(p->mosq_, nullptr, s.first.c_str(), s.second, 0, nullptr);
          }
          p->changed_.notify_all();
        });
    mosquitto_disconnect_v5_callback_set(
        mosq_, [](mosquitto*, void* self, int, const mosquitto_property*) {
          auto* p = static_cast<Probe*>(self);
          std::lock_guard<std::mutex> lock(p->mutex_);
          p->connected_ = false;
        });
    mosquitto_subscribe_v5_callback_set(
        mosq_, [](mosquitto*, void* self, int, int, const int*, const mosquitto_property*) {
          auto* p = static_cast<Probe*>(self);
          std::lock_guard<std::mutex> lock(p->mutex_);
          ++p->subacks_;
          p->changed_.notify_all();
        });
    mosquitto_publish_v5_callback_set(
        mosq_, [](mosquitto*, void* self, int mid, int rc, const mosquitto_property*) {
          auto* p = static_cast<Probe*>(self);
          std::lock_guard<std::mutex> lock(p->mutex_);
          p->pubacks_[mid] = rc;
          p->changed_.notify_all();
        });
    mosquitto_message_v5_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m,
                                                const mosquitto_property* props) {
      auto* p = static_cast<Probe*>(self);
      p->waitWhileHung();
      Received r;
      r.topic = m->topic;
      r.payload.assign(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen));
      r.retained = m->retain;
      void* data = nullptr;
      uint16_t length = 0;
      if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &length,
                                         false)) {
        r.correlation.assign(static_cast<const char*>(data), length);
        free(data);
      }
      std::lock_guard<std::mutex> lock(p->mutex_);
      p->received_.push_back(std::move(r));
      p->changed_.notify_all();
    });
    mosquitto_reconnect_delay_set(mosq_, 1, 2, false);
    if (login.persistent) {
      // libmosquitto keeps the properties for its reconnects.
      mosquitto_property* props = nullptr;
      mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, kSessionExpiryS);
      mosquitto_connect_bind_v5(mosq_, "127.0.0.1", port_, 5, nullptr, props);
      mosquitto_property_free_all(&props);
    } else {
      mosquitto_connect_async(mosq_, "127.0.0.1", port_, 5);
    }
    mosquitto_loop_start(mosq_);
  }

  ~Probe() {
    resume();
    mosquitto_disconnect_v5(mosq_, 0, nullptr);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  // Waits (bounded) until the broker answered the connection; returns its
  // reason code (0: accepted), or -1 when it never answered.
  int waitConnack(std::chrono::seconds limit = std::chrono::seconds(30)) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, limit, [this] { return connack_ >= 0; });
    return connack_;
  }
  bool connected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_;
  }

  // Subscribes now and after every reconnect; waits for the broker's answer.
  void subscribe(const std::string& topic, int qos = 1) {
    int before = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      subscriptions_[topic] = qos;
      before = subacks_;
    }
    mosquitto_subscribe_v5(mosq_, nullptr, topic.c_str(), qos, 0, nullptr);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [&] { return subacks_ > before; });
  }

  // Publishes; returns the message id.
  int publish(const std::string& topic, const std::string& payload, int qos = 1,
              const std::string& responseTopic = "", const std::string& correlation = "") {
    mosquitto_property* props = nullptr;
    if (!responseTopic.empty())
      mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC, responseTopic.c_str());
    if (!correlation.empty())
      mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                    static_cast<uint16_t>(correlation.size()));
    int mid = 0;
    mosquitto_publish_v5(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                         payload.data(), qos, false, props);
    mosquitto_property_free_all(&props);
    return mid;
  }
  // The broker's reason code for a QoS 1 publish (0x87: not authorised), once known.
  std::optional<int> pubackOf(int mid) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [&] { return pubacks_.count(mid) > 0; });
    if (pubacks_.count(mid) == 0) return std::nullopt;
    return pubacks_[mid];
  }

  // Sends a request to a call topic and waits for its answer (null when none came).
  nlohmann::json call(const std::string& topic, const std::string& body,
                      std::chrono::seconds limit = std::chrono::seconds(30)) {
    const std::string correlation = "c" + std::to_string(++calls_);
    const std::string reply = replyTopic();
    publish(topic, body, 1, reply, correlation);
    std::optional<Received> answer;
    waitUntil(
        [&] {
          for (const auto& r : messages(reply))
            if (r.correlation == correlation) answer = r;
          return answer.has_value();
        },
        limit);
    if (!answer) return nullptr;
    return nlohmann::json::parse(answer->payload);
  }
  std::string replyTopic() {
    const std::string topic = "test/reply/" + std::to_string(reinterpret_cast<uintptr_t>(this));
    bool known = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      known = subscriptions_.count(topic) > 0;
    }
    if (!known) subscribe(topic);
    return topic;
  }

  std::vector<Received> messages(const std::string& topic) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Received> out;
    for (const auto& r : received_)
      if (r.topic == topic) out.push_back(r);
    return out;
  }
  std::vector<Received> all() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  std::optional<std::string> last(const std::string& topic) {
    const auto list = messages(topic);
    if (list.empty()) return std::nullopt;
    return list.back().payload;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
  }

  // Polls cond (each time a message arrives, at least every 50 ms) until it
  // holds or the generous limit passes.
  bool waitUntil(const std::function<bool()>& cond,
                 std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (cond()) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, std::chrono::milliseconds(50));
    }
  }

  // From now on the client takes no more messages off its connection (its
  // network thread waits), as a consumer that hangs; resume() lets it go on.
  void hang() { hung_ = true; }
  void resume() {
    {
      std::lock_guard<std::mutex> lock(hangMutex_);
      hung_ = false;
    }
    hangChanged_.notify_all();
  }

 private:
  // Longer than any test.
  static constexpr uint32_t kSessionExpiryS = 3600;

  void waitWhileHung() {
    std::unique_lock<std::mutex> lock(hangMutex_);
    hangChanged_.wait(lock, [this] { return !hung_; });
  }

  int port_;
  mosquitto* mosq_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Received> received_;
  std::map<std::string, int> subscriptions_;
  std::map<int, int> pubacks_;
  int subacks_ = 0;
  int connack_ = -1;
  bool connected_ = false;
  std::atomic<int> calls_{0};
  std::mutex hangMutex_;
  std::condition_variable hangChanged_;
  std::atomic<bool> hung_{false};
};

}  // namespace qtest
