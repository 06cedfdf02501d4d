// DeviceModel: one device assembled from its parts (model_impl.h), its place
// on a timeline, the USB side that transports call, and what tests and the
// control channel change: faults, signals, port inputs, the trigger driver.
#include "qsim/model.h"

#include <cmath>
#include <string>
#include <utility>

#include "model_impl.h"

namespace qsim {

namespace {
// Pulses one call may schedule; twice as many level changes may wait.
constexpr int kMaxTriggerPulses = 100000;
}  // namespace

// ---- DeviceModel ---------------------------------------------------------------

namespace {
DeviceConfig validated(DeviceConfig c) {
  validateConfig(c);
  return c;
}
}  // namespace

DeviceModel::DeviceModel(DeviceConfig config, std::shared_ptr<Clock> clock)
    : DeviceModel(std::move(config), std::make_shared<Timeline>(std::move(clock))) {}

DeviceModel::DeviceModel(DeviceConfig config, std::shared_ptr<Timeline> timeline)
    : impl_(std::make_unique<Impl>(validated(std::move(config)),
                                   timeline ? std::move(timeline) : std::make_shared<Timeline>())) {
}

DeviceModel::~DeviceModel() {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->tl.forget(impl_.get(), impl_->clock->nowNs());
}

std::shared_ptr<Timeline> DeviceModel::timeline() const { return impl_->timeline; }

bool DeviceModel::onTimeline(const Timeline& timeline) const {
  return impl_->timeline.get() == &timeline;
}

TimelineMember& DeviceModel::timelineMember() const { return *impl_; }

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
  const bool staleNow = faults.staleReply && !impl_->cfg.faults.staleReply;
  impl_->cfg.faults = faults;
  if (staleNow) impl_->queueStaleReply();
  impl_->updatePower(impl_->clock->nowNs());
}
void DeviceModel::busReset() {
  QSIM_LOCKED;
  impl_->requests.clear();
}
void DeviceModel::setAttached(bool attached) {
  QSIM_ADVANCED;
  impl_->attached = attached;
  impl_->updatePower(impl_->clock->nowNs());
}

void DeviceModel::unplug() {
  QSIM_ADVANCED;
  impl_->cfg.faults.unplugged = true;
  impl_->updatePower(impl_->clock->nowNs());
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
  s.code = t.code();
  s.wired = t.wired();
  s.output = t.isOutput();
  s.level = t.levelAt(now);
  s.events = t.events();
  s.drive = t.drive();
  s.heldHigh = t.heldHigh();
  s.pendingChanges = t.pending();
  s.source = t.source();
  return s;
}

#undef QSIM_ADVANCED
#undef QSIM_LOCKED

}  // namespace qsim
