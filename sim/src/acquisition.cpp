// The acquisition engine: starting and stopping, the lazy frame clock, what
// trigger edges do (start, frame sample trigger, gate) and the input and
// output buffers.
#include "acquisition.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "registers.h"

namespace qsim {

void ByteRing::push(const uint8_t* data, size_t n) {
  for (size_t i = 0; i < n; ++i) buf_[(head_ + size_ + i) % buf_.size()] = data[i];
  size_ += n;
}

void ByteRing::pop(uint8_t* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = buf_[(head_ + i) % buf_.size()];
  head_ = (head_ + n) % buf_.size();
  size_ -= n;
}

Acquisition::Acquisition(const DeviceConfig& cfg, const Layout& lay, Diagnostics& diag,
                         const AnalogFrontEnd& front, Peripherals& io, TriggerLine& trigger)
    : input(cfg.inputCapacity),
      output(cfg.outputCapacity),
      cfg_(cfg),
      lay_(lay),
      diag_(diag),
      front_(front),
      io_(io),
      trigger_(trigger),
      clockPpb_(std::llround(cfg.clockPpm * 1000.0)) {}

namespace {
// Products of a period, a tick count and 10^9 outgrow 64 bits.
__extension__ typedef __int128 Wide;
constexpr Wide kBillion = 1000000000;
}  // namespace

int64_t Acquisition::tickNs(int64_t j) const {
  // The first instant at which the device's own time has reached j periods.
  const Wide num = static_cast<Wide>(j) * runPeriod_ * kBillion;
  const Wide den = kBillion + clockPpb_;
  return startNs_ + static_cast<int64_t>((num + den - 1) / den);
}

int64_t Acquisition::ticksDue(int64_t t) const {
  if (t <= startNs_) return 0;
  const Wide num = static_cast<Wide>(t - startNs_) * (kBillion + clockPpb_);
  return static_cast<int64_t>(num / (static_cast<Wide>(runPeriod_) * kBillion));
}

void Acquisition::sample(const std::vector<uint8_t>& mask, int64_t t, uint8_t* out) const {
  for (size_t i = 0; i < mask.size(); ++i) {
    const uint8_t code = mask[i];
    uint16_t word = 0;
    if ((code & 0x80) == 0) {
      word = front_.rawAt(code & 0x3F, t);
    } else if ((code & 0xC0) == 0x80) {
      word = io_.pins(code & 0x3F);
    } else if (code == 0xC0 && lay_.counter) {
      word = static_cast<uint16_t>(io_.counterAt(t) >> 16);
    } else if (code == 0xC1 && lay_.counter) {
      word = static_cast<uint16_t>(io_.counterAt(t));
    } else if (code == 0xE0) {
      word = trigger_.levelAt(t) ? 1 : 0;
    }
    put16(out + 2 * i, word);
  }
}

// One output frame per input frame while an acquisition runs (Vel).
void Acquisition::consumeOutputFrame() {
  if (!lay_.outputBuffer || outMask.empty()) return;
  const size_t bytes = 2 * outMask.size();
  if (output.size() >= bytes) {
    uint8_t frame[2 * 256];
    output.pop(frame, bytes);
    io_.applyOutputFrame(outMask, frame, bytes);
  } else if (outputUsed_) {
    underrun_ = true;
  }
}

void Acquisition::setState(AcquisitionState s, int64_t t) {
  state = s;
  trigger_.setRunning(s == AcquisitionState::Running, t);
}

void Acquisition::finishIfCounted(int64_t t) {
  if (runCount_ != 0 && framesTaken_ >= runCount_) setState(AcquisitionState::Finished, t);
}

void Acquisition::takeFrame(int64_t t) {
  consumeOutputFrame();
  if (frameBytes_ != 0) {
    if (input.space() >= frameBytes_) {
      sample(runMask_, t, frameScratch_.data());
      input.push(frameScratch_.data(), frameBytes_);
      ++produced;
    } else {
      ++dropped;
      overflow_ = true;
    }
  }
  ++framesTaken_;
  trigger_.framesTaken(1, t);
  finishIfCounted(t);
}

bool Acquisition::wantsEdges() const {
  if (state == AcquisitionState::WaitingForTrigger) return true;
  return state == AcquisitionState::Running && (runPeriod_ == -1 || gated_);
}

bool Acquisition::dropSourceEvents(int64_t now) {
  const bool outputIdle =
      !lay_.outputBuffer || outMask.empty() || output.size() < 2 * outMask.size();
  if (state != AcquisitionState::Running || runPeriod_ != -1 || frameBytes_ == 0 ||
      input.space() >= frameBytes_ || !outputIdle || trigger_.isOutput()) {
    return false;
  }
  TriggerLine::SourceEvents ev;
  if (!trigger_.sourceEventsUntil(now, ev)) return false;
  // Events too close together set the early bit one by one: not here.
  if (ev.count > 1 && ev.minGapNs < cfg_.minFramePeriodNs) return false;
  if (ev.count > 0 && havePulse_ && ev.firstNs - lastPulseNs_ < cfg_.minFramePeriodNs) {
    return false;
  }
  uint64_t n = ev.count;
  if (runCount_ != 0) n = std::min<uint64_t>(n, runCount_ - framesTaken_);
  if (n > 0) {
    dropped += n;
    framesTaken_ += n;
    trigger_.framesTaken(n, ev.lastNs);
    overflow_ = true;
    if (outputUsed_ && lay_.outputBuffer && !outMask.empty()) underrun_ = true;
    havePulse_ = true;
    // The last event taken (all of them, or the count ran out first).
    lastPulseNs_ = n == ev.count ? ev.lastNs : lastPulseNs_;
    finishIfCounted(lastPulseNs_);
  }
  trigger_.settle(now);
  return true;
}

void Acquisition::advance(int64_t now) {
  if (dropSourceEvents(now)) return;
  int64_t t = 0;
  while (trigger_.nextChange(now, wantsEdges(), t)) {
    if (dropSourceEvents(now)) return;
    runTimer(t);
    inputEdge(trigger_.moveTo(t), t);
  }
  runTimer(now);
  trigger_.settle(now);
}

Acquisition::ToggleEvents Acquisition::eventsOf(const Toggles& toggles) const {
  const bool from = trigger_.inputLevel();  // before the first toggle
  const uint64_t n = toggles.count;
  ToggleEvents e;
  e.minGapNs = 2 * toggles.minGapNs;
  switch (trigger_.isOutput() ? TriggerEvents::None : trigger_.events()) {
    case TriggerEvents::Both:
      e.count = n;
      e.minGapNs = toggles.minGapNs;
      e.lastNs = toggles.lastNs;
      break;
    case TriggerEvents::Rising:
      e.count = from ? n / 2 : (n + 1) / 2;
      e.lastNs = toggles.level ? toggles.lastNs : toggles.prevLastNs;
      break;
    case TriggerEvents::Falling:
      e.count = from ? (n + 1) / 2 : n / 2;
      e.lastNs = toggles.level ? toggles.prevLastNs : toggles.lastNs;
      break;
    case TriggerEvents::None:
      break;
  }
  // Events do something only to an acquisition waiting for one or sampling on them.
  const bool running = state == AcquisitionState::Running;
  e.matter = e.count > 0 &&
             (state == AcquisitionState::WaitingForTrigger || (running && runPeriod_ == -1));
  return e;
}

bool Acquisition::canAbsorbToggles(const Toggles& toggles) const {
  const bool running = state == AcquisitionState::Running;
  // The level matters to a gate and to timer frames that read it.
  const bool readsLevel =
      running && (gated_ || (runPeriod_ > 0 &&
                             std::find(runMask_.begin(), runMask_.end(), 0xE0) != runMask_.end()));
  if (readsLevel) return false;
  const ToggleEvents e = eventsOf(toggles);
  if (!e.matter) return true;
  // Events that only drop frames into a full buffer, none of them early.
  const bool outputIdle =
      !lay_.outputBuffer || outMask.empty() || output.size() < 2 * outMask.size();
  return running && frameBytes_ != 0 && input.space() < frameBytes_ && outputIdle &&
         (e.count < 2 || e.minGapNs >= cfg_.minFramePeriodNs) &&
         (!havePulse_ || toggles.firstNs - lastPulseNs_ >= cfg_.minFramePeriodNs);
}

void Acquisition::absorbToggles(const Toggles& toggles) {
  const ToggleEvents e = eventsOf(toggles);
  if (e.matter) {
    uint64_t k = e.count;
    if (runCount_ != 0) k = std::min<uint64_t>(k, runCount_ - framesTaken_);
    dropped += k;
    framesTaken_ += k;
    trigger_.framesTaken(k, e.lastNs);
    overflow_ = overflow_ || k > 0;
    if (outputUsed_ && lay_.outputBuffer && !outMask.empty() && k > 0) underrun_ = true;
    havePulse_ = true;
    if (k == e.count) lastPulseNs_ = e.lastNs;
    finishIfCounted(e.lastNs);
  }
  trigger_.setWired(toggles.lastNs, true, toggles.level);
}

void Acquisition::inputEdge(int edge, int64_t t) {
  if (edge != 0 && !trigger_.isOutput() && trigger_.isEvent(edge)) triggerEvent(t);
}

void Acquisition::runTimer(int64_t now) {
  if (state != AcquisitionState::Running || runPeriod_ <= 0 || now <= startNs_) return;
  const int64_t due = ticksDue(now);
  while (ticksDone_ < due && state == AcquisitionState::Running) {
    if (gated_ && !trigger_.gateOpen()) {
      ticksDone_ = due;  // the gate stays closed until the level changes
      break;
    }
    const bool outputIdle =
        !lay_.outputBuffer || outMask.empty() || output.size() < 2 * outMask.size();
    if (frameBytes_ != 0 && input.space() < frameBytes_ && outputIdle) {
      // Buffer full and nothing to play out: the remaining ticks only drop
      // frames, in one step unless a wire that hears every frame cannot
      // take them so.
      int64_t n = due - ticksDone_;
      if (runCount_ != 0) n = std::min<int64_t>(n, static_cast<int64_t>(runCount_ - framesTaken_));
      Toggles toggles;
      toggles.count = static_cast<uint64_t>(n);
      toggles.firstNs = tickNs(ticksDone_ + 1);
      toggles.prevLastNs = tickNs(ticksDone_ + std::max<int64_t>(n - 1, 1));
      toggles.lastNs = tickNs(ticksDone_ + n);
      toggles.minGapNs =
          static_cast<int64_t>(static_cast<Wide>(runPeriod_) * kBillion / (kBillion + clockPpb_));
      if (n > 0 && !trigger_.framesTakenAtOnce(toggles)) {
        ++ticksDone_;
        takeFrame(tickNs(ticksDone_));
        continue;
      }
      ticksDone_ += n;
      dropped += static_cast<uint64_t>(n);
      framesTaken_ += static_cast<uint64_t>(n);
      const int64_t last = toggles.lastNs;
      overflow_ = overflow_ || n > 0;
      if (outputUsed_ && lay_.outputBuffer && !outMask.empty() && n > 0) underrun_ = true;
      finishIfCounted(last);
      break;
    }
    ++ticksDone_;
    takeFrame(tickNs(ticksDone_));
  }
}

void Acquisition::control(uint32_t value, int64_t now) {
  if (value > 3 || (value == 3 && cfg_.family != Family::Vel)) {
    diag_.fault("acquisition control value " + std::to_string(value) + " not supported");
    return;
  }
  if (value == 0) {
    setState(AcquisitionState::Idle, now);
    return;
  }
  if (inMask.empty()) {
    diag_.fault("acquisition started without an input sequence");
    return;
  }
  if (periodReg == 0 || periodReg == -2 || periodReg < -2) {
    diag_.fault("acquisition started without a valid frame period");
    return;
  }
  runMask_ = inMask;
  frameBytes_ = 2 * runMask_.size();
  frameScratch_.assign(frameBytes_, 0);
  runPeriod_ = periodReg;
  runCount_ = frameCountReg;
  if (!cfg_.faults.keepInputBuffer) input.clear();
  overflow_ = early_ = underrun_ = false;
  produced = dropped = framesTaken_ = 0;
  ticksDone_ = 0;
  havePulse_ = false;
  outputUsed_ = output.size() != 0;
  gated_ = value == 3;
  startNs_ = now;
  trigger_.resetDrive(now);
  setState(value == 2 ? AcquisitionState::WaitingForTrigger : AcquisitionState::Running, now);
}

void Acquisition::setPeriod(int32_t ns) {
  if (ns == -1) {
    periodReg = -1;
    return;
  }
  if (ns < cfg_.minFramePeriodNs) {
    periodReg = -2;
    return;
  }
  const int64_t res = cfg_.timerResolutionNs;
  int64_t p = (static_cast<int64_t>(ns) + res / 2) / res * res;
  if (p < cfg_.minFramePeriodNs) p += res;
  periodReg = p > 0x7FFFFFFF ? -2 : p;
}

void Acquisition::triggerEvent(int64_t now) {
  if (state == AcquisitionState::WaitingForTrigger) {
    setState(AcquisitionState::Running, now);
    startNs_ = now;
    ticksDone_ = 0;
    if (runPeriod_ != -1) return;
    // Under the frame sample trigger the starting pulse also samples.
  } else if (state != AcquisitionState::Running || runPeriod_ != -1) {
    return;
  }
  if (havePulse_ && now - lastPulseNs_ < cfg_.minFramePeriodNs) {
    early_ = true;
    return;
  }
  havePulse_ = true;
  lastPulseNs_ = now;
  takeFrame(now);
}

void Acquisition::popInput(uint8_t* out, uint32_t count) {
  if (frameBytes_ == 0) return;
  const size_t frames = std::min<size_t>(count / frameBytes_, input.size() / frameBytes_);
  input.pop(out, frames * frameBytes_);
}

void Acquisition::convert(int64_t now, uint8_t* out, uint32_t count) {
  if (inMask.empty()) return;
  convScratch_.resize(2 * inMask.size());
  sample(inMask, now, convScratch_.data());
  std::memcpy(out, convScratch_.data(), std::min<size_t>(convScratch_.size(), count));
}

void Acquisition::queueOutput(const uint8_t* data, uint32_t count) {
  const size_t frame = outMask.empty() ? 0 : 2 * outMask.size();
  if (frame == 0) {
    diag_.fault("output buffer written without an output mask");
    return;
  }
  const size_t fit = std::min<size_t>(count / frame, output.space() / frame) * frame;
  if (fit < count) diag_.fault("output buffer write did not fit: excess dropped");
  output.push(data, fit);
  outputUsed_ = outputUsed_ || fit > 0;
}

uint32_t Acquisition::inputStatus() const {
  if (cfg_.faults.inputStatusOverride) return *cfg_.faults.inputStatusOverride;
  uint32_t s = static_cast<uint32_t>(input.size());
  if (overflow_ || cfg_.faults.forceOverflow) s |= kOverflowBit;
  if (early_) s |= kEarlyTriggerBit;
  return s;
}

uint32_t Acquisition::outputStatus() const {
  return static_cast<uint32_t>(output.space()) | (underrun_ ? kOverflowBit : 0u);
}

void Acquisition::reset(uint32_t mask, int64_t now) {
  if (mask & kResetAcquisition) {
    setState(AcquisitionState::Idle, now);
    trigger_.resetDrive(now);
    input.clear();
    output.clear();
    overflow_ = early_ = underrun_ = outputUsed_ = false;
    periodReg = 0;
    frameCountReg = 0;
  }
  if (mask & kResetFrontEnd) {
    inMask.clear();
    outMask.clear();
  }
}

}  // namespace qsim
