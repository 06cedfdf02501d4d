#include "event_hub.h"

namespace qpanel {

void EventHub::publishState(std::string json) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = std::move(json);
    ++stateVersion_;
  }
  changed_.notify_all();
}

void EventHub::publishSnapshot(std::string json) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshot_ = std::move(json);
    ++snapshotVersion_;
  }
  changed_.notify_all();
}

void EventHub::publishStreamStatus(std::string json) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    streamStatus_ = std::move(json);
    ++streamStatusVersion_;
  }
  changed_.notify_all();
}

void EventHub::publishChunk(std::string json) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    chunks_.push_back(std::move(json));
    if (chunks_.size() > kMaxChunks) {
      chunks_.pop_front();
      ++firstChunk_;
    }
  }
  changed_.notify_all();
}

void EventHub::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

EventHub::Cursor EventHub::startCursor() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Cursor c;
  c.nextChunk = firstChunk_ + chunks_.size();
  return c;
}

std::vector<Event> EventHub::wait(Cursor& cursor, std::chrono::milliseconds timeout, bool& closed) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto news = [&] {
    return closed_ || cursor.state != stateVersion_ || cursor.snapshot != snapshotVersion_ ||
           cursor.streamStatus != streamStatusVersion_ ||
           cursor.nextChunk != firstChunk_ + chunks_.size();
  };
  changed_.wait_for(lock, timeout, news);
  closed = closed_;
  std::vector<Event> events;
  if (cursor.state != stateVersion_) {
    events.push_back({"state", state_});
    cursor.state = stateVersion_;
  }
  if (cursor.nextChunk < firstChunk_) {
    // The reader fell behind: the chunks in between are gone.
    events.push_back(
        {"missed", "{\"chunks\":" + std::to_string(firstChunk_ - cursor.nextChunk) + "}"});
    cursor.nextChunk = firstChunk_;
  }
  for (; cursor.nextChunk < firstChunk_ + chunks_.size(); ++cursor.nextChunk)
    events.push_back({"chunk", chunks_[static_cast<size_t>(cursor.nextChunk - firstChunk_)]});
  if (cursor.streamStatus != streamStatusVersion_) {
    events.push_back({"streamstatus", streamStatus_});
    cursor.streamStatus = streamStatusVersion_;
  }
  if (cursor.snapshot != snapshotVersion_) {
    events.push_back({"snapshot", snapshot_});
    cursor.snapshot = snapshotVersion_;
  }
  return events;
}

}  // namespace qpanel
