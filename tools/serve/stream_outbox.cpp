#include "stream_outbox.h"

#include <algorithm>

namespace qserve {

StreamOutbox::StreamOutbox(qmqtt::Client& client, size_t limitBytes, size_t window)
    : client_(client), limitBytes_(limitBytes), window_(std::max<size_t>(window, 1)) {}

StreamOutbox::~StreamOutbox() { stop(); }

void StreamOutbox::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable()) return;
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
}

void StreamOutbox::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void StreamOutbox::push(const std::string& topic, const std::vector<uint8_t>& block) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_.push_back({topic, block});
    waitingBytes_ += block.size();
    // The oldest waiting blocks make room; the newest always stays.
    while (waitingBytes_ > limitBytes_ && waiting_.size() > 1) {
      waitingBytes_ -= waiting_.front().bytes.size();
      ++dropped_;
      ++droppedByTopic_[waiting_.front().topic];
      waiting_.pop_front();
    }
  }
  wake_.notify_all();
}

void StreamOutbox::wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    resent_.insert(inFlight_.begin(), inFlight_.end());
    if (!resent_.empty()) resentUntil_ = std::chrono::steady_clock::now() + kResentOrderLimit;
  }
  wake_.notify_all();
}

size_t StreamOutbox::windowUsed() const { return inFlight_.size() - resent_.size(); }

bool StreamOutbox::mayPublish() const {
  // Blocks libmosquitto sends again after a reconnect go out before newer
  // ones, so that readers get the records in order; an acknowledgement that
  // never comes holds the stream only so long.
  const bool resending = !resent_.empty() && std::chrono::steady_clock::now() < resentUntil_;
  return !waiting_.empty() && windowUsed() < window_ && !resending && client_.connected();
}

void StreamOutbox::acknowledged(int messageId) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (inFlight_.erase(messageId) > 0) {
      resent_.erase(messageId);
      ++sent_;
    } else if (publishing_) {
      // Possibly the block whose publish call has not returned yet.
      earlyAcks_.insert(messageId);
      return;
    } else {
      return;  // some other message of the client
    }
  }
  wake_.notify_all();
}

bool StreamOutbox::drain(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return wake_.wait_for(lock, limit,
                        [this] { return waiting_.empty() && inFlight_.empty() && !publishing_; });
}

StreamOutbox::Stats StreamOutbox::stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Stats s;
  s.waitingBlocks = waiting_.size();
  s.waitingBytes = waitingBytes_;
  s.inFlight = inFlight_.size() + (publishing_ ? 1 : 0);
  s.sent = sent_;
  s.dropped = dropped_;
  return s;
}

uint64_t StreamOutbox::droppedFor(const std::string& topic) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = droppedByTopic_.find(topic);
  return it == droppedByTopic_.end() ? 0 : it->second;
}

void StreamOutbox::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // Without a connection libmosquitto would keep every block itself, beyond
    // any bound: they wait here instead. Blocks whose acknowledgement was lost
    // are sent again by libmosquitto after the reconnect (see wake).
    wake_.wait_for(lock, std::chrono::milliseconds(200),
                   [this] { return stopping_ || mayPublish(); });
    if (stopping_) return;
    if (!mayPublish()) continue;
    Block block = std::move(waiting_.front());
    waiting_.pop_front();
    waitingBytes_ -= block.bytes.size();
    publishing_ = true;
    lock.unlock();
    const int id = client_.publish(block.topic, block.bytes.data(), block.bytes.size(), 1, false);
    lock.lock();
    publishing_ = false;
    if (id == 0) {
      // Not sent (the connection dropped just now): back to the front. For
      // QoS 1 libmosquitto may nevertheless keep it and send it after the
      // reconnect, so a block can reach the broker twice; readers keep one
      // record per sequence number. A duplicate costs nothing, a block left
      // to libmosquitto alone could be lost.
      waitingBytes_ += block.bytes.size();
      waiting_.push_front(std::move(block));
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      lock.lock();
    } else if (earlyAcks_.erase(id) > 0) {
      ++sent_;
    } else {
      inFlight_.insert(id);
    }
    earlyAcks_.clear();
    wake_.notify_all();
  }
}

}  // namespace qserve
