#include "qsim/model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <stdexcept>
#include <utility>

#include "layout.h"

namespace qsim {

namespace {

// Request framing.
constexpr size_t kHeaderBytes = 64;
constexpr size_t kBlockBytes = 64;
constexpr uint32_t kCountMask = 0x3FFFFFFF;
constexpr uint32_t kIncrementBit = 0x40000000;
constexpr uint32_t kWriteBit = 0x80000000;
// Largest read the device answers; bigger counts are malformed requests.
constexpr uint32_t kMaxReadBytes = 1u << 20;
// Replies waiting for IN transfers; older ones are dropped beyond this.
constexpr size_t kMaxQueuedReplies = 1024;
// The write log keeps the most recent writes within both bounds.
constexpr size_t kMaxLoggedWrites = 65536;
constexpr size_t kMaxLoggedBytes = 4u << 20;
// Byte-addressed memories: the calibration flash and the serial block.
constexpr uint32_t kCalibrationRegionBytes = 1024;

// Registers and blocks.
enum : uint32_t {
  kInputBuffer = 0x00,
  kOutputBuffer = 0x04,
  kInputStatus = 0x08,
  kInputCapacity = 0x09,
  kOutputStatus = 0x0C,
  kOutputEnable = 0x10,  // + port
  kPortLevels = 0x14,    // + port
  kInputSequence = 0x18,
  kOutputMask = 0x1C,
  kConversion = 0x20,
  kOutputFrame = 0x24,
  kChannelRange = 0x28,
  kDelayBlock = 0x2C,
  kDac0 = 0x40,
  kDac1 = 0x44,
  kTriggerConfig = 0x4C,
  kFramePeriod = 0x50,
  kFrameCount = 0x54,
  kAcqControl = 0x58,
  kChannelDelay = 0x5C,
  kTemperature = 0x70,
  kCounterValue = 0xC0,  // Rix: also counter control on write
  kCounterControl = 0xC4,
  kLed = 0xC8,
  kWatchdog = 0x100,
  kVersion = 0xF0000004,
  kSerial = 0xF0000008,
  kPeripheralReset = 0xF0000020,
  kCalibrationPointer = 0xF0000030,
};

// Bits of the peripheral reset mask (0xFFFFFFFF resets everything).
enum : uint32_t {
  kResetPorts = 1u << 0,
  kResetDacs = 1u << 1,
  kResetLed = 1u << 2,
  kResetCounter = 1u << 3,
  kResetAcquisition = 1u << 4,
  kResetTrigger = 1u << 5,
  kResetWatchdog = 1u << 6,
  kResetFrontEnd = 1u << 7,
};

constexpr uint32_t kOverflowBit = 0x80000000;
constexpr uint32_t kEarlyTriggerBit = 0x40000000;
constexpr double kRangeFullScale[4] = {10.0, 1.0, 0.1, 0.01};

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

size_t padded(size_t count) { return (count + kBlockBytes - 1) / kBlockBytes * kBlockBytes; }

bool erased(const CodeRecord& r) {
  return r.positive == 0xFFFF && r.zero == 0xFFFF && r.negative == 0xFFFF;
}

// Fixed-capacity byte FIFO; storage is allocated once.
class ByteRing {
 public:
  explicit ByteRing(size_t capacity) : buf_(capacity) {}
  size_t size() const { return size_; }
  size_t capacity() const { return buf_.size(); }
  size_t space() const { return buf_.size() - size_; }
  void clear() { head_ = size_ = 0; }
  void push(const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) buf_[(head_ + size_ + i) % buf_.size()] = data[i];
    size_ += n;
  }
  void pop(uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = buf_[(head_ + i) % buf_.size()];
    head_ = (head_ + n) % buf_.size();
    size_ -= n;
  }

 private:
  std::vector<uint8_t> buf_;
  size_t head_ = 0;
  size_t size_ = 0;
};

struct Reply {
  std::vector<uint8_t> bytes;
  size_t pos = 0;
};

}  // namespace

struct DeviceModel::Impl {
  Impl(DeviceConfig c, std::shared_ptr<Clock> clk)
      : cfg(std::move(c)),
        lay(layoutOf(cfg.family)),
        clock(clk ? std::move(clk) : std::make_shared<SteadyClock>()),
        epoch(clock->nowNs()),
        input(cfg.inputCapacity),
        output(cfg.outputCapacity),
        garbageRng(0x5EED) {
    resetPeripherals(0xFFFFFFFF, epoch);
  }

  mutable std::mutex m;
  DeviceConfig cfg;
  const Layout& lay;
  std::shared_ptr<Clock> clock;
  int64_t epoch;

  std::deque<Reply> replies;
  std::vector<std::vector<uint8_t>> spare;  // reply storage for reuse

