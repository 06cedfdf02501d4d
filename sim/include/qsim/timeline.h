// The one timeline of a set of emulated devices, as on a lab bench: the clock
// they share, the instant that is t = 0 of every input signal (so one signal
// given to several devices is the same voltage at the same instant), and the
// wires between their trigger lines.
//
// A wire runs from one device's trigger line to the lines of others. While
// the source's line is an output (out-a: high while it runs; out-b: toggles
// at every frame it takes) and the source is plugged in, it drives every line
// wired to it, with no delay: a receiver sees the edge at the same instant of
// the timeline, and what the edge does depends on the receiver's own trigger
// configuration (sim/README.md). Otherwise a receiver's line carries the
// level of its own external driver (trigger commands, its triggerSource).
//
// Every device has its own timebase error (DeviceConfig::clockPpm): it decides
// when a device samples by its own timer. A device paced by the edges of a
// wire samples on those edges, so it follows its source's clock.
//
// All devices of a timeline share one lock; everything here is thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qsim/clock.h"
#include "qsim/model.h"

namespace qsim {

// One end of a wire: a device on this timeline and the name that messages
// and listings give it (its port on a bus).
struct WireEnd {
  std::string name;
  DeviceModel* device = nullptr;
};

// A wire as it stands now.
struct WireState {
  std::string from;
  std::vector<std::string> to;
  TriggerDrive drive = TriggerDrive::None;  // what the source's line is configured to drive
  bool driven = false;                      // the source drives the wire now
  bool level = false;                       // the level it drives (false when not driven)
};

class Timeline {
 public:
  // A null clock means the real steady clock. The timeline starts (t = 0 of
  // the signals) at the clock's reading now.
  explicit Timeline(std::shared_ptr<Clock> clock = nullptr);
  ~Timeline();
  Timeline(const Timeline&) = delete;
  Timeline& operator=(const Timeline&) = delete;

  const std::shared_ptr<Clock>& clock() const;
  int64_t originNs() const;
  int64_t nowNs() const;

  // Wires the trigger line of `from` to the lines of `to`, replacing a wire
  // `from` had; takes effect now. Throws std::invalid_argument (naming the
  // devices) for a device of another timeline, an empty list, a device wired
  // to itself or twice, a line that would get two sources (a receiver of
  // another wire), and a chain (the source receives from another wire, or a
  // receiver is the source of one): wire every receiver to the first source
  // instead. Nothing changes when it throws.
  void wire(const WireEnd& from, const std::vector<WireEnd>& to);
  // Takes a device off every wire (the one it drives, or the one it receives
  // on); returns false when it was on none. Its receivers fall to their own
  // drivers' levels now.
  bool unwire(const DeviceModel& device);
  void unwireAll();
  // The wires in the order they were made.
  std::vector<WireState> wires() const;
  // Name of the source whose wire reaches `device` ("" when none).
  std::string sourceOf(const DeviceModel& device) const;

  struct Impl;

 private:
  friend class DeviceModel;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qsim
