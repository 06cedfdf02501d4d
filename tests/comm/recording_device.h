// A RawDevice that records every message the protocol sends and answers reads
// from a queue of prepared responses.
#pragma once

#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "comm-api/src/api/rawdevice.h"

using Bytes = std::vector<unsigned char>;

class RecordingDevice : public commapi::RawDevice {
 public:
  struct Event {
    bool write;  // true: a message sent to the device; false: a read of `size` bytes
    Bytes bytes;
    int size;
  };

  int getConnectionType() const override { return 99; }
  std::string getUniqueId() const override { return "REC:0"; }
  void open() override {}
  void close() override {}
  void write(const unsigned char* data, int len) override {
    if (failWrites) throw std::runtime_error("write failed");
    events.push_back({true, Bytes(data, data + len), len});
  }
  void read(unsigned char* data, int len) override {
    if (failReads) throw std::runtime_error("read failed");
    events.push_back({false, {}, len});
    Bytes r;
    if (!responses.empty()) {
      r = responses.front();
      responses.pop_front();
    }
    // The device answers with its prepared bytes; anything not prepared is 0xEE.
    for (int i = 0; i < len; ++i) data[i] = i < static_cast<int>(r.size()) ? r[i] : 0xEE;
  }
  void setTimeout(int ms) override { timeout = ms; }
  int getTimeout() const override { return timeout; }
  int getIntProperty(int) const override { return 0; }

  std::vector<Event> events;
  std::deque<Bytes> responses;
  bool failReads = false;
  bool failWrites = false;
  int timeout = 1000;
};

// Little-endian helpers for building expected messages by hand.
inline Bytes le32(unsigned v) {
  return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
          static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}

inline Bytes header(unsigned control, unsigned address) {
  Bytes h = le32(control);
  Bytes a = le32(address);
  h.insert(h.end(), a.begin(), a.end());
  return h;
}
