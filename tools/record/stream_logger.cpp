#include "stream_logger.h"

#include <sys/stat.h>

#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>

#include "stream_records.h"

namespace qrecord {

using nlohmann::json;

namespace {

bool exists(const std::string& path) {
  struct stat s {};
  return stat(path.c_str(), &s) == 0;
}

// The host time of a stream's start, for file names: 20261209-124553.
std::string fileTime(int64_t unixNs) {
  const std::time_t seconds = static_cast<std::time_t>(unixNs / 1000000000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

std::optional<json> parseJson(const std::string& text) {
  try {
    return json::parse(text);
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

template <typename T>
std::optional<T> field(const json& j, const char* name) {
  if (!j.is_object()) return std::nullopt;
  const auto it = j.find(name);
  if (it == j.end() || it->is_null()) return std::nullopt;
  try {
    return it->get<T>();
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

}  // namespace

StreamLogger::StreamLogger(std::string directory, std::FILE* log)
    : directory_(std::move(directory)), log_(log) {}

StreamLogger::~StreamLogger() { closeAll(); }

StreamLogger::Device& StreamLogger::deviceFor(const std::string& node, const std::string& device) {
  Device& d = devices_[node + "/" + device];
  d.node = node;
  d.identifier = device;
  return d;
}

void StreamLogger::problem(Device& d, const std::string& text) {
  if (text == d.lastProblem) return;
  d.lastProblem = text;
  std::fprintf(log_, "qelomsr record: %s/%s: %s\n", d.node.c_str(), d.identifier.c_str(),
               text.c_str());
}

void StreamLogger::info(const std::string& node, const std::string& device,
                        const std::string& text) {
  const auto j = parseJson(text);
  if (!j) return;
  std::lock_guard<std::mutex> lock(mutex_);
  Device& d = deviceFor(node, device);
  d.serial = field<std::string>(*j, "serial").value_or(d.serial);
  d.firmware = field<std::string>(*j, "firmware").value_or(d.firmware);
}

void StreamLogger::state(const std::string& node, const std::string& device,
                         const std::string& text) {
  const auto j = parseJson(text);
  if (!j) return;
  std::lock_guard<std::mutex> lock(mutex_);
  Device& d = deviceFor(node, device);
  const json running = j->value("stream", json());
  if (const auto id = field<uint32_t>(running, "id")) {
    d.stateStreamId = *id;
    d.stateStreamStart = field<std::string>(running, "startTime").value_or("");
  }
  if (!d.stream) return;
  // The server says the stream this logger writes has ended: its end record
  // follows (or was lost), with the number of frames it delivered.
  const json last = j->value("lastStream", json());
  if (field<uint32_t>(last, "id") == d.stream->id &&
      field<int64_t>(last, "startUnixNs") == d.stream->startUnixNs) {
    if (const auto frames = field<uint64_t>(last, "frames")) d.stream->endedFrames = *frames;
  }
}

std::string StreamLogger::pathFor(const Device& d, const qmqtt::BlockView& view) const {
  std::string device = d.identifier;
  for (char& c : device)
    if (c == ':' || c == '/') c = '-';
  const std::string stem = directory_ + "/" + d.node + "_" + device + "_" +
                           fileTime(view.header.startUnixNs) + "_s" +
                           std::to_string(view.header.streamId);
  std::string path = stem + ".h5";
  for (int n = 2; exists(path); ++n) path = stem + "-" + std::to_string(n) + ".h5";
  return path;
}

void StreamLogger::open(Device& d, const qmqtt::BlockView& view) {
  qrec::RecordingInfo info;
  info.columns = columnsOf(view.channels);
  info.rateHz = view.header.rateHz;
  info.device = d.identifier;
  info.serial = d.serial;
  info.firmware = d.firmware;
  info.startTime = d.stateStreamId == view.header.streamId && !d.stateStreamStart.empty()
                       ? d.stateStreamStart
                       : qrec::isoTime(view.header.startUnixNs);
  Stream s;
  s.id = view.header.streamId;
  s.startUnixNs = view.header.startUnixNs;
  s.row.resize(view.channels.size());
  FileSummary summary;
  summary.path = pathFor(d, view);
  summary.open = true;
  try {
    s.file = qrec::createHdf5(summary.path, info);
  } catch (const qrec::RecordingError& e) {
    s.failed = true;
    problem(d, e.what());
  }
  s.summary = files_.size();
  files_.push_back(summary);
  if (!s.failed)
    std::fprintf(log_, "qelomsr record: %s/%s stream %u to %s\n", d.node.c_str(),
                 d.identifier.c_str(), s.id, summary.path.c_str());
  d.stream = std::move(s);
}

void StreamLogger::markGap(Stream& s) {
  s.missedAny = true;
  if (!s.file) return;
  const long long rows = s.file->framesWritten();
  if (rows == s.lastGapRow) return;  // one mark per place
  s.file->gap();
  s.lastGapRow = rows;
}

void StreamLogger::write(Device& d, const qmqtt::BlockView& view) {
  Stream& s = *d.stream;
  if (view.channels.size() != s.row.size()) {
    problem(d, "a record of stream " + std::to_string(s.id) +
                   " has other channels than the first: dropped");
    return;
  }
  writeFrames(view, view.header.frameCount, *s.file, s.row);
}

void StreamLogger::record(const std::string& node, const std::string& device, const uint8_t* data,
                          size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  Device& d = deviceFor(node, device);
  qmqtt::BlockView view;
  try {
    view = qmqtt::parseBlock(data, size);
  } catch (const qmqtt::ContractError& e) {
    problem(d, e.what());
    return;
  }
  const qmqtt::BlockHeader& h = view.header;
  if (d.stream && (d.stream->id != h.streamId || d.stream->startUnixNs != h.startUnixNs)) {
    if (h.startUnixNs < d.stream->startUnixNs) return;  // a late record of an older stream
    close(d, "a new stream began before the end record of this one arrived");
  }
  if (!d.stream) {
    if (h.kind == qmqtt::BlockKind::End) return;  // the end of a stream already closed
    if (h.streamId == d.closedId && h.startUnixNs == d.closedStartUnixNs) return;
    open(d, view);
  }
  Stream& s = *d.stream;
  s.lastRecord = Clock::now();
  if (s.failed) return;
  try {
    const RecordOrder::Step step = s.order.next(h);
    if (step == RecordOrder::Step::Again) return;
    if (step == RecordOrder::Step::AfterLoss) markGap(s);
    switch (h.kind) {
      case qmqtt::BlockKind::Frames:
        write(d, view);
        break;
      case qmqtt::BlockKind::Gap:
        markGap(s);
        break;
      case qmqtt::BlockKind::End:
        close(d, s.missedAny ? "ended, with gaps" : "ended");
        return;
    }
  } catch (const qrec::RecordingError& e) {
    problem(d, e.what());
    s.failed = true;
    close(d, "stopped: the file could not be written");
  }
}

void StreamLogger::close(Device& d, const char* how) {
  if (!d.stream) return;
  Stream& s = *d.stream;
  FileSummary& summary = files_[s.summary];
  if (s.file) {
    try {
      s.file->close();
    } catch (const qrec::RecordingError& e) {
      problem(d, e.what());
      s.failed = true;
    }
    summary.frames = s.file->framesWritten();
    summary.gaps = s.file->gaps();
  }
  summary.open = false;
  summary.complete = !s.missedAny && !s.failed && std::string(how) == "ended";
  std::fprintf(log_, "qelomsr record: %s: %lld frames, %zu gap%s; %s\n", summary.path.c_str(),
               summary.frames, summary.gaps.size(), summary.gaps.size() == 1 ? "" : "s", how);
  d.closedId = s.id;
  d.closedStartUnixNs = s.startUnixNs;
  d.stream.reset();
}

void StreamLogger::flush(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : devices_) {
    Device& d = entry.second;
    if (!d.stream) continue;
    Stream& s = *d.stream;
    if (s.file && !s.failed) {
      try {
        s.file->flush();
      } catch (const qrec::RecordingError& e) {
        problem(d, e.what());
        s.failed = true;
      }
    }
    if (s.endedFrames && now - s.lastRecord >= kEndedGrace) {
      // The server said it ended and its last records did not come.
      if (*s.endedFrames > s.order.nextFrame() && !s.failed) markGap(s);
      close(d, "ended (its end record did not arrive)");
    }
  }
}

void StreamLogger::closeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : devices_) close(entry.second, "cut short: the logger stopped");
}

std::vector<StreamLogger::FileSummary> StreamLogger::files() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<FileSummary> result = files_;
  for (const auto& entry : devices_) {
    const auto& s = entry.second.stream;
    if (s && s->file) {
      result[s->summary].frames = s->file->framesWritten();
      result[s->summary].gaps = s->file->gaps();
    }
  }
  return result;
}

}  // namespace qrecord
