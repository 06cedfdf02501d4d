// What one device session tells its page, collected for the page's event
// stream (server-sent events). Three kinds of news:
//  - the session state (connection, device description, settings, stream
//    state) and the latest live readings: only the newest value matters, so
//    each is kept once with a version number;
//  - stream chunks (plot data): every chunk matters, so they queue, bounded;
//    a reader that fell behind the queue learns how many it missed, and the
//    page marks the hole in its plot instead of joining across it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace qpanel {

struct Event {
  std::string name;  // SSE event name: "state", "snapshot", "streamstatus", "chunk"
  std::string json;  // its data, one line of JSON
};

class EventHub {
 public:
  static constexpr size_t kMaxChunks = 256;

  void publishState(std::string json);
  void publishSnapshot(std::string json);
  void publishStreamStatus(std::string json);
  void publishChunk(std::string json);
  // Wakes every waiting reader for good (the session ends).
  void close();

  // Where one reader stands.
  struct Cursor {
    uint64_t state = 0, snapshot = 0, streamStatus = 0;
    uint64_t nextChunk = 0;  // sequence number of the next chunk to read
  };
  // A cursor that has seen no values yet and no chunk published so far.
  Cursor startCursor() const;
  // Waits up to timeout for news after cursor and returns it (empty after the
  // timeout); closed is set once the hub is closed.
  std::vector<Event> wait(Cursor& cursor, std::chrono::milliseconds timeout, bool& closed);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;
  std::string state_, snapshot_, streamStatus_;
  uint64_t stateVersion_ = 0, snapshotVersion_ = 0, streamStatusVersion_ = 0;
  std::deque<std::string> chunks_;
  uint64_t firstChunk_ = 0;  // sequence number of chunks_.front()
};

}  // namespace qpanel
