#include "remote_stream.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "cli_output.h"
#include "cli_process.h"
#include "cli_stream_recording.h"
#include "cli_values.h"
#include "contract.h"
#include "recording.h"
#include "stream_records.h"

namespace qremote {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kDefaultIdleLimitS = 10.0;
// How long the frames taken before a stop may take to arrive.
constexpr double kEndWaitS = kAnswerTimeoutS;

double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// The records of the stream topic, handed over from the network thread.
class RecordQueue {
 public:
  void push(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.emplace_back(data, data + size);
    changed_.notify_all();
  }
  // Waits up to seconds for records and takes them all.
  std::deque<std::vector<uint8_t>> take(double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                      [&] { return !records_.empty(); });
    std::deque<std::vector<uint8_t>> taken;
    taken.swap(records_);
    return taken;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<uint8_t>> records_;
};

// The start request: the channels as given, an analog input without a range
// taking --range.
json startRequest(const RemoteDevice& device, const qcli::StreamArgs& args) {
  json channels = json::array();
  for (const auto& text : qcli::splitList(args.channels)) {
    const qcli::ChannelSpec spec = qcli::parseChannelSpec(text);
    const bool analog = device.entry("inputs", spec.name) != nullptr;
    channels.push_back(spec.range.empty() && analog && !args.range.empty() ? text + ":" + args.range
                                                                           : text);
  }
  json request = {{qmqtt::kFieldOp, qmqtt::kOpStart}, {qmqtt::kFieldChannels, channels}};
  if (args.rate > 0) request[qmqtt::kFieldRateHz] = args.rate;
  if (!args.trigger.empty() && args.trigger != "none") {
    request[qmqtt::kFieldTrigger] = args.trigger;
    request[qmqtt::kFieldTriggerConfig] = args.triggerConfig;
  }
  if (args.frames > 0) request[qmqtt::kFieldFrames] = args.frames;
  return request;
}

// One stream of the served device into a recording.
class RemoteStream {
 public:
  RemoteStream(RemoteDevice& device, const qcli::StreamArgs& args) : device_(device), args_(args) {
    idleLimitS_ = std::isnan(args.timeout) ? kDefaultIdleLimitS : args.timeout;
  }
  ~RemoteStream() { device_.subscribeStream(nullptr); }
  RemoteStream(const RemoteStream&) = delete;
  RemoteStream& operator=(const RemoteStream&) = delete;

  int run();

 private:
  // Takes the records that came within seconds; false when none did.
  bool receive(double seconds);
  void handle(const uint8_t* data, size_t size);
  void open(const qmqtt::BlockView& view);
  void gap();
  // Stops the server's acquisition unless it ended; the frames it took
  // before arrive with its end record.
  void stop();
  void awaitEnd();
  void checkOnline();

