// The acquisition engine: the frame masks, period, count and control
// registers, the input buffer with its overflow and early-trigger flags, the
// Vel output buffer that is played out one frame per input frame, and what
// edges of the trigger line do. Frames are produced lazily: whoever touches
// the model first calls advance(now), which walks the timer ticks and the
// trigger line's level changes in time order up to that instant. The timer
// runs on the device's own crystal: with a timebase error of clockPpm, tick j
// after the start comes at start + j period / (1 + clockPpm 1e-6) of the
// timeline, rounded up to the nanosecond.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "layout.h"
#include "peripherals.h"
#include "qsim/config.h"
#include "qsim/model.h"
#include "requests.h"
#include "signals.h"
#include "trigger.h"

namespace qsim {

// Fixed-capacity byte FIFO; storage is allocated once.
class ByteRing {
 public:
  explicit ByteRing(size_t capacity) : buf_(capacity) {}
  size_t size() const { return size_; }
  size_t capacity() const { return buf_.size(); }
  size_t space() const { return buf_.size() - size_; }
  void clear() { head_ = size_ = 0; }
  void push(const uint8_t* data, size_t n);
  void pop(uint8_t* out, size_t n);

 private:
  std::vector<uint8_t> buf_;
  size_t head_ = 0;
  size_t size_ = 0;
};

class Acquisition {
 public:
  Acquisition(const DeviceConfig& cfg, const Layout& lay, Diagnostics& diag,
              const AnalogFrontEnd& front, Peripherals& io, TriggerLine& trigger);

  // Takes every frame that fell due up to now: timer ticks, and trigger
  // events of the line's edges in between.
  void advance(int64_t nowNs);
  // An edge of the trigger input at t that came from outside the line's own
  // walk (a wire), after advance(t).
  void inputEdge(int edge, int64_t tNs);
  // Many toggles of the wire on the input at once (after advance(firstNs)):
  // possible when they change nothing but the level, or their events only
  // drop frames into a full buffer. Absorbed, the line stands at lastNs
  // with the toggles' level.
  bool canAbsorbToggles(const Toggles& toggles) const;
  void absorbToggles(const Toggles& toggles);
  // A write to the control register 0x58: 0 stop, 1 start at once, 2 start on
  // the trigger, 3 (Vel) gated by the trigger line.
  void control(uint32_t value, int64_t nowNs);
  // A write to the period register 0x50 (-1: frame sample trigger).
  void setPeriod(int32_t ns);

  // One frame of `mask` sampled at time t (2 bytes per code).
  void sample(const std::vector<uint8_t>& mask, int64_t tNs, uint8_t* out) const;
  // Read of the input buffer (0x00): the oldest whole frames that fit count.
  void popInput(uint8_t* out, uint32_t count);
  // Read of 0x20: one frame of the input sequence sampled now.
  void convert(int64_t nowNs, uint8_t* out, uint32_t count);
  // Write of the Vel output buffer (0x04): whole output frames that fit.
  void queueOutput(const uint8_t* data, uint32_t count);

  uint32_t inputStatus() const;
  uint32_t outputStatus() const;  // Vel: free bytes, bit 31 underrun

  // Peripheral reset: the acquisition bit stops and clears it, the front-end
  // bit clears both masks.
  void reset(uint32_t mask, int64_t nowNs);

  std::vector<uint8_t> inMask;
  std::vector<uint8_t> outMask;
  AcquisitionState state = AcquisitionState::Idle;
  int64_t periodReg = 0;
  uint32_t frameCountReg = 0;
  uint64_t produced = 0;
  uint64_t dropped = 0;
  ByteRing input;
  ByteRing output;

 private:
  // Timer ticks up to t (the trigger line constant until then).
  void runTimer(int64_t tNs);
  // Edges matter now: waiting for the trigger, sampling on it, or gated.
  bool wantsEdges() const;
  // A trigger event at time t: starts a waiting acquisition or samples one
  // frame under the frame sample trigger (early when too close to the last).
  void triggerEvent(int64_t tNs);
  void setState(AcquisitionState s, int64_t tNs);
  // The trigger events among toggles of the input: how many, the last, the
  // shortest gap, and whether they do anything to the acquisition.
  struct ToggleEvents {
    uint64_t count = 0;
    int64_t lastNs = 0;
    int64_t minGapNs = 0;
    bool matter = false;
  };
  ToggleEvents eventsOf(const Toggles& toggles) const;
  // Timeline instant of timer tick j (1, 2, ...) after the start, and the
  // number of ticks due by t: the device's crystal, off by clockPpm.
  int64_t tickNs(int64_t j) const;
  int64_t ticksDue(int64_t tNs) const;
  // Under the frame sample trigger with a full input buffer, the events of
  // the self-running source up to now only drop frames: counted in one step,
  // so that long unattended runs stay cheap. False when that does not apply.
  bool dropSourceEvents(int64_t nowNs);
  void consumeOutputFrame();
  void finishIfCounted(int64_t tNs);
  void takeFrame(int64_t tNs);

  const DeviceConfig& cfg_;
  const Layout& lay_;
  Diagnostics& diag_;
  const AnalogFrontEnd& front_;
  Peripherals& io_;
  TriggerLine& trigger_;
  int64_t clockPpb_;  // the crystal's error in parts per 10^9

  // Latched at start.
  bool gated_ = false;  // Vel mode 3
  std::vector<uint8_t> runMask_;
  size_t frameBytes_ = 0;
  int64_t runPeriod_ = 0;
  uint32_t runCount_ = 0;
  int64_t startNs_ = 0;
  // Progress of the running acquisition.
  int64_t ticksDone_ = 0;
  uint64_t framesTaken_ = 0;
  bool havePulse_ = false;
  int64_t lastPulseNs_ = 0;
  bool overflow_ = false;
  bool early_ = false;
  bool outputUsed_ = false;
  bool underrun_ = false;
  std::vector<uint8_t> frameScratch_;
  std::vector<uint8_t> convScratch_;
};

}  // namespace qsim
