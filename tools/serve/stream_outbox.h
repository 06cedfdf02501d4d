// Stream blocks on their way to the broker, for all devices of a node.
//
// Blocks wait here in the order they were made and go out one after the
// other on the outbox's own thread, QoS 1, with at most `window` of them
// handed to libmosquitto and not yet acknowledged by the broker (libmosquitto
// sends those again after a reconnect). While the broker is unreachable the
// blocks stay here, up to `limitBytes`; beyond that the oldest waiting ones
// are dropped, and their sequence numbers are missing on the stream topic:
// a reader sees exactly which frames it lost. Memory therefore stays bounded
// however long the broker is away or however slow it acknowledges.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mqtt_client.h"

namespace qserve {

class StreamOutbox {
 public:
  // Longest wait, after a reconnect, for the blocks libmosquitto sends again.
  static constexpr std::chrono::seconds kResentOrderLimit{5};

  StreamOutbox(qmqtt::Client& client, size_t limitBytes, size_t window = 8);
  ~StreamOutbox();  // stop()
  StreamOutbox(const StreamOutbox&) = delete;
  StreamOutbox& operator=(const StreamOutbox&) = delete;

  void start();
  // Ends the thread; blocks still waiting are given up.
  void stop();

  // Queues a copy of a block for the topic.
  void push(const std::string& topic, const std::vector<uint8_t>& block);
  // The broker connection is back: send again. (Any thread.) Blocks still
  // unacknowledged from before go on counting as in flight, but no longer
  // hold the window: libmosquitto sends them again and they are counted as
  // sent when acknowledged; newer blocks wait for them (so that readers get
  // the records in order), but an acknowledgement that never comes holds the
  // stream at most kResentOrderLimit.
  void wake();
  // The broker acknowledged a message (network thread).
  void acknowledged(int messageId);
  // Waits until every block queued so far is acknowledged, at most limit;
  // false when some are still waiting.
  bool drain(std::chrono::milliseconds limit);

  struct Stats {
    size_t waitingBlocks = 0;
    size_t waitingBytes = 0;
    size_t inFlight = 0;
    uint64_t sent = 0;     // acknowledged by the broker
    uint64_t dropped = 0;  // given up because the outbox was full
  };
  Stats stats() const;
  // Blocks of one topic given up so far.
  uint64_t droppedFor(const std::string& topic) const;

 private:
  struct Block {
    std::string topic;
    std::vector<uint8_t> bytes;
  };
  void run();
  // In-flight blocks that hold the window (mutex_ held).
  size_t windowUsed() const;
  // The next waiting block may go out now (mutex_ held).
  bool mayPublish() const;

  qmqtt::Client& client_;
  const size_t limitBytes_;
  const size_t window_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Block> waiting_;
  size_t waitingBytes_ = 0;
  std::set<int> inFlight_;  // message ids handed to libmosquitto, not yet acknowledged
  std::set<int> resent_;    // those of them handed over before the last reconnect
  std::chrono::steady_clock::time_point resentUntil_;  // newer blocks wait for them until then
  std::set<int> earlyAcks_;  // acknowledged while their publish call was still running
  bool publishing_ = false;
  uint64_t sent_ = 0, dropped_ = 0;
  std::map<std::string, uint64_t> droppedByTopic_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace qserve
