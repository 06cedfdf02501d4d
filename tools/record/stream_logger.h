// The central logger's bookkeeping, apart from MQTT: turns the stream records
// of served devices (contract.h) into data files, one HDF5 file per device
// and stream, written through the same writers as a local recording
// (recording.h), so that the files have the same layout and attributes.
//
// Nothing it missed is joined over: a missing sequence number (a block the
// broker or this logger lost, also while it was disconnected), a device
// overrun (a gap record) and frames missing at the start or the end of what
// it saw become gaps at the exact row. A record that arrives twice (QoS 1
// delivers at least once) is written once.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "contract.h"
#include "recording.h"
#include "stream_records.h"

namespace qrecord {

class StreamLogger {
 public:
  using Clock = std::chrono::steady_clock;
  // A stream the server says has ended is closed when no record of it came
  // for this long (its end record may still be on its way).
  static constexpr std::chrono::seconds kEndedGrace{5};

  // Files go into directory; progress and trouble are reported on log.
  explicit StreamLogger(std::string directory, std::FILE* log = stderr);
  ~StreamLogger();  // closeAll()

  // The payloads of a device's topics (any thread).
  void info(const std::string& node, const std::string& device, const std::string& json);
  void state(const std::string& node, const std::string& device, const std::string& json);
  void record(const std::string& node, const std::string& device, const uint8_t* data, size_t size);

  // Puts what was written into the files and closes the streams that ended.
  void flush(Clock::time_point now = Clock::now());
  // Closes every file.
  void closeAll();

  struct FileSummary {
    std::string path;
    long long frames = 0;
    std::vector<long long> gaps;
    bool complete = false;  // the end record arrived and nothing was missing
    bool open = false;
  };
  std::vector<FileSummary> files() const;

 private:
  struct Stream {
    uint32_t id = 0;
    int64_t startUnixNs = 0;
    RecordOrder order;
    std::unique_ptr<qrec::Recording> file;
    size_t summary = 0;  // index into files_
    long long lastGapRow = -1;
    bool missedAny = false;
    bool failed = false;  // the file could not be written: later records are dropped
    std::optional<uint64_t> endedFrames;  // the server's word that it ended, with its frames
    Clock::time_point lastRecord;
    std::vector<double> row;
  };
  struct Device {
    std::string node, identifier;
    std::string serial, firmware;
    std::string stateStreamStart;  // startTime of the stream the state describes
    uint32_t stateStreamId = 0;
    std::optional<Stream> stream;
    uint32_t closedId = 0;  // the stream closed last: its late records are dropped
    int64_t closedStartUnixNs = 0;
    std::string lastProblem;
  };

  Device& deviceFor(const std::string& node, const std::string& device);
  void open(Device& d, const qmqtt::BlockView& view);
  void close(Device& d, const char* how);
  void markGap(Stream& s);
  void write(Device& d, const qmqtt::BlockView& view);
  void problem(Device& d, const std::string& text);
  std::string pathFor(const Device& d, const qmqtt::BlockView& view) const;

  const std::string directory_;
  std::FILE* log_;
  mutable std::mutex mutex_;
  std::map<std::string, Device> devices_;  // "node/id"
  std::vector<FileSummary> files_;
};

}  // namespace qrecord