  // Peripherals.
  std::array<int, 21> range{};
  std::array<int, 21> delay{};
  std::array<uint8_t, 3> oe{};
  std::array<uint8_t, 3> latch{};
  std::array<uint16_t, 2> dac{};
  bool ledOn = false;
  uint32_t watchdogReg = 0;
  uint32_t triggerCode = 0;
  bool trigLevel = false;
  bool counterOn = false;
  uint32_t counterBase = 0;
  int64_t counterSince = 0;
  std::vector<uint8_t> inMask;
  std::vector<uint8_t> outMask;

  // Acquisition.
  AcquisitionState acq = AcquisitionState::Idle;
  int64_t periodReg = 0;
  uint32_t frameCountReg = 0;
  bool gated = false;  // Vel mode 3
  std::vector<uint8_t> runMask;
  size_t frameBytes = 0;
  int64_t runPeriod = 0;
  uint32_t runCount = 0;
  int64_t startNs = 0;
  int64_t ticksDone = 0;
  uint64_t framesTaken = 0;
  bool havePulse = false;
  int64_t lastPulseNs = 0;
  bool overflow = false;
  bool early = false;
  uint64_t produced = 0;
  uint64_t dropped = 0;
  ByteRing input;
  std::vector<uint8_t> frameScratch;
  std::vector<uint8_t> convScratch;

  // Vel output buffer.
  ByteRing output;
  bool outputUsed = false;
  bool underrun = false;
  uint64_t outApplied = 0;

  // Diagnostics.
  std::deque<WriteRecord> log;
  size_t logBytes = 0;
  uint64_t malformed = 0;
  std::string lastError;
  std::mt19937 garbageRng;

  // ---- helpers (m held) ------------------------------------------------------

  void fault(const std::string& what) {
    ++malformed;
    lastError = what;
  }

  bool triggerIsOutput() const {
    if (cfg.family == Family::Rix) return triggerCode == 0x19 || triggerCode == 0x09;
    return triggerCode == 9 || triggerCode == 1;
  }

  // Voltage of an analog output through its output record (erased: nominal).
  double dacVolts(int out) const {
    CodeRecord rec = cfg.outputRecords[static_cast<size_t>(out)];
    if (erased(rec)) rec = {4095, 2047, 0, 0xFFFF};
    const double code = dac[static_cast<size_t>(out)];
    if (code >= rec.zero) {
      return rec.positive == rec.zero ? 0.0 : (code - rec.zero) * 10.0 / (rec.positive - rec.zero);
    }
    return rec.zero == rec.negative ? 0.0 : -(rec.zero - code) * 10.0 / (rec.zero - rec.negative);
  }

  // Single-ended input i: its signal, or the analog output wired to it.
  double singleVoltage(int i, int64_t rel) const {
    for (const AnalogLoopback& l : cfg.analogLoopbacks) {
      if (l.to == i) return dacVolts(l.from);
    }
    return cfg.signals[static_cast<size_t>(i)].valueAt(rel);
  }

  double voltage(int ch, int64_t t) const {
    if (ch < 0 || ch >= lay.channels()) return 0.0;
    const int64_t rel = t - epoch;
    if (ch < lay.singleEnded) return singleVoltage(ch, rel);
    const int n = ch - lay.singleEnded;
    return singleVoltage(2 * n, rel) - singleVoltage(2 * n + 1, rel);
  }

  uint16_t codeFor(int ch, int r, double v) const {
    if (ch < 0 || ch >= lay.channels()) return 0;
    if (cfg.family == Family::Rix) {
      SimpleRecord rec = cfg.simpleRecords[static_cast<size_t>(ch)];
      if (rec.offset == 0xFFFFFFFF && rec.gain == 0xFFFFFFFF) rec = {0, 1u << 28};
      const double voltsPerCode = static_cast<double>(rec.gain) / 268435456.0 * 3.3 / 4095.0;
      double code = static_cast<double>(static_cast<int32_t>(rec.offset));
      if (voltsPerCode > 0 && std::isfinite(v)) code += v / voltsPerCode;
      return static_cast<uint16_t>(std::lround(std::clamp(code, 0.0, 4095.0)));
    }
    r = std::clamp(r, 0, 3);
    CodeRecord rec = cfg.inputRecords[static_cast<size_t>(ch * 4 + r)];
    if (erased(rec)) rec = {0xFFFF, 0x8000, 0, 0xFFFF};
    const double full = kRangeFullScale[r];
    double code = rec.zero;
    if (std::isfinite(v)) {
      const double span = v >= 0 ? static_cast<double>(rec.positive) - rec.zero
                                 : static_cast<double>(rec.zero) - rec.negative;
      code += v / full * span;
    }
    return static_cast<uint16_t>(std::lround(std::clamp(code, 0.0, 65535.0)));
  }

  uint16_t rawAt(int ch, int64_t t) const {
    if (ch < 0 || ch >= lay.channels()) return 0;  // codes of channels the family lacks
    const int r = cfg.family == Family::Rix ? 0 : range[static_cast<size_t>(ch)];
    return codeFor(ch, r, voltage(ch, t));
  }

