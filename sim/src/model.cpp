// DeviceModel: one device assembled from its parts (requests, register map,
// memories, front end, peripherals, trigger line, acquisition engine) under
// one mutex, and the public operations that tests and transports call.
#include "qsim/model.h"

#include <cmath>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "acquisition.h"
#include "layout.h"
#include "memories.h"
#include "peripherals.h"
#include "register_map.h"
#include "requests.h"
#include "signals.h"
#include "trigger.h"

namespace qsim {

namespace {
// Pulses one call may schedule; twice as many level changes may wait.
constexpr int kMaxTriggerPulses = 100000;
}  // namespace

struct DeviceModel::Impl {
  Impl(DeviceConfig c, std::shared_ptr<Clock> clk)
      : cfg(std::move(c)),
        lay(layoutOf(cfg.family)),
        clock(clk ? std::move(clk) : std::make_shared<SteadyClock>()),
        epoch(clock->nowNs()),
        requests(diag),
        front(cfg, lay, epoch),
        io(cfg, lay),
        trigger(cfg, epoch),
        acq(cfg, lay, diag, front, io, trigger),
        memories(cfg),
        regs({cfg, lay, *clock, diag, front, io, trigger, acq, memories}) {
    front.wireOutputs(io);
    regs.resetPeripherals(0xFFFFFFFF, epoch);
  }

  mutable std::mutex m;
  DeviceConfig cfg;
  const Layout& lay;
  std::shared_ptr<Clock> clock;
  int64_t epoch;

  Diagnostics diag;
  Requests requests;
  AnalogFrontEnd front;
  Peripherals io;
  TriggerLine trigger;
  Acquisition acq;
  Memories memories;
  RegisterMap regs;

