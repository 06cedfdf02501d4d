// The trigger line: its configuration code (register 0x4C), the external
// driver of its input (level changes scheduled on the device's timeline by
// tests and the control channel, plus an optional self-running pulse source),
// a wire from another device's output that overrides that driver while the
// other device drives it, and the level the device drives when the line is
// an output, reported to a listener (the wire to other devices) as it
// changes. The acquisition engine walks the line's level changes in time
// order (nextChange, moveTo) and decides what an edge does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

#include "qsim/config.h"
#include "qsim/model.h"
#include "timeline_impl.h"

namespace qsim {

class TriggerLine {
 public:
  TriggerLine(const DeviceConfig& cfg, int64_t createdNs);

  // ---- configuration ---------------------------------------------------------
  uint32_t code() const { return code_; }
  void setCode(uint32_t code, int64_t tNs);
  bool isOutput() const;
  TriggerEvents events() const;  // input configurations
  TriggerDrive drive() const;    // output configurations
  // An edge of the input (+1 rising, -1 falling) is a trigger event.
  bool isEvent(int edge) const;
  // The input is at the level that lets Vel's gated mode take frames.
  bool gateOpen() const;
  // Configuration after a peripheral reset: Ka/Vel code 2, Rix 0 (disabled).
  void reset(int64_t tNs);

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

  // ---- a wire from another device --------------------------------------------
  // From t on the input carries `level` while `driven`, else the external
  // driver's level again. Returns the edge of the input level (+1, -1, 0).
  int setWired(int64_t tNs, bool driven, bool level);
  bool wired() const { return wired_; }

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
  void setRunning(bool running, int64_t tNs);
  // n frames taken, the last at t. With a listener on an every-frame output,
  // frames must come one by one (reportsEveryFrame), so that each toggle
  // reaches the wire at its own instant.
  void framesTaken(uint64_t n, int64_t tNs);
  // n frames taken at once by a timer whose ticks are `toggles` apart: with
  // a listener on an every-frame output, only when the listener takes them
  // all at once (false: nothing changed, take them one by one).
  // (The level after them is the line's to say: `toggles.level` is ignored.)
  bool framesTakenAtOnce(Toggles toggles);
  void resetDrive(int64_t tNs);
  bool reportsEveryFrame() const {
    return listener_ != nullptr && drive() == TriggerDrive::EveryFrame;
  }
  // A device that is not plugged in drives nothing.
  void setPowered(bool powered, int64_t tNs);

  // ---- the wire this line drives -----------------------------------------------
  LineDrive lineDrive() const;
  // The listener hears every change of lineDrive() from now on.
  void setListener(LineListener* listener);

 private:
  bool sourceHigh(int64_t tNs) const;
  bool nextSourceEdge(int64_t afterNs, int64_t& tNs) const;
  // The input level at time t: the wire's while it drives, else the driver's.
  bool inputAt(int64_t tNs) const { return wired_ ? wiredLevel_ : manual_ || sourceHigh(tNs); }
  // Tells the listener when what the line drives changed (at time t).
  void report(int64_t tNs);

  Family family_;
  uint32_t code_ = 0;
  std::deque<std::pair<int64_t, bool>> queue_;  // scheduled (time, level), in time order
  bool manual_ = false;                         // external driver level now
  std::optional<TriggerSource> source_;
  int64_t sourceStartNs_ = 0;
  int64_t cursorNs_;    // the time the line has been brought to
  bool input_ = false;  // input level at the cursor
  bool wired_ = false;  // a wire drives the input
  bool wiredLevel_ = false;
  bool running_ = false;
  bool toggle_ = false;
  bool powered_ = true;
  LineListener* listener_ = nullptr;
  LineDrive reported_;  // what the listener last heard
};

}  // namespace qsim
