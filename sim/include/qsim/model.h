// Register-level model of one Ka, Vel or Rix device: the request parser, the
// register map, the peripherals and the acquisition engine behind one USB
// function. Every public operation is thread-safe (one mutex per model).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qsim/clock.h"
#include "qsim/config.h"
#include "qsim/usb_function.h"

namespace qsim {

// One write request as the device received it (after unpadding).
struct WriteRecord {
  uint32_t address = 0;
  bool increment = true;
  std::vector<uint8_t> bytes;
};

enum class AcquisitionState { Idle, WaitingForTrigger, Running, Finished };

// What the trigger line's configuration (register 0x4C) means on the model
// (sim/README.md has the table): an input reacts to rising edges, falling
// edges, both or none; an output is driven high while an acquisition runs or
// toggles at every frame the device takes.
enum class TriggerEvents { None, Rising, Falling, Both };
enum class TriggerDrive { None, WhileRunning, EveryFrame };

struct TriggerState {
  uint32_t code = 0;                           // configuration register 0x4C
  bool output = false;                         // the device drives the line
  bool level = false;                          // level on the line now
  TriggerEvents events = TriggerEvents::None;  // input: which edges are trigger events
  TriggerDrive drive = TriggerDrive::None;     // output: what the device drives
  bool heldHigh = false;      // the external driver's level (after the pending changes)
  size_t pendingChanges = 0;  // scheduled level changes the clock has not reached
  std::optional<TriggerSource> source;
  bool wired = false;  // a wire from another device's output drives the input now
};

class Timeline;
class TimelineMember;

class DeviceModel : public UsbFunction {
 public:
  // A device on a timeline of its own (qsim/timeline.h) that starts now: its
  // signals' t = 0 is its creation. A null clock means the real steady clock.
  // Throws std::invalid_argument for a config that does not fit its family.
  explicit DeviceModel(DeviceConfig config, std::shared_ptr<Clock> clock = nullptr);
  // A device on a shared timeline (null: one of its own on the steady clock),
  // which its signals, trigger wires and lock come from.
  DeviceModel(DeviceConfig config, std::shared_ptr<Timeline> timeline);
  ~DeviceModel() override;
  DeviceModel(const DeviceModel&) = delete;
  DeviceModel& operator=(const DeviceModel&) = delete;

  // ---- UsbFunction -----------------------------------------------------------
  uint16_t vendorId() const override;
  uint16_t productId() const override;
  std::string serialNumber() const override;  // the serial of the config
  int bulkOut(const uint8_t* data, size_t len) override;
  int bulkIn(uint8_t* data, size_t len) override;
  bool interfaceHeld() const override;
  bool unplugged() const override;
  void busReset() override;
  // Unplugged from its bus, the device drives no trigger wire.
  void setAttached(bool attached) override;
  std::shared_ptr<Timeline> timeline() const;

  // ---- configuration and faults ---------------------------------------------
  Family family() const;
  DeviceConfig config() const;  // with the faults in force now
  Faults faults() const;
  void setFaults(const Faults& faults);
  void unplug();                                    // shorthand: faults.unplugged = true
  void setSignal(int input, const Signal& signal);  // single-ended input index
  void setPortInput(int port, uint8_t level);       // external pin levels
  void setTemperature(double celsius);
  void setCounterRate(double hz);

  // ---- trigger line ----------------------------------------------------------
  // The external driver of the trigger input. Level changes take effect in
  // order on the device's timeline: at once, or after the pulses still
  // pending. What an edge does depends on the line's configuration.
  void setTriggerLevel(bool high);
  // A zero-width pulse now (high and back): with the default configuration
  // one trigger event, which starts an acquisition waiting for the trigger or
  // samples one frame under the frame sample trigger.
  void pulseTrigger();
  // `count` pulses on the device's timeline: rising edges periodNs apart
  // (0: twice the minimum frame period, so that each can take a frame), each
  // high for half the period; the first at once or after the pending ones.
  // A line held high gets no edges. Throws std::invalid_argument for count
  // outside 1..100000 or a period below 2 ns.
  void pulseTriggers(int count, int64_t periodNs = 0);
  // Switches the self-running source on (from now) or off.
  void setTriggerSource(const std::optional<TriggerSource>& source);
  TriggerState triggerState() const;

  // ---- physical truth for tests ---------------------------------------------
  int64_t nowNs() const;
  // Voltage at analog channel index c (differential channels included) at time t.
  double inputVoltage(int channel, int64_t tNs) const;
  // Raw converter code the device produces for channel c at time t in the range
  // set for that channel (Ka/Vel) or its single range (Rix).
  uint16_t rawCode(int channel, int64_t tNs) const;
  // Raw code for a given voltage on channel c in range r (r ignored on Rix).
  uint16_t rawCodeForVoltage(int channel, int range, double volts) const;
  int channelRange(int channel) const;
  int channelDelay(int channel) const;
  uint16_t dacCode(int output) const;
  double dacVoltage(int output) const;  // through the device's output record
  uint8_t portOutputEnable(int port) const;
  uint8_t portLatch(int port) const;
  uint8_t portPins(int port) const;  // (latch & oe) | (external & ~oe)
  uint32_t counterValue() const;
  bool counterRunning() const;
  uint32_t triggerConfigCode() const;  // last value written to 0x4C
  bool triggerLevel() const;
  bool led() const;
  uint32_t watchdog() const;
  std::vector<uint8_t> inputMask() const;
  std::vector<uint8_t> outputMask() const;
  AcquisitionState acquisitionState() const;
  int64_t framePeriodNs() const;    // in effect: >0 timer, -1 frame sample trigger, -2 rejected
  uint64_t framesProduced() const;  // stored in the input buffer since the last start
  uint64_t framesDropped() const;   // lost to a full input buffer since the last start
  uint32_t inputBufferedBytes() const;
  uint32_t outputBufferedBytes() const;       // Vel
  uint64_t outputFramesApplied() const;       // frames taken from 0x24 and the output buffer
  std::vector<WriteRecord> writeLog() const;  // the most recent writes, oldest first
  void clearWriteLog();
  // Replies waiting for IN transfers (whoever asked for them).
  size_t queuedReplies() const;
  uint64_t malformedRequests() const;
  std::string lastProtocolError() const;

 private:
  friend class Timeline;
  bool onTimeline(const Timeline& timeline) const;
  TimelineMember& timelineMember() const;

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qsim