  uint8_t externalOf(int p) const {
    uint8_t ext = cfg.portInputs[static_cast<size_t>(p)];
    for (const Loopback& l : cfg.loopbacks) {
      if (l.to != p) continue;
      const uint8_t driven = oe[static_cast<size_t>(l.from)];
      ext = static_cast<uint8_t>((latch[static_cast<size_t>(l.from)] & driven) | (ext & ~driven));
    }
    return ext;
  }

  uint8_t pins(int p) const {
    if (p < 0 || p >= lay.ports) return 0;
    const size_t i = static_cast<size_t>(p);
    const uint8_t level = static_cast<uint8_t>((latch[i] & oe[i]) | (externalOf(p) & ~oe[i]));
    return static_cast<uint8_t>(level & lay.portWidth[i]);
  }

  uint32_t counterAt(int64_t t) const {
    if (!counterOn || t <= counterSince) return counterBase;
    const double events =
        std::floor(static_cast<double>(t - counterSince) * cfg.counterRateHz / 1e9);
    return counterBase + static_cast<uint32_t>(static_cast<uint64_t>(events));
  }

  // Folds the running count into the base before the counter state changes.
  void foldCounter(int64_t now) {
    counterBase = counterAt(now);
    counterSince = now;
  }

  uint16_t dacZero(int out) const {
    const CodeRecord& rec = cfg.outputRecords[static_cast<size_t>(out)];
    return erased(rec) ? 2047 : rec.zero;
  }

  void sample(const std::vector<uint8_t>& mask, int64_t t, uint8_t* out) const {
    for (size_t i = 0; i < mask.size(); ++i) {
      const uint8_t code = mask[i];
      uint16_t word = 0;
      if ((code & 0x80) == 0) {
        word = rawAt(code & 0x3F, t);
      } else if ((code & 0xC0) == 0x80) {
        word = pins(code & 0x3F);
      } else if (code == 0xC0 && lay.counter) {
        word = static_cast<uint16_t>(counterAt(t) >> 16);
      } else if (code == 0xC1 && lay.counter) {
        word = static_cast<uint16_t>(counterAt(t));
      } else if (code == 0xE0) {
        word = trigLevel ? 1 : 0;
      }
      put16(out + 2 * i, word);
    }
  }

  // Applies one output frame laid out by the output mask.
  void applyOutput(const uint8_t* frame, size_t bytes) {
    for (size_t i = 0; i < outMask.size() && 2 * i + 1 < bytes; ++i) {
      const uint8_t code = outMask[i];
      const uint16_t word = static_cast<uint16_t>(frame[2 * i] | frame[2 * i + 1] << 8);
      const int idx = code & 0x7F;
      if ((code & 0x80) == 0) {
        if (idx < lay.dacs) dac[static_cast<size_t>(idx)] = word & 0x0FFF;
      } else if (idx < lay.ports) {
        latch[static_cast<size_t>(idx)] = static_cast<uint8_t>(word);
      }
    }
    ++outApplied;
  }

  // One output frame per input frame while an acquisition runs (Vel).
  void consumeOutputFrame() {
    if (!lay.outputBuffer || outMask.empty()) return;
    const size_t bytes = 2 * outMask.size();
    if (output.size() >= bytes) {
      uint8_t frame[2 * 256];
      output.pop(frame, bytes);
      applyOutput(frame, bytes);
    } else if (outputUsed) {
      underrun = true;
    }
  }

  void finishIfCounted() {
    if (runCount != 0 && framesTaken >= runCount) acq = AcquisitionState::Finished;
  }

  void takeFrame(int64_t t) {
    consumeOutputFrame();
    if (frameBytes != 0) {
      if (input.space() >= frameBytes) {
        sample(runMask, t, frameScratch.data());
        input.push(frameScratch.data(), frameBytes);
        ++produced;
      } else {
        ++dropped;
        overflow = true;
      }
    }
    ++framesTaken;
    finishIfCounted();
  }

  // Produces every timer frame that fell due up to now.
  void advance(int64_t now) {
    if (acq != AcquisitionState::Running || runPeriod <= 0 || now <= startNs) return;
    const int64_t due = (now - startNs) / runPeriod;
    while (ticksDone < due && acq == AcquisitionState::Running) {
      if (gated && !trigLevel) {
        ticksDone = due;  // the gate stays closed until the level changes
        break;
      }
      const bool outputIdle =
          !lay.outputBuffer || outMask.empty() || output.size() < 2 * outMask.size();
      if (frameBytes != 0 && input.space() < frameBytes && outputIdle) {
        // Buffer full and nothing to play out: the remaining ticks only drop frames.
        int64_t n = due - ticksDone;
        if (runCount != 0) n = std::min<int64_t>(n, static_cast<int64_t>(runCount - framesTaken));
        ticksDone += n;
        dropped += static_cast<uint64_t>(n);
        framesTaken += static_cast<uint64_t>(n);
        overflow = overflow || n > 0;
        if (outputUsed && lay.outputBuffer && !outMask.empty() && n > 0) underrun = true;
        finishIfCounted();
        break;
      }
      ++ticksDone;
      takeFrame(startNs + ticksDone * runPeriod);
    }
  }

