// Inside a timeline: the lock its devices share and the wire graph. A device
// takes part through TimelineMember (implemented by DeviceModel::Impl).
//
// Order of work: a device brought up to time t first brings the source of its
// wire up to t. The source, walking its own timeline, reports every change of
// what its line drives at the instant it happens; the timeline then brings
// each receiver up to that instant (its own work only) and changes its input
// there. So edges cross a wire in time order, with no buffer between the
// devices, and a receiver that nobody touches costs nothing until an edge
// reaches it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qsim/clock.h"
#include "qsim/model.h"
#include "qsim/timeline.h"

namespace qsim {

// What a trigger line drives onto its wire: driven only while it is an output
// of a device that is plugged in.
struct LineDrive {
  TriggerDrive drive = TriggerDrive::None;
  bool driven = false;
  bool level = false;
};

// Many toggles of an every-frame output at once (a source that drops frames
// into a full buffer): the first at firstNs, the one before the last at
// prevLastNs, the last at lastNs, none closer than minGapNs to the next; the
// line ends at `level`.
struct Toggles {
  uint64_t count = 0;
  int64_t firstNs = 0;
  int64_t prevLastNs = 0;
  int64_t lastNs = 0;
  int64_t minGapNs = 0;
  bool level = false;
};

// Told by a trigger line whenever what it drives changes.
class LineListener {
 public:
  virtual ~LineListener() = default;
  virtual void lineDriven(int64_t tNs, bool driven, bool level) = 0;
  // All of the toggles at once, or none (false: they come one by one).
  virtual bool lineToggled(const Toggles& toggles) = 0;
};

// A device's side of its timeline. Called with the timeline's lock held.
class TimelineMember {
 public:
  virtual ~TimelineMember() = default;
  // Its own work up to t (frames, edges of its own drivers), not its source's.
  virtual void advanceOwn(int64_t tNs) = 0;
  // A wire changes what drives its trigger input at t (after advanceOwn(t)).
  virtual void wiredInput(int64_t tNs, bool driven, bool level) = 0;
  virtual LineDrive lineDrive() const = 0;
  // Whether the toggles of its wire's source can be taken in one step
  // (after advanceOwn(firstNs)): they only drop frames or change nothing.
  virtual bool takesToggles(const Toggles& toggles) const = 0;
  virtual void takeToggles(const Toggles& toggles) = 0;
  // Who hears what its line drives (null: nobody; then it reports nothing).
  virtual void setLineListener(LineListener* listener) = 0;
};

struct Timeline::Impl {
  explicit Impl(std::shared_ptr<Clock> c);

  struct End {
    std::string name;
    const DeviceModel* device = nullptr;
    TimelineMember* member = nullptr;
  };
  // One wire, and the listener on its source's line.
  struct Wire : LineListener {
    End from;
    std::vector<End> to;
    void lineDriven(int64_t tNs, bool driven, bool level) override;
    bool lineToggled(const Toggles& toggles) override;
  };

  // Brings the source of the wire that reaches `member` up to t.
  void advanceSourceOf(const TimelineMember* member, int64_t tNs);
  // A device leaves the timeline (its model is destroyed).
  void forget(const TimelineMember* member, int64_t tNs);

  // Under the lock. Disconnects a wire at t: its receivers fall back to
  // their own drivers.
  void cut(Wire& wire, int64_t tNs);
  Wire* wireFrom(const TimelineMember* member);
  Wire* wireTo(const TimelineMember* member);

  std::shared_ptr<Clock> clock;
  int64_t originNs;
  std::mutex m;  // the lock of every device on the timeline
  std::vector<std::unique_ptr<Wire>> wires;
};

}  // namespace qsim
