// What a DeviceModel holds and does, for tests and the control channel: the
// voltages and codes on its inputs, its outputs, ports, counter, trigger
// line, acquisition and buffers, and the requests it received.
#include <string>
#include <vector>

#include "model_impl.h"
#include "qsim/model.h"

namespace qsim {

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
  return impl_->trigger.code();
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
size_t DeviceModel::queuedReplies() const {
  QSIM_LOCKED;
  return impl_->requests.size();
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