  void startAcquisition(uint32_t control, int64_t now) {
    if (control > 3 || (control == 3 && cfg.family != Family::Vel)) {
      fault("acquisition control value " + std::to_string(control) + " not supported");
      return;
    }
    if (control == 0) {
      if (acq != AcquisitionState::Idle) acq = AcquisitionState::Idle;
      return;
    }
    if (inMask.empty()) {
      fault("acquisition started without an input sequence");
      return;
    }
    if (periodReg == 0 || periodReg == -2 || periodReg < -2) {
      fault("acquisition started without a valid frame period");
      return;
    }
    runMask = inMask;
    frameBytes = 2 * runMask.size();
    frameScratch.assign(frameBytes, 0);
    runPeriod = periodReg;
    runCount = frameCountReg;
    input.clear();
    overflow = early = underrun = false;
    produced = dropped = framesTaken = 0;
    ticksDone = 0;
    havePulse = false;
    outputUsed = output.size() != 0;
    gated = control == 3;
    startNs = now;
    acq = control == 2 ? AcquisitionState::WaitingForTrigger : AcquisitionState::Running;
  }

  void risingEdge(int64_t now) {
    if (triggerIsOutput()) return;
    if (acq == AcquisitionState::WaitingForTrigger) {
      acq = AcquisitionState::Running;
      startNs = now;
      ticksDone = 0;
      if (runPeriod != -1) return;
      // Under the frame sample trigger the starting pulse also samples.
    } else if (acq != AcquisitionState::Running || runPeriod != -1) {
      return;
    }
    if (havePulse && now - lastPulseNs < cfg.minFramePeriodNs) {
      early = true;
      return;
    }
    havePulse = true;
    lastPulseNs = now;
    takeFrame(now);
  }

  void resetPeripherals(uint32_t mask, int64_t now) {
    if (mask & kResetPorts) {
      oe.fill(0);
      latch.fill(0);
    }
    if (mask & kResetDacs) {
      for (int i = 0; i < lay.dacs; ++i) dac[static_cast<size_t>(i)] = dacZero(i);
    }
    if (mask & kResetLed) ledOn = false;
    if (mask & kResetCounter) {
      counterOn = false;
      counterBase = 0;
      counterSince = now;
    }
    if (mask & kResetAcquisition) {
      acq = AcquisitionState::Idle;
      input.clear();
      output.clear();
      overflow = early = underrun = outputUsed = false;
      periodReg = 0;
      frameCountReg = 0;
    }
    if (mask & kResetTrigger) triggerCode = cfg.family == Family::Rix ? 0 : 2;
    if (mask & kResetWatchdog) watchdogReg = 0;
    if (mask & kResetFrontEnd) {
      range.fill(0);
      delay.fill(cfg.family == Family::Rix ? 0 : cfg.delayBlock[1]);
      inMask.clear();
      outMask.clear();
    }
  }

  uint32_t versionWord() const {
    uint32_t fw = cfg.firmware;
    if (cfg.faults.firmwareMajor2) fw = 0x0200 | (fw & 0xFF);
    return (fw << 8) | (cfg.faults.noDelayBlock ? 0x80000000u : 0u);
  }

  uint32_t calibrationBase() const {
    return cfg.family == Family::Rix ? kRixCalibrationAddress : cfg.calibrationAddress;
  }

  // Calibration flash: the block, then erased bytes to the end of the region.
  uint8_t calibrationByte(uint32_t offset) const {
    if (cfg.faults.erasedCalibration) return 0xFF;
    uint8_t rec[8];
    if (cfg.family == Family::Rix) {
      if (offset >= kSimpleCalibrationBytes) return 0xFF;
      const SimpleRecord& r = cfg.simpleRecords[offset / 8];
      put32(rec, r.offset);
      put32(rec + 4, r.gain);
      return rec[offset % 8];
    }
    const auto code = [&](const CodeRecord& r) {
      put16(rec, r.positive);
      put16(rec + 2, r.zero);
      put16(rec + 4, r.negative);
      put16(rec + 6, r.reserved);
      return rec[offset % 8];
    };
    const uint32_t outBytes = 8 * static_cast<uint32_t>(cfg.family == Family::Ka ? 2 : 1);
    if (offset < outBytes) {
      const size_t i = offset / 8;
      return i < cfg.outputRecords.size() ? code(cfg.outputRecords[i]) : 0xFF;
    }
    const uint32_t inBytes = static_cast<uint32_t>(cfg.inputRecords.size()) * 8;
    if (offset < outBytes + inBytes) return code(cfg.inputRecords[(offset - outBytes) / 8]);
    if (cfg.family == Family::Ka && offset >= 688 && offset < 696) {
      put32(rec, cfg.referenceCurrents[0]);
      put32(rec + 4, cfg.referenceCurrents[1]);
      return rec[offset - 688];
    }
    return 0xFF;
  }

