// The trigger line: its configuration code (register 0x4C), the external
// driver of its input (level changes scheduled on the device's timeline by
// tests and the control channel, plus an optional self-running pulse source)
// and the level the device drives when the line is an output. The
// acquisition engine walks the line's level changes in time order
// (nextChange, moveTo) and decides what an edge does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

#include "qsim/config.h"
#include "qsim/model.h"

namespace qsim {

class TriggerLine {
 public:
  TriggerLine(const DeviceConfig& cfg, int64_t epochNs);

  // ---- configuration ---------------------------------------------------------
  uint32_t code = 0;
  bool isOutput() const;
  TriggerEvents events() const;  // input configurations
  TriggerDrive drive() const;    // output configurations
  // An edge of the input (+1 rising, -1 falling) is a trigger event.
  bool isEvent(int edge) const;
  // The input is at the level that lets Vel's gated mode take frames.
  bool gateOpen() const;
  // Configuration after a peripheral reset: Ka/Vel code 2, Rix 0 (disabled).
  void reset();

  // ---- external driver -------------------------------------------------------
  // Level `high` from max(t, the last scheduled change) on.
  void schedule(int64_t tNs, bool high);
  // n high-going pulses, rising edges periodNs apart, from max(t, the last
  // scheduled change + half a period) on; a zero period gives zero-width pulses.
  void schedulePulses(int64_t tNs, int n, int64_t periodNs);
  void setSource(const std::optional<TriggerSource>& source, int64_t startNs);
  const std::optional<TriggerSource>& source() const { return source_; }
  size_t pending() const { return queue_.size(); }
  bool heldHigh() const { return queue_.empty() ? manual_ : queue_.back().second; }

  // ---- walking the timeline --------------------------------------------------
  // Earliest time <= until at which the input may change: the next scheduled
  // change, and with withSource also the next edge of the source.
  bool nextChange(int64_t untilNs, bool withSource, int64_t& tNs) const;
  // Goes to time t (from nextChange): applies the next scheduled change due
  // by then and returns the edge of the input level (+1, -1 or 0).
  int moveTo(int64_t tNs);
  // Brings the stored input level to time t without reporting edges (after
  // a stretch in which source edges did not matter).
  void settle(int64_t tNs);

  // The trigger events of the self-running source alone in (cursor, until]:
  // how many, the first and the last, and the shortest gap between two of
  // them. False when anything else could change the line by then (a
  // scheduled change, the driver holding it high) or there is no source.
  struct SourceEvents {
    uint64_t count = 0;
    int64_t firstNs = 0;
    int64_t lastNs = 0;
    int64_t minGapNs = 0;
  };
  bool sourceEventsUntil(int64_t untilNs, SourceEvents& out) const;

  // ---- levels ----------------------------------------------------------------
  // Level on the line at time t within the current stretch: the driven level
  // of an output, else the input level.
  bool levelAt(int64_t tNs) const;
  bool inputLevel() const { return input_; }

  // ---- what an output drives (told by the acquisition engine) ----------------
  void setRunning(bool running) { running_ = running; }
  void framesTaken(uint64_t n) { toggle_ = toggle_ != ((n & 1) != 0); }
  void resetDrive() { running_ = toggle_ = false; }

 private:
  bool sourceHigh(int64_t tNs) const;
  bool nextSourceEdge(int64_t afterNs, int64_t& tNs) const;

  Family family_;
  std::deque<std::pair<int64_t, bool>> queue_;  // scheduled (time, level), in time order
  bool manual_ = false;                         // external driver level now
  std::optional<TriggerSource> source_;
  int64_t sourceStartNs_ = 0;
  int64_t cursorNs_;    // the time the line has been brought to
  bool input_ = false;  // input level at the cursor
  bool running_ = false;
  bool toggle_ = false;
};

}  // namespace qsim