  // Brings the device up to the clock's now: every frame that fell due.
  void advance(int64_t now) { acq.advance(now); }

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
      requests.endReply(r.count, cfg.faults.garbage);
    }
    return kOutOk;
  }

  int bulkIn(uint8_t* data, size_t len) {
    if (cfg.faults.unplugged) return kInGone;
    if (cfg.faults.stall || requests.empty()) return kInPending;
    if (data == nullptr || len == 0) return 0;
    return static_cast<int>(requests.take(data, len, cfg.faults.shortIn));
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
std::string DeviceModel::serialNumber() const {
  QSIM_LOCKED;
  return impl_->cfg.serial;
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
  if (faults.stall && !impl_->cfg.faults.stall) impl_->requests.clear();
  impl_->cfg.faults = faults;
}
void DeviceModel::busReset() {
  QSIM_LOCKED;
  impl_->requests.clear();
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
  impl_->io.foldCounter(impl_->clock->nowNs());
  impl_->cfg.counterRateHz = hz;
}

void DeviceModel::setTriggerLevel(bool high) {
  QSIM_LOCKED;
  const int64_t now = impl_->clock->nowNs();
  impl_->trigger.schedule(now, high);
  impl_->advance(now);
}
void DeviceModel::pulseTrigger() {
  QSIM_LOCKED;
  const int64_t now = impl_->clock->nowNs();
  impl_->trigger.schedulePulses(now, 1, 0);
  impl_->advance(now);
}
void DeviceModel::pulseTriggers(int count, int64_t periodNs) {
  QSIM_LOCKED;
  if (count < 1 || count > kMaxTriggerPulses) {
    throw std::invalid_argument("pulse count must be 1.." + std::to_string(kMaxTriggerPulses));
  }
  if (periodNs == 0) periodNs = 2 * impl_->cfg.minFramePeriodNs;
  if (periodNs < 2) throw std::invalid_argument("pulse period must be at least 2 ns");
  if (impl_->trigger.pending() + 2 * static_cast<size_t>(count) > 2 * kMaxTriggerPulses) {
    throw std::invalid_argument("too many trigger pulses pending");
  }
  const int64_t now = impl_->clock->nowNs();
  impl_->advance(now);
  impl_->trigger.schedulePulses(now, count, periodNs);
  impl_->advance(now);
}
void DeviceModel::setTriggerSource(const std::optional<TriggerSource>& source) {
  if (source) validateTriggerSource(*source);
  QSIM_LOCKED;
  const int64_t now = impl_->clock->nowNs();
  impl_->advance(now);
  impl_->trigger.setSource(source, now);
  impl_->trigger.settle(now);
  impl_->cfg.triggerSource = source;
}
TriggerState DeviceModel::triggerState() const {
  QSIM_LOCKED;
  const int64_t now = impl_->clock->nowNs();
  impl_->advance(now);
  const TriggerLine& t = impl_->trigger;
  TriggerState s;
  s.code = t.code;
  s.output = t.isOutput();
  s.level = t.levelAt(now);
  s.events = t.events();
  s.drive = t.drive();
  s.heldHigh = t.heldHigh();
  s.pendingChanges = t.pending();
  s.source = t.source();
  return s;
}

int64_t DeviceModel::nowNs() const { return impl_->clock->nowNs(); }
double DeviceModel::inputVoltage(int channel, int64_t tNs) const {
  QSIM_LOCKED;
  impl_->checkChannel(channel);
  return impl_->front.voltage(channel, tNs);
}
uint16_t DeviceModel::rawCode(int channel, int64_t tNs) const {
  QSIM_LOCKED;
  impl_->checkChannel(channel);
  return impl_->front.rawAt(channel, tNs);
}
uint16_t DeviceModel::rawCodeForVoltage(int channel, int range, double volts) const {
  QSIM_LOCKED;
  impl_->checkChannel(channel);
  if (range < 0 || range > 3) throw std::out_of_range("no such range");
  return impl_->front.codeFor(channel, range, volts);
}
int DeviceModel::channelRange(int channel) const {
  QSIM_LOCKED;
  impl_->checkChannel(channel);
  return impl_->front.range[static_cast<size_t>(channel)];
}
int DeviceModel::channelDelay(int channel) const {
  QSIM_LOCKED;
  impl_->checkChannel(channel);
  return impl_->front.delay[static_cast<size_t>(channel)];
}
uint16_t DeviceModel::dacCode(int output) const {
  QSIM_ADVANCED;
  impl_->checkDac(output);
  return impl_->io.dac[static_cast<size_t>(output)];
}
double DeviceModel::dacVoltage(int output) const {
  QSIM_ADVANCED;
  impl_->checkDac(output);
  return impl_->io.dacVolts(output);
}
uint8_t DeviceModel::portOutputEnable(int port) const {
  QSIM_LOCKED;
  impl_->checkPort(port);
  return impl_->io.oe[static_cast<size_t>(port)];
}
uint8_t DeviceModel::portLatch(int port) const {
  QSIM_ADVANCED;
  impl_->checkPort(port);
  return impl_->io.latch[static_cast<size_t>(port)];
}
uint8_t DeviceModel::portPins(int port) const {
  QSIM_ADVANCED;
  impl_->checkPort(port);
  return impl_->io.pins(port);
}
uint32_t DeviceModel::counterValue() const {
  QSIM_LOCKED;
  return impl_->io.counterAt(impl_->clock->nowNs());
}
bool DeviceModel::counterRunning() const {
  QSIM_LOCKED;
  return impl_->io.counterOn;
}
uint32_t DeviceModel::triggerConfigCode() const {
  QSIM_LOCKED;
  return impl_->trigger.code;
}
bool DeviceModel::triggerLevel() const {
  QSIM_ADVANCED;
  return impl_->trigger.levelAt(impl_->clock->nowNs());
}
bool DeviceModel::led() const {
  QSIM_LOCKED;
  return impl_->io.ledOn;
}
uint32_t DeviceModel::watchdog() const {
  QSIM_LOCKED;
  return impl_->io.watchdogReg;
}
std::vector<uint8_t> DeviceModel::inputMask() const {
  QSIM_LOCKED;
  return impl_->acq.inMask;
}
std::vector<uint8_t> DeviceModel::outputMask() const {
  QSIM_LOCKED;
  return impl_->acq.outMask;
}
AcquisitionState DeviceModel::acquisitionState() const {
  QSIM_ADVANCED;
  return impl_->acq.state;
}
int64_t DeviceModel::framePeriodNs() const {
  QSIM_LOCKED;
  return impl_->acq.periodReg;
}
uint64_t DeviceModel::framesProduced() const {
  QSIM_ADVANCED;
  return impl_->acq.produced;
}
uint64_t DeviceModel::framesDropped() const {
  QSIM_ADVANCED;
  return impl_->acq.dropped;
}
uint32_t DeviceModel::inputBufferedBytes() const {
  QSIM_ADVANCED;
  return static_cast<uint32_t>(impl_->acq.input.size());
}
uint32_t DeviceModel::outputBufferedBytes() const {
  QSIM_ADVANCED;
  return static_cast<uint32_t>(impl_->acq.output.size());
}
uint64_t DeviceModel::outputFramesApplied() const {
  QSIM_ADVANCED;
  return impl_->io.outApplied;
}
std::vector<WriteRecord> DeviceModel::writeLog() const {
  QSIM_LOCKED;
  return {impl_->diag.log.begin(), impl_->diag.log.end()};
}
void DeviceModel::clearWriteLog() {
  QSIM_LOCKED;
  impl_->diag.clearLog();
}
uint64_t DeviceModel::malformedRequests() const {
  QSIM_LOCKED;
  return impl_->diag.malformed;
}
std::string DeviceModel::lastProtocolError() const {
  QSIM_LOCKED;
  return impl_->diag.lastError;
}

#undef QSIM_ADVANCED
#undef QSIM_LOCKED

}  // namespace qsim