  uint8_t serialByte(uint32_t offset) const {
    if (cfg.faults.serialUnconfigured) return 0xFF;
    const size_t n = cfg.serial.size();
    if (offset == 0) return static_cast<uint8_t>(n);
    if (offset == 1) return static_cast<uint8_t>(n >> 8);
    return offset - 2 < n ? static_cast<uint8_t>(cfg.serial[offset - 2]) : 0;
  }

  // Byte of a byte-addressed memory, or false when addr lies in none.
  bool memoryByte(uint32_t addr, uint8_t& out) const {
    const uint32_t cal = calibrationBase();
    if (addr - cal < kCalibrationRegionBytes) {
      out = calibrationByte(addr - cal);
      return true;
    }
    const uint32_t serialBytes = 2 + static_cast<uint32_t>(cfg.serial.size());
    if (addr - kSerial < std::max<uint32_t>(serialBytes, 2)) {
      out = serialByte(addr - kSerial);
      return true;
    }
    return false;
  }

  uint32_t inputStatus() const {
    if (cfg.faults.inputStatusOverride) return *cfg.faults.inputStatusOverride;
    uint32_t s = static_cast<uint32_t>(input.size());
    if (overflow || cfg.faults.forceOverflow) s |= kOverflowBit;
    if (early) s |= kEarlyTriggerBit;
    return s;
  }

  // Register value for a register read at addr, or false for a block address.
  bool readRegister(uint32_t addr, uint32_t& v) const {
    switch (addr) {
      case kVersion:
        v = versionWord();
        return true;
      case kCalibrationPointer:
        v = calibrationBase();
        return true;
      case kInputStatus:
        v = inputStatus();
        return true;
      case kInputCapacity:
        v = static_cast<uint32_t>(input.capacity());
        return true;
      case kOutputStatus:
        if (!lay.outputBuffer) return false;
        v = static_cast<uint32_t>(output.space()) | (underrun ? kOverflowBit : 0u);
        return true;
      case kFramePeriod:
        v = static_cast<uint32_t>(periodReg);
        return true;
      case kFrameCount:
        v = frameCountReg;
        return true;
      case kCounterValue:
        if (!lay.counter) return false;
        v = counterAt(clock->nowNs());
        return true;
      case kLed:
        if (!lay.led) return false;
        v = ledOn ? 1 : 0;
        return true;
      case kWatchdog:
        if (!lay.watchdog) return false;
        v = watchdogReg;
        return true;
      case kTriggerConfig:
        v = triggerCode;
        return true;
      default:
        return false;
    }
  }

