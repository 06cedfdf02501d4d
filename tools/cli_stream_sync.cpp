// stream --sync: several devices on one clock. The first device (the
// master) drives its trigger line; the others sample on its edges (frame
// mode: out-b toggles at every master frame, in-c takes both edges) or start
// on it (start mode: out-a goes high at the master's start, then each runs
// on its own crystal). Row k of the file holds frame k of every device; a
// row is written only once every device delivered its frame k.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <thread>

#include "cli_acquisition.h"
#include "cli_commands.h"
#include "cli_process.h"
#include "cli_registry.h"
#include "cli_stream_recording.h"
#include "recording.h"

namespace qcli {

namespace {

using Clock = std::chrono::steady_clock;

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The --sync devices and, per device, its channels (NAME[:RANGE]).
struct SyncPlan {
  std::vector<std::string> devices;
  std::vector<std::vector<std::string>> channels;
  bool frameMode = true;
};

SyncPlan planOf(const StreamArgs& args) {
  SyncPlan plan;
  plan.devices = splitList(args.sync);
  if (plan.devices.size() < 2)
    throw UsageError("--sync names the master and at least one other device: --sync DEV,DEV");
  for (size_t i = 0; i < plan.devices.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (lowered(plan.devices[i]) == lowered(plan.devices[j]))
        throw UsageError("--sync names " + plan.devices[i] + " twice");
  if (args.syncMode != "frame" && args.syncMode != "start")
    throw UsageError(
        "--sync-mode is frame (every frame on the master's edges) or start (a "
        "common start, then each device's own clock), not '" +
        args.syncMode + "'");
  plan.frameMode = args.syncMode == "frame";
  plan.channels.resize(plan.devices.size());
  for (const std::string& channel : splitList(args.channels)) {
    // The longest --sync name followed by ':' (identifiers hold colons).
    int owner = -1;
    size_t length = 0;
    for (size_t d = 0; d < plan.devices.size(); ++d) {
      const std::string& name = plan.devices[d];
      if (channel.size() > name.size() + 1 && channel[name.size()] == ':' &&
          lowered(channel.substr(0, name.size())) == lowered(name) && name.size() > length) {
        owner = static_cast<int>(d);
        length = name.size();
      }
    }
    if (owner < 0)
      throw UsageError("channel '" + channel + "' names no device of --sync " + args.sync +
                       ": give channels as DEVICE:NAME, e.g. " + plan.devices[0] + ":AI-0");
    plan.channels[static_cast<size_t>(owner)].push_back(channel.substr(length + 1));
  }
  for (size_t d = 0; d < plan.devices.size(); ++d)
    if (plan.channels[d].empty())
      throw UsageError("no channel of " + plan.devices[d] + " in --channels: give at least one " +
                       plan.devices[d] + ":NAME");
  return plan;
}

// One device of a synchronised stream with the frames it delivered that
// have no complete row yet.
struct Member {
  Member(Device opened, bool isMaster) : device(std::move(opened)), master(isMaster) {}
  Device device;
  bool master;
  std::vector<Channel> channels;
  std::vector<float> values;
  std::vector<int> ports;
  std::vector<double> pending;  // channels.size() values per frame
  size_t pendingFrames = 0;
  long long delivered = 0;     // frames of this stretch
  long long overflowAt = -1;   // frames of this stretch before the overflow
  Clock::time_point lastData;  // or the moment the master got ahead
  int framesPerRead = 0;       // the most one read hands out
  std::unique_ptr<ApiError> overflow;
  std::unique_ptr<TriggerEnabled> triggerEnabled;
  std::unique_ptr<RunningAcquisition> run;
};

class SyncStream {
 public:
  SyncStream(const StreamArgs& args, SyncPlan plan) : args_(args), plan_(std::move(plan)) {}

  int run();

 private:
  void open();
  void prepare();
  void start();
  void stopAll();
  // Reads what every device holds; true when a read came back full (more
  // may be waiting).
  bool readAll(Clock::time_point now);
  void writeRows(size_t rows);
  void checkIdle(Clock::time_point now);
  // Ends a stretch at an overflow once every device delivered its frames up
  // to the first lost one; true when it did.
  bool settleOverflow();
  std::string summary() const;

  const StreamArgs& args_;
  SyncPlan plan_;
  std::vector<Member> members_;
  std::vector<qrec::Column> columns_;
  std::unique_ptr<qrec::Recording> recording_;
  std::vector<double> row_;
  double periodNs_ = 0.0;
  double pause_ = 0.02;  // seconds between reads that found no full read
  double segmentOffset_ = 0.0;
  long long target_ = 0;
  long long rows_ = 0;
  long long segmentRows_ = 0;
  int overruns_ = 0;
  double timeoutS_ = kDefaultTriggerTimeoutS;
  Clock::time_point start_;
};

void SyncStream::open() {
  for (size_t d = 0; d < plan_.devices.size(); ++d) {
    members_.emplace_back(Device::open(plan_.devices[d]), d == 0);
    Member& m = members_.back();
    const FailureSubject subject(m.device.entry().identifier);
    if (!args_.quiet) announce(m.device);
    for (size_t e = 0; e + 1 < members_.size(); ++e)
      if (members_[e].device.entry().identifier == m.device.entry().identifier)
        throw UsageError("--sync names " + m.device.entry().identifier + " twice (as " +
                         plan_.devices[e] + " and " + plan_.devices[d] + ")");
    const auto& all = m.device.peripherals();
    if (std::none_of(all.begin(), all.end(),
                     [](const Peripheral& p) { return kindOf(p.id) == kKindTrigger; }))
      throw UsageError(m.device.describe() + " has no trigger line: it cannot take part in --sync");
  }
}

void SyncStream::prepare() {
  for (size_t d = 0; d < members_.size(); ++d) {
    Member& m = members_[d];
    const std::string& id = m.device.entry().identifier;
    const FailureSubject subject(id);
    std::vector<int> inputs = applyChannels(
        m.device, plan_.channels[d], args_.range,
        {kKindAnalogInput, kKindDiffInput, kKindDigitalPort, kKindCounter, kKindTrigger});
    m.channels = describeChannels(m.device, inputs);
    enableCounter(m.device, m.channels, Trigger::Start);
    check(
        QeloMsrSetupInputFrame(m.device.handle(), inputs.data(), static_cast<int>(inputs.size())));
    std::vector<qrec::Column> columns =
        describeColumns(m.device, m.channels, CalibrationView::read(m.device));
    for (qrec::Column& c : columns) {
      c.name = id + ":" + c.name;  // one name per column across the devices
      c.device = id;
    }
    columns_.insert(columns_.end(), columns.begin(), columns.end());
    const FamilyInfo& family = m.device.family();
    const size_t records = static_cast<size_t>(family.readLimitBytes / 2);
    m.values.resize(records * family.valueSlots);
    m.ports.resize(records * family.portSlots);
    int capacity = 0;
    check(QeloMsrCalculateMaxBufferedInputFrames(m.device.handle(), &capacity));
    m.pending.reserve((static_cast<size_t>(capacity) + records) * m.channels.size());
    int words = 0;
    for (const Channel& c : m.channels) words += c.words;
    m.framesPerRead = family.readLimitBytes / (2 * words);
    // Sleep for about half a read's worth of frames, never longer than a
    // tenth of the smallest buffer.
    const double frames = std::min(0.5 * m.framesPerRead, 0.1 * capacity);
    pause_ = std::min(pause_, std::clamp(frames / args_.rate, 0.0005, 0.02));
    // The rate is probed while every trigger line is still an input: a probe
    // start of the master must not toggle the others' lines.
    if (acceptedRate(m.device, args_.rate) <= 0) {
      char text[256];
      std::snprintf(text, sizeof text,
                    "%s takes no frame rate of %g Hz: a synchronised stream runs at most at the "
                    "rate of its slowest device ('qelomsr bench %s' shows it)",
                    id.c_str(), args_.rate, id.c_str());
      throw UsageError(text);
    }
  }
  for (Member& m : members_) {
    const FailureSubject subject(m.device.entry().identifier);
    const int config =
        m.master ? (plan_.frameMode ? QELOMSR_TRIGGER_CONFIG_OUT_B : QELOMSR_TRIGGER_CONFIG_OUT_A)
                 : QELOMSR_TRIGGER_CONFIG_IN_C;
    m.triggerEnabled = std::make_unique<TriggerEnabled>(m.device.handle());
    m.triggerEnabled->set(configureTrigger(m.device, config));
    m.run = std::make_unique<RunningAcquisition>(m.device.handle());
  }
  row_.resize(columns_.size());
  warnOfUncalibrated(columns_);
}

// The others first, waiting for the master's edges; then the master.
void SyncStream::start() {
  for (size_t i = members_.size(); i-- > 0;) {
    Member& m = members_[i];
    const FailureSubject subject(m.device.entry().identifier);
    m.pendingFrames = 0;
    m.pending.clear();
    m.delivered = 0;
    m.overflowAt = -1;
    m.overflow.reset();
    m.lastData = Clock::now();
    if (m.master) {
      const float corrected = m.run->start(false, args_.rate);
      periodNs_ = devicePeriodNs(args_.rate, corrected);
    } else {
      m.run->start(!plan_.frameMode, plan_.frameMode ? -1.0 : args_.rate);
    }
  }
  segmentRows_ = 0;
}

// The master first, so that no edge comes after an other device stopped.
void SyncStream::stopAll() {
  for (Member& m : members_) {
    const FailureSubject subject(m.device.entry().identifier);
    m.run->stop();
  }
}

bool SyncStream::readAll(Clock::time_point now) {
  bool any = false;
  for (Member& m : members_) {
    if (m.overflow) continue;
    const FailureSubject subject(m.device.entry().identifier);
    int got = 0;
    const int rc = QeloMsrReadNonBlocking(m.device.handle(), m.values.data(), m.ports.data(), &got);
    if (rc != 0) {
      ApiError error = errorFor(rc);
      if (!isOverflow(error)) throw error;
      // Every frame the device kept has been delivered: its gap is here.
      m.overflowAt = m.delivered;
      m.overflow = std::make_unique<ApiError>(error);
      continue;
    }
    if (got == 0) continue;
    any = any || got >= m.framesPerRead;
    const FamilyInfo& family = m.device.family();
    for (int f = 0; f < got; ++f) {
      const float* v = m.values.data() + static_cast<size_t>(f) * family.valueSlots;
      const int* p = m.ports.data() + static_cast<size_t>(f) * family.portSlots;
      for (const Channel& c : m.channels) m.pending.push_back(channelValue(c, v, p));
    }
    m.pendingFrames += static_cast<size_t>(got);
    m.delivered += got;
    m.lastData = now;
  }
  return any;
}

void SyncStream::writeRows(size_t rows) {
  rows = static_cast<size_t>(std::min<long long>(static_cast<long long>(rows), target_ - rows_));
  for (size_t r = 0; r < rows && !stopInsisted(); ++r) {
    size_t column = 0;
    for (const Member& m : members_) {
      const double* values = m.pending.data() + r * m.channels.size();
      for (size_t c = 0; c < m.channels.size(); ++c) row_[column++] = values[c];
    }
    const double t =
        segmentOffset_ +
        static_cast<double>(segmentRows_ + static_cast<long long>(r)) * periodNs_ / 1e9;
    recording_->frame(t, row_.data());
    ++rows_;
  }
  for (Member& m : members_) {
    m.pending.erase(m.pending.begin(),
                    m.pending.begin() + static_cast<std::ptrdiff_t>(rows * m.channels.size()));
    m.pendingFrames -= rows;
  }
  segmentRows_ += static_cast<long long>(rows);
}

void SyncStream::checkIdle(Clock::time_point now) {
  const Member& master = members_.front();
  const double stallLimit = std::max(10.0, 20.0 * periodNs_ / 1e9);
  if (master.overflow == nullptr && secondsBetween(master.lastData, now) > stallLimit) {
    // In start mode the master runs from its start; nothing for this long
    // means it stopped.
    throw std::runtime_error("the master " + master.device.entry().identifier +
                             " delivered no frames for " +
                             std::to_string(static_cast<int>(stallLimit)) + " s");
  }
  for (Member& m : members_) {
    if (m.master || m.overflow) continue;
    if (m.delivered >= master.delivered) {
      m.lastData = now;  // not behind: nothing to wait for
      continue;
    }
    if (timeoutS_ > 0 && secondsBetween(m.lastData, now) > timeoutS_) {
      char text[512];
      std::snprintf(text, sizeof text,
                    "no trigger edges from the master: %s took no frame for %g s while the master "
                    "%s took %lld; wire its trigger line to the master's (docs/usage.md, "
                    "\"Several devices on one clock\")",
                    m.device.entry().identifier.c_str(), timeoutS_,
                    master.device.entry().identifier.c_str(), master.delivered - m.delivered);
      throw std::runtime_error(text);
    }
  }
}

bool SyncStream::settleOverflow() {
  long long gapAt = std::numeric_limits<long long>::max();
  const Member* first = nullptr;
  for (const Member& m : members_)
    if (m.overflow && m.overflowAt < gapAt) {
      gapAt = m.overflowAt;
      first = &m;
    }
  if (first == nullptr) return false;
  // The others still hand out the frames before the gap.
  for (const Member& m : members_)
    if (!m.overflow && m.delivered < gapAt) return false;
  writeRows(static_cast<size_t>(gapAt - segmentRows_));
  if (rows_ >= target_) return true;  // every row asked for came before the gap
  ++overruns_;
  endProgressLine();
  std::fprintf(stderr,
               "qelomsr: overrun of %s after %lld frames: its buffer overflowed, frames were "
               "lost on it; the gap holds for every device\n",
               first->device.entry().identifier.c_str(), rows_);
  recording_->gap();
  if (!args_.restartOnOverrun) throw ApiError(*first->overflow);
  stopAll();
  const double lastSeconds =
      segmentOffset_ + static_cast<double>(segmentRows_ - 1) * periodNs_ / 1e9;
  start();
  segmentOffset_ = std::max(secondsBetween(start_, Clock::now()), lastSeconds + periodNs_ / 1e9);
  return true;
}

std::string SyncStream::summary() const {
  char text[256];
  std::snprintf(text, sizeof text, "%lld frames of %zu devices at %.6g Hz (%s sync), %d overrun%s",
                rows_, members_.size(), 1e9 / periodNs_, plan_.frameMode ? "frame" : "start",
                overruns_, overruns_ == 1 ? "" : "s");
  return text;
}

int SyncStream::run() {
  open();
  prepare();
  const bool toStdout = toStandardOutput(args_);
  timeoutS_ = std::isnan(args_.timeout) ? kDefaultTriggerTimeoutS : args_.timeout;
  start_ = Clock::now();
  start();
  const Member& master = members_.front();
  qrec::RecordingInfo info;
  info.startTime = qrec::isoTimeNow();
  info.rateHz = 1e9 / periodNs_;
  info.device = master.device.entry().identifier;
  info.family = master.device.family().name;
  info.serial = master.device.serialNumber();
  info.firmware = master.device.entry().firmware;
  info.columns = columns_;
  for (size_t d = 1; d < members_.size(); ++d) {
    const Device& device = members_[d].device;
    info.otherDevices.push_back({device.entry().identifier, device.family().name,
                                 device.serialNumber(), device.entry().firmware});
  }
  recording_ = toStdout ? qrec::writeCsv(out(), "standard output", info)
                        : qrec::createRecording(args_.out, info, fileOptions(args_));
  const double wanted = args_.seconds * info.rateHz;
  target_ = args_.frames > 0 ? args_.frames : std::max(1LL, std::llround(std::min(wanted, 9.0e18)));
  const bool dataOnTerminal = toStdout && isatty(fileno(out()));
  const bool progress =
      !args_.quiet && (args_.progress || (isatty(STDERR_FILENO) && !dataOnTerminal));
  const std::string where = toStdout ? "" : " to " + args_.out;
  bool interrupted = false;
  try {
    Clock::time_point lastFlush = start_, lastProgress = start_;
    while (rows_ < target_) {
      if (stopRequested()) {
        interrupted = true;
        break;
      }
      Clock::time_point now = Clock::now();
      const bool full = readAll(now);
      if (!settleOverflow()) {
        size_t complete = std::numeric_limits<size_t>::max();
        for (const Member& m : members_) complete = std::min(complete, m.pendingFrames);
        writeRows(complete);
        checkIdle(now);
      }
      if (progress && now - lastProgress > std::chrono::milliseconds(250)) {
        printProgress("%lld/%lld synchronised frames  overruns %d", rows_, target_, overruns_);
        lastProgress = now;
      }
      if (now - lastFlush > std::chrono::seconds(1)) {
        recording_->flush();
        lastFlush = now;
      }
      if (!full) std::this_thread::sleep_for(std::chrono::duration<double>(pause_));
    }
    stopAll();
    recording_->close();
  } catch (const std::exception& e) {
    endProgressLine();
    const int code = reportFailure(e);
    if (code == kExitBrokenPipe) return code;
    try {
      recording_->close();  // after a write error: only finishes the file
    } catch (const std::exception& closing) {
      reportFailure(closing);
    }
    if (!args_.quiet) {
      std::fprintf(stderr,
                   "qelomsr: %lld synchronised frames written%s before the error, %zu gap%s\n",
                   recording_->framesWritten(), where.c_str(), recording_->gaps().size(),
                   recording_->gaps().size() == 1 ? "" : "s");
      printClipped(columns_, *recording_);
    }
    return code;
  }
  if (progress) endProgressLine();
  if (!args_.quiet) {
    std::fprintf(stderr, "qelomsr: %s%s\n", summary().c_str(), interrupted ? ", interrupted" : "");
    printClipped(columns_, *recording_);
  }
  return interrupted ? exitCodeForSignal(stopSignal()) : kExitSuccess;
}

}  // namespace

void checkSyncStream(const StreamArgs& args) {
  if (!args.trigger.empty() || args.triggerConfig != "in-a")
    throw UsageError("--sync sets the trigger lines itself: give no --trigger or --trigger-config");
  if (!(args.rate >= 1.0)) throw UsageError("--rate must be given and at least 1 Hz");
  if (!std::isnan(args.timeout) && !(args.timeout >= 0.0 && std::isfinite(args.timeout)))
    throw UsageError("--trigger-timeout must be a number of seconds >= 0");
  planOf(args);
  checkStreamOutput(args);
}

int runSyncStream(const StreamArgs& args) {
  checkSyncStream(args);
  SyncStream stream(args, planOf(args));
  return stream.run();
}

}  // namespace qcli
