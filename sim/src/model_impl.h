// Inside a DeviceModel: its parts (requests, register map, memories, front
// end, peripherals, trigger line, acquisition engine) under its timeline's
// lock, and how it takes part in the timeline. model.cpp holds construction,
// the USB side and what tests and the control channel change; model_state.cpp
// what they read.
#pragma once

#include <memory>
#include <mutex>
#include <stdexcept>

#include "acquisition.h"
#include "layout.h"
#include "memories.h"
#include "peripherals.h"
#include "qsim/model.h"
#include "qsim/timeline.h"
#include "register_map.h"
#include "registers.h"
#include "requests.h"
#include "signals.h"
#include "timeline_impl.h"
#include "trigger.h"

namespace qsim {

struct DeviceModel::Impl : TimelineMember {
  Impl(DeviceConfig c, std::shared_ptr<Timeline> line)
      : timeline(std::move(line)),
        tl(*timeline->impl_),
        m(tl.m),
        cfg(std::move(c)),
        lay(layoutOf(cfg.family)),
        clock(tl.clock),
        created(clock->nowNs()),
        requests(diag),
        front(cfg, lay, tl.originNs),
        io(cfg, lay),
        trigger(cfg, created),
        acq(cfg, lay, diag, front, io, trigger),
        memories(cfg),
        regs({cfg, lay, *clock, diag, front, io, trigger, acq, memories}) {
    front.wireOutputs(io);
    regs.resetPeripherals(0xFFFFFFFF, created);
    trigger.setPowered(!cfg.faults.unplugged, created);
    if (cfg.faults.staleReply) queueStaleReply();
  }

  std::shared_ptr<Timeline> timeline;  // first, so that its lock outlives the parts
  Timeline::Impl& tl;
  std::mutex& m;  // the timeline's: all its devices advance together
  DeviceConfig cfg;
  const Layout& lay;
  std::shared_ptr<Clock> clock;
  int64_t created;
  bool attached = true;  // plugged in (a bus says otherwise)

  Diagnostics diag;
  Requests requests;
  AnalogFrontEnd front;
  Peripherals io;
  TriggerLine trigger;
  Acquisition acq;
  Memories memories;
  RegisterMap regs;

  // Brings the device up to the clock's now: the source of the wire it
  // receives on first, then every frame that fell due.
  void advance(int64_t now) {
    tl.advanceSourceOf(this, now);
    acq.advance(now);
  }

  // ---- TimelineMember ----------------------------------------------------------
  void advanceOwn(int64_t t) override { acq.advance(t); }
  void wiredInput(int64_t t, bool driven, bool level) override {
    acq.inputEdge(trigger.setWired(t, driven, level), t);
  }
  LineDrive lineDrive() const override { return trigger.lineDrive(); }
  bool takesToggles(const Toggles& toggles) const override { return acq.canAbsorbToggles(toggles); }
  void takeToggles(const Toggles& toggles) override { acq.absorbToggles(toggles); }
  void setLineListener(LineListener* listener) override { trigger.setListener(listener); }
  // A device unplugged (from its bus, or by the fault) drives no wire.
  void updatePower(int64_t now) { trigger.setPowered(attached && !cfg.faults.unplugged, now); }

  int bulkOut(const uint8_t* data, size_t len) {
    if (cfg.faults.unplugged) return kOutGone;
    if (cfg.faults.stall) return kOutOk;  // a hung device swallows requests
    const int64_t now = clock->nowNs();
    advance(now);
    Request r;
    if (!requests.parse(data, len, r)) return kOutOk;
    if (r.write) {
      regs.write(r.address, r.increment, r.payload, r.count, now);
    } else if (r.count != 0) {
      uint8_t* out = requests.beginReply(r.count);
      regs.read(r.address, r.count, r.increment, now, out);
      requests.endReply(r.count, cfg.faults.garbage, cfg.faults.lateReply);
    }
    return kOutOk;
  }

  int bulkIn(uint8_t* data, size_t len) {
    if (cfg.faults.unplugged) return kInGone;
    if (cfg.faults.stall || requests.empty() || requests.withhold()) return kInPending;
    if (data == nullptr || len == 0) return 0;
    return static_cast<int>(requests.take(data, len, cfg.faults.shortIn));
  }

  // The reply to a read of the input capacity register that no host waits
  // for any more.
  void queueStaleReply() {
    uint8_t* out = requests.beginReply(4);
    regs.read(kInputCapacity, 4, true, clock->nowNs(), out);
    requests.endReply(4, false, false);
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

// The lock of the model's timeline for one public operation; ADVANCED also
// brings the device (and the source of its wire) up to the clock's now.
#define QSIM_LOCKED std::lock_guard<std::mutex> lock(impl_->m)
#define QSIM_ADVANCED \
  QSIM_LOCKED;        \
  impl_->advance(impl_->clock->nowNs())

}  // namespace qsim