  void handleRead(uint32_t addr, uint32_t count, bool increment, int64_t now) {
    if (count == 0) return;
    Reply reply;
    if (!spare.empty()) {
      reply.bytes = std::move(spare.back());
      spare.pop_back();
    }
    reply.bytes.assign(padded(count), 0);
    uint8_t* out = reply.bytes.data();
    uint32_t reg = 0;
    uint8_t byte = 0;
    if (readRegister(addr, reg)) {
      uint8_t word[4];
      put32(word, reg);
      std::memcpy(out, word, std::min<size_t>(4, count));
    } else if (memoryByte(addr, byte)) {
      for (uint32_t i = 0; i < count; ++i) {
        if (!memoryByte(increment ? addr + i : addr, byte)) byte = 0;
        out[i] = byte;
      }
    } else if (addr == kInputBuffer) {
      if (frameBytes != 0) {
        const size_t frames = std::min<size_t>(count / frameBytes, input.size() / frameBytes);
        input.pop(out, frames * frameBytes);
      }
    } else if (addr == kConversion) {
      if (!inMask.empty()) {
        convScratch.resize(2 * inMask.size());
        sample(inMask, now, convScratch.data());
        std::memcpy(out, convScratch.data(), std::min<size_t>(convScratch.size(), count));
      }
    } else if (addr >= kPortLevels && addr < kPortLevels + static_cast<uint32_t>(lay.ports)) {
      out[0] = pins(static_cast<int>(addr - kPortLevels));
    } else if (addr == kDelayBlock && cfg.family != Family::Rix && !cfg.faults.noDelayBlock) {
      uint8_t block[10];
      for (size_t i = 0; i < 5; ++i) put16(block + 2 * i, cfg.delayBlock[i]);
      std::memcpy(out, block, std::min<size_t>(10, count));
    } else if (addr == kTemperature && lay.temperature) {
      const double mag = std::min(std::fabs(cfg.temperatureC) * 128.0, 32767.0);
      uint16_t t = static_cast<uint16_t>(std::lround(mag));
      if (cfg.temperatureC < 0) t |= 0x8000;
      uint8_t word[2];
      put16(word, t);
      std::memcpy(out, word, std::min<size_t>(2, count));
    }
    // Any other address reads zeros.
    if (cfg.faults.garbage) {
      for (uint32_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(garbageRng());
    }
    if (replies.size() >= kMaxQueuedReplies) {
      replies.pop_front();
      fault("reply queue full: oldest reply dropped");
    }
    replies.push_back(std::move(reply));
  }

  void handleWrite(uint32_t addr, bool increment, const uint8_t* data, uint32_t count,
                   int64_t now) {
    log.push_back({addr, increment, std::vector<uint8_t>(data, data + count)});
    logBytes += count;
    while (log.size() > kMaxLoggedWrites || logBytes > kMaxLoggedBytes) {
      logBytes -= log.front().bytes.size();
      log.pop_front();
    }
    uint32_t v = 0;
    for (uint32_t i = 0; i < std::min<uint32_t>(4, count); ++i) v |= uint32_t{data[i]} << (8 * i);
    const auto u16 = [&](uint32_t at) {
      return static_cast<uint16_t>(data[at] | (at + 1 < count ? data[at + 1] << 8 : 0));
    };
    if (count == 0) return;
    const uint32_t portCount = static_cast<uint32_t>(lay.ports);
    if (addr == kPeripheralReset) {
      resetPeripherals(v, now);
    } else if (addr >= kOutputEnable && addr < kOutputEnable + portCount) {
      oe[addr - kOutputEnable] = data[0];
    } else if (addr >= kPortLevels && addr < kPortLevels + portCount) {
      latch[addr - kPortLevels] = data[0];
    } else if (addr == kInputSequence) {
      inMask.assign(data, data + std::min<uint32_t>(count, 256));
    } else if (addr == kOutputMask) {
      outMask.assign(data, data + std::min<uint32_t>(count, 256));
    } else if (addr == kOutputFrame) {
      applyOutput(data, count);
    } else if (addr == kChannelRange && lay.ranges && count >= 2) {
      if (data[0] < lay.channels() && data[1] < 4) {
        range[data[0]] = data[1];
      } else {
        fault("range setting for a channel or range that does not exist");
      }
    } else if (addr == kChannelDelay && lay.ranges && count >= 3) {
      if (data[0] < lay.channels()) {
        delay[data[0]] = data[1] | data[2] << 8;
      } else {
        fault("delay setting for a channel that does not exist");
      }
    } else if ((addr == kDac0 || addr == kDac1) && (addr - kDac0) / 4 < uint32_t(lay.dacs)) {
      dac[(addr - kDac0) / 4] = u16(0) & 0x0FFF;
    } else if (addr == kTriggerConfig) {
      triggerCode = v;
    } else if (addr == kFramePeriod) {
      setPeriod(static_cast<int32_t>(v));
    } else if (addr == kFrameCount) {
      frameCountReg = v;
    } else if (addr == kAcqControl) {
      startAcquisition(v, now);
    } else if (addr == kCounterControl && cfg.family == Family::Ka) {
      counterControl(v == 1, v == 0, v == 255, now);
    } else if (addr == kCounterValue && cfg.family == Family::Rix) {
      counterControl(v == 3 || v == 5 || v == 7, v == 0, v == 8, now);
    } else if (addr == kLed && lay.led) {
      ledOn = v != 0;
    } else if (addr == kWatchdog && lay.watchdog) {
      watchdogReg = v;
    } else if (addr == kOutputBuffer && lay.outputBuffer) {
      const size_t frame = outMask.empty() ? 0 : 2 * outMask.size();
      if (frame == 0) {
        fault("output buffer written without an output mask");
        return;
      }
      const size_t fit = std::min<size_t>(count / frame, output.space() / frame) * frame;
      if (fit < count) fault("output buffer write did not fit: excess dropped");
      output.push(data, fit);
      outputUsed = outputUsed || fit > 0;
    }
    // Anything else is recorded and ignored.
  }

  void counterControl(bool on, bool off, bool reset, int64_t now) {
    if (!on && !off && !reset) {
      fault("unknown counter control value");
      return;
    }
    foldCounter(now);
    if (reset) counterBase = 0;
    if (on) counterOn = true;
    if (off) counterOn = false;
  }

  void setPeriod(int32_t ns) {
    if (ns == -1) {
      periodReg = -1;
      return;
    }
    if (ns < cfg.minFramePeriodNs) {
      periodReg = -2;
      return;
    }
    const int64_t res = cfg.timerResolutionNs;
    int64_t p = (static_cast<int64_t>(ns) + res / 2) / res * res;
    if (p < cfg.minFramePeriodNs) p += res;
    periodReg = p > 0x7FFFFFFF ? -2 : p;
  }

  int bulkOut(const uint8_t* data, size_t len) {
    if (cfg.faults.unplugged) return kOutGone;
    if (cfg.faults.stall) return kOutOk;  // a hung device swallows requests
    const int64_t now = clock->nowNs();
    advance(now);
    if (data == nullptr || len < kHeaderBytes) {
      fault("request shorter than its header");
      return kOutOk;
    }
    const uint32_t control = le32(data);
    const uint32_t addr = le32(data + 4);
    const uint32_t count = control & kCountMask;
    const bool increment = (control & kIncrementBit) != 0;
    if (control & kWriteBit) {
      if (len != kHeaderBytes + padded(count)) {
        fault("write request length does not match its byte count");
        return kOutOk;
      }
      handleWrite(addr, increment, data + kHeaderBytes, count, now);
    } else {
      if (len != kHeaderBytes) {
        fault("read request longer than its header");
        return kOutOk;
      }
      if (count > kMaxReadBytes) {
        fault("read request for more bytes than the device answers");
        return kOutOk;
      }
      handleRead(addr, count, increment, now);
    }
    return kOutOk;
  }

  int bulkIn(uint8_t* data, size_t len) {
    if (cfg.faults.unplugged) return kInGone;
    if (cfg.faults.stall || replies.empty()) return kInPending;
    if (data == nullptr || len == 0) return 0;
    Reply& r = replies.front();
    size_t n = r.bytes.size() - r.pos;
    if (cfg.faults.shortIn) n = std::min(n, std::max<size_t>(1, r.bytes.size() / 2));
    n = std::min(n, len);
    std::memcpy(data, r.bytes.data() + r.pos, n);
    r.pos += n;
    if (r.pos == r.bytes.size()) {
      if (spare.size() < 8) spare.push_back(std::move(r.bytes));
      replies.pop_front();
    }
    return static_cast<int>(n);
  }

  void checkChannel(int ch) const {
    if (ch < 0 || ch >= lay.channels()) throw std::out_of_range("no such analog channel");
  }
  void checkPort(int p) const {
    if (p < 0 || p >= lay.ports) throw std::out_of_range("no such digital port");
  }
  void checkDac(int i) const {
    if (i < 0 || i >= lay.dacs) throw std::out_of_range("no such analog output");
  }
};

// ---- DeviceModel ---------------------------------------------------------------

namespace {
DeviceConfig validated(DeviceConfig c) {
  validateConfig(c);
  return c;
}
}  // namespace

DeviceModel::DeviceModel(DeviceConfig config, std::shared_ptr<Clock> clock)
    : impl_(std::make_unique<Impl>(validated(std::move(config)), std::move(clock))) {}

DeviceModel::~DeviceModel() = default;

#define QSIM_LOCKED std::lock_guard<std::mutex> lock(impl_->m)
#define QSIM_ADVANCED \
  QSIM_LOCKED;        \
  impl_->advance(impl_->clock->nowNs())

uint16_t DeviceModel::vendorId() const {
  QSIM_LOCKED;
  return impl_->cfg.vendorId;
}
uint16_t DeviceModel::productId() const {
  QSIM_LOCKED;
  return impl_->cfg.productId;
}
int DeviceModel::bulkOut(const uint8_t* data, size_t len) {
  QSIM_LOCKED;
  return impl_->bulkOut(data, len);
}
int DeviceModel::bulkIn(uint8_t* data, size_t len) {
  QSIM_LOCKED;
  return impl_->bulkIn(data, len);
}
bool DeviceModel::interfaceHeld() const {
  QSIM_LOCKED;
  return impl_->cfg.faults.interfaceHeld;
}
bool DeviceModel::unplugged() const {
  QSIM_LOCKED;
  return impl_->cfg.faults.unplugged;
}

Family DeviceModel::family() const { return impl_->cfg.family; }
DeviceConfig DeviceModel::config() const {
  QSIM_LOCKED;
  return impl_->cfg;
}
Faults DeviceModel::faults() const {
  QSIM_LOCKED;
  return impl_->cfg.faults;
}
void DeviceModel::setFaults(const Faults& faults) {
  QSIM_ADVANCED;
  // The host abandons whatever was pending when the device hangs; a reply
  // surviving the stall would answer the wrong request afterwards.
  if (faults.stall && !impl_->cfg.faults.stall) impl_->replies.clear();
  impl_->cfg.faults = faults;
}
void DeviceModel::busReset() {
  QSIM_LOCKED;
  impl_->replies.clear();
}

void DeviceModel::unplug() {
  QSIM_ADVANCED;
  impl_->cfg.faults.unplugged = true;
}
void DeviceModel::setSignal(int input, const Signal& signal) {
  QSIM_ADVANCED;
  if (input < 0 || input >= impl_->lay.singleEnded) throw std::out_of_range("no such input");
  impl_->cfg.signals[static_cast<size_t>(input)] = signal;
}
void DeviceModel::setPortInput(int port, uint8_t level) {
  QSIM_ADVANCED;
  impl_->checkPort(port);
  impl_->cfg.portInputs[static_cast<size_t>(port)] = level;
}
void DeviceModel::setTemperature(double celsius) {
  QSIM_LOCKED;
  impl_->cfg.temperatureC = celsius;
}
void DeviceModel::setCounterRate(double hz) {
  QSIM_ADVANCED;
  if (!std::isfinite(hz) || hz < 0) throw std::invalid_argument("counter rate must be >= 0");
  impl_->foldCounter(impl_->clock->nowNs());
  impl_->cfg.counterRateHz = hz;
}

void DeviceModel::setTriggerLevel(bool high) {
  QSIM_ADVANCED;
  const bool rising = high && !impl_->trigLevel;
  impl_->trigLevel = high;
  if (rising) impl_->risingEdge(impl_->clock->nowNs());
}
void DeviceModel::pulseTrigger() {
  QSIM_ADVANCED;
  const bool was = impl_->trigLevel;
  impl_->trigLevel = true;
  if (!was) impl_->risingEdge(impl_->clock->nowNs());
  impl_->trigLevel = was;
}

int64_t DeviceModel::nowNs() const { return impl_->clock->nowNs(); }
double DeviceModel::inputVoltage(int channel, int64_t tNs) const {
  QSIM_LOCKED;
  impl_->checkChannel(channel);
  return impl_->voltage(channel, tNs);
}
uint16_t DeviceModel::rawCode(int channel, int64_t tNs) const {
  QSIM_LOCKED;
  impl_->checkChannel(channel);
  return impl_->rawAt(channel, tNs);
}
uint16_t DeviceModel::rawCodeForVoltage(int channel, int range, double volts) const {
  QSIM_LOCKED;
  impl_->checkChannel(channel);
  if (range < 0 || range > 3) throw std::out_of_range("no such range");
  return impl_->codeFor(channel, range, volts);
}
int DeviceModel::channelRange(int channel) const {
  QSIM_LOCKED;
  impl_->checkChannel(channel);
  return impl_->range[static_cast<size_t>(channel)];
}
int DeviceModel::channelDelay(int channel) const {
  QSIM_LOCKED;
  impl_->checkChannel(channel);
  return impl_->delay[static_cast<size_t>(channel)];
}
uint16_t DeviceModel::dacCode(int output) const {
  QSIM_ADVANCED;
  impl_->checkDac(output);
  return impl_->dac[static_cast<size_t>(output)];
}
double DeviceModel::dacVoltage(int output) const {
  QSIM_ADVANCED;
  impl_->checkDac(output);
  return impl_->dacVolts(output);
}
uint8_t DeviceModel::portOutputEnable(int port) const {
  QSIM_LOCKED;
  impl_->checkPort(port);
  return impl_->oe[static_cast<size_t>(port)];
}
uint8_t DeviceModel::portLatch(int port) const {
  QSIM_ADVANCED;
  impl_->checkPort(port);
  return impl_->latch[static_cast<size_t>(port)];
}
uint8_t DeviceModel::portPins(int port) const {
  QSIM_ADVANCED;
  impl_->checkPort(port);
  return impl_->pins(port);
}
uint32_t DeviceModel::counterValue() const {
  QSIM_LOCKED;
  return impl_->counterAt(impl_->clock->nowNs());
}
bool DeviceModel::counterRunning() const {
  QSIM_LOCKED;
  return impl_->counterOn;
}
uint32_t DeviceModel::triggerConfigCode() const {
  QSIM_LOCKED;
  return impl_->triggerCode;
}
bool DeviceModel::triggerLevel() const {
  QSIM_LOCKED;
  return impl_->trigLevel;
}
bool DeviceModel::led() const {
  QSIM_LOCKED;
  return impl_->ledOn;
}
uint32_t DeviceModel::watchdog() const {
  QSIM_LOCKED;
  return impl_->watchdogReg;
}
std::vector<uint8_t> DeviceModel::inputMask() const {
  QSIM_LOCKED;
  return impl_->inMask;
}
std::vector<uint8_t> DeviceModel::outputMask() const {
  QSIM_LOCKED;
  return impl_->outMask;
}
AcquisitionState DeviceModel::acquisitionState() const {
  QSIM_ADVANCED;
  return impl_->acq;
}
int64_t DeviceModel::framePeriodNs() const {
  QSIM_LOCKED;
  return impl_->periodReg;
}
uint64_t DeviceModel::framesProduced() const {
  QSIM_ADVANCED;
  return impl_->produced;
}
uint64_t DeviceModel::framesDropped() const {
  QSIM_ADVANCED;
  return impl_->dropped;
}
uint32_t DeviceModel::inputBufferedBytes() const {
  QSIM_ADVANCED;
  return static_cast<uint32_t>(impl_->input.size());
}
uint32_t DeviceModel::outputBufferedBytes() const {
  QSIM_ADVANCED;
  return static_cast<uint32_t>(impl_->output.size());
}
uint64_t DeviceModel::outputFramesApplied() const {
  QSIM_ADVANCED;
  return impl_->outApplied;
}
std::vector<WriteRecord> DeviceModel::writeLog() const {
  QSIM_LOCKED;
  return {impl_->log.begin(), impl_->log.end()};
}
void DeviceModel::clearWriteLog() {
  QSIM_LOCKED;
  impl_->log.clear();
  impl_->logBytes = 0;
}
uint64_t DeviceModel::malformedRequests() const {
  QSIM_LOCKED;
  return impl_->malformed;
}
std::string DeviceModel::lastProtocolError() const {
  QSIM_LOCKED;
  return impl_->lastError;
}

#undef QSIM_ADVANCED
#undef QSIM_LOCKED

}  // namespace qsim