  RemoteDevice& device_;
  const qcli::StreamArgs& args_;
  RecordQueue queue_;
  double idleLimitS_;
  uint32_t streamId_ = 0;
  double rateHz_ = 0;
  long long target_ = std::numeric_limits<long long>::max();
  qrecord::RecordOrder order_;
  std::vector<qrec::Column> columns_;
  std::vector<double> row_;
  std::unique_ptr<qrec::Recording> file_;
  long long lastGapRow_ = -1;
  int overruns_ = 0;
  bool ended_ = false;
  bool stopSent_ = false;
  Clock::time_point started_;
  Clock::time_point lastRecord_;
  Clock::time_point lastFlush_;
};

void RemoteStream::checkOnline() {
  if (device_.status() != qmqtt::kOnline)
    throw std::runtime_error(device_.name() + ": its node went " + device_.status() +
                             " during the stream; the file holds the frames that came");
}

bool RemoteStream::receive(double seconds) {
  auto records = queue_.take(seconds);
  for (const auto& r : records) handle(r.data(), r.size());
  return !records.empty();
}

void RemoteStream::handle(const uint8_t* data, size_t size) {
  qmqtt::BlockView view;
  try {
    view = qmqtt::parseBlock(data, size);
  } catch (const qmqtt::ContractError&) {
    return;  // its sequence number is missing: a gap at its place
  }
  const qmqtt::BlockHeader& h = view.header;
  if (h.streamId != streamId_ || ended_) return;  // another stream's, or after the end
  lastRecord_ = Clock::now();
  const qrecord::RecordOrder::Step step = order_.next(h);
  if (step == qrecord::RecordOrder::Step::Again) return;
  if (!file_) open(view);
  if (step == qrecord::RecordOrder::Step::AfterLoss) gap();
  switch (h.kind) {
    case qmqtt::BlockKind::Frames: {
      if (view.channels.size() != row_.size())
        throw std::runtime_error("a record of stream " + std::to_string(streamId_) +
                                 " has other channels than the first");
      const long long room = target_ - file_->framesWritten();
      qrecord::writeFrames(view, static_cast<uint32_t>(std::min<long long>(room, h.frameCount)),
                           *file_, row_);
      break;
    }
    case qmqtt::BlockKind::Gap:
      // The server restarts after an overrun; without --restart-on-overrun
      // the stream ends there, as a local one does.
      ++overruns_;
      gap();
      qcli::endProgressLine();
      std::fprintf(stderr,
                   "qelomsr: overrun after %lld frames: the device buffer overflowed, frames "
                   "were lost\n",
                   file_->framesWritten());
      if (!args_.restartOnOverrun)
        throw std::runtime_error(device_.name() +
                                 ": the device buffer overflowed; --restart-on-overrun continues "
                                 "after the gap");
      break;
    case qmqtt::BlockKind::End:
      ended_ = true;
      break;
  }
}

void RemoteStream::open(const qmqtt::BlockView& view) {
  qrec::RecordingInfo info;
  info.columns = qrecord::columnsOf(view.channels);
  info.rateHz = view.header.rateHz;
  info.startTime = qrec::isoTime(view.header.startUnixNs);
  const json& about = device_.info();
  info.device = device_.identifier();
  info.family = about.value("family", "");
  info.serial = about.value("serial", "");
  info.firmware = about.value("firmware", "");
  columns_ = info.columns;
  row_.assign(columns_.size(), 0.0);
  qcli::warnOfUncalibrated(columns_);
  file_ = qcli::toStandardOutput(args_)
              ? qrec::writeCsv(qcli::out(), "standard output", info)
              : qrec::createRecording(args_.out, info, qcli::fileOptions(args_));
}

void RemoteStream::gap() {
  const long long rows = file_->framesWritten();
  if (rows == lastGapRow_) return;  // one mark per place
  file_->gap();
  lastGapRow_ = rows;
}

void RemoteStream::stop() {
  if (ended_ || stopSent_) return;
  stopSent_ = true;
  try {
    device_.call({{qmqtt::kFieldOp, qmqtt::kOpStop}});
  } catch (const qcli::ApiError&) {
    // It ended by itself meanwhile (its frame count): its end record follows.
  }
}

void RemoteStream::awaitEnd() {
  const Clock::time_point since = Clock::now();
  while (!ended_ && secondsSince(since) < kEndWaitS) {
    receive(0.1);
    checkOnline();
  }
  if (!ended_)
    throw std::runtime_error(device_.name() + " sent no end of its stream within " +
                             std::to_string(static_cast<int>(kEndWaitS)) + " s of the stop");
}

int RemoteStream::run() {
  device_.subscribeStream([this](const uint8_t* data, size_t size) { queue_.push(data, size); });
  // Refused (no --allow-control, a rate the device cannot run): nothing was
  // started and no file made.
  const json answer = device_.call(startRequest(device_, args_));
  started_ = lastRecord_ = lastFlush_ = Clock::now();
  streamId_ = answer.value("stream", 0u);
  rateHz_ = answer.value(qmqtt::kFieldRateHz, 0.0);
  const bool timed = rateHz_ > 0;
  // A duration is a number of frames at the device's rate, as on a device
  // opened here; on trigger events it counts in host time.
  if (args_.frames > 0) {
    target_ = args_.frames;
  } else if (timed && args_.seconds * rateHz_ < 9.0e18) {
    target_ = std::max(1LL, std::llround(args_.seconds * rateHz_));
  }
  bool interrupted = false;
  try {
    while (!ended_ && (!file_ || file_->framesWritten() < target_)) {
      if (qcli::stopRequested()) {
        interrupted = true;
        break;
      }
      if (!timed && args_.frames == 0 && secondsSince(started_) >= args_.seconds) break;
      // What came is in the file within a second, as with a local stream.
      if (file_ && secondsSince(lastFlush_) >= 1.0) {
        file_->flush();
        lastFlush_ = Clock::now();
      }
      if (receive(0.1)) continue;
      checkOnline();
      if (idleLimitS_ > 0 && secondsSince(lastRecord_) > idleLimitS_)
        throw std::runtime_error(
            device_.name() + " delivered no frames for " + qrec::numberText(idleLimitS_) + " s" +
            (args_.trigger.empty() ? "" : " (no trigger event?)") + "; the stream was stopped");
    }
    const long long written = file_ ? file_->framesWritten() : 0;
    if (ended_ && !interrupted && written < target_)
      throw std::runtime_error(device_.name() + " ended its stream after " +
                               std::to_string(written) + " frames (its state topic says why)");
    stop();
    if (written < target_) awaitEnd();
    if (file_ == nullptr) throw std::runtime_error(device_.name() + " delivered no frames");
    file_->close();
  } catch (const std::exception& e) {
    if (device_.status() == qmqtt::kOnline) {
      try {
        stop();
      } catch (const std::exception&) {
        // the failure itself is what is reported
      }
    }
    if (file_ == nullptr) throw;
    qcli::endProgressLine();
    const int code = qcli::reportFailure(e);
    if (code == qcli::kExitBrokenPipe) return code;
    try {
      file_->close();
    } catch (const std::exception& closing) {
      qcli::reportFailure(closing);
    }
    if (!args_.quiet) qcli::printCutShort(columns_, *file_, qcli::whereWritten(args_));
    return code;
  }
  if (!args_.quiet) {
    qcli::AcquisitionResult result;
    result.deviceRate = rateHz_;
    result.frames = file_->framesWritten();
    result.elapsed = std::chrono::duration<double>(lastRecord_ - started_).count();
    result.overruns = overruns_;
    qcli::printSummary(result, file_->framesWritten(), interrupted ? ", interrupted" : "");
    qcli::printClipped(columns_, *file_);
  }
  return interrupted ? qcli::exitCodeForSignal(qcli::stopSignal()) : qcli::kExitSuccess;
}

}  // namespace

int runStream(RemoteDevice& device, const qcli::StreamArgs& args) {
  RemoteStream stream(device, args);
  return stream.run();
}

}  // namespace qremote
