// Peripherals of the families: ranges and analog inputs, digital ports,
// analog outputs and the device extras, trigger and counter.
#include <qelomsr/qelomsr.h>

#include <algorithm>
#include <stdexcept>

#include "comm-api/src/api/protocol.h"
#include "devices/family_registers.h"
#include "devices/qelofamily.h"

namespace ids = qelomsr_ids;
using namespace familyregs;

namespace {

// Largest inter-channel delay the device's 16-bit register holds.
constexpr int kMaxInterChannelDelay = 0xFFFF;

// Trigger register codes of the five configurations 0x7A501900..04.
constexpr unsigned kTriggerCodes[5] = {9, 1, 2, 4, 6};

}  // namespace

// ---- ranges and analog inputs ------------------------------------------------------

std::pair<float, float> QeloFamily::rangeLimits(int /*ioIndex*/, int rangeIndex) const {
  const float fullScale = static_cast<float>(kRangeFullScale[rangeIndex]);
  return {-fullScale, fullScale};
}

int QeloFamily::enumerateRanges(int peripheralId, int index) {
  const int io = checkAnalogIoPortIsValid(peripheralId);
  // Analog outputs have the first range only.
  const unsigned count = io >= kOutputIoBase ? 1u : static_cast<unsigned>(table.rangeCount);
  if (static_cast<unsigned>(index) < count) return ids::kRange + index;
  return ids::kRangeNone;
}

std::pair<float, float> QeloFamily::getRangeMinMax(int peripheralId, int rangeId) {
  const int io = checkAnalogIoPortIsValid(peripheralId);
  const unsigned r = offsetIn(rangeId, ids::kRange);
  if (r >= static_cast<unsigned>(table.rangeCount)) throw std::out_of_range("Invalid range.");
  return rangeLimits(io, static_cast<int>(r));
}

int QeloFamily::setAnalogInputParameters(int inputId, int rangeId, int interChannelDelay) {
  checkNoDataAcquisition();
  const int c = checkAnalogInPortIsValid(inputId);
  const unsigned r = offsetIn(rangeId, ids::kRange);
  if (r >= static_cast<unsigned>(table.rangeCount)) throw std::out_of_range("Invalid range id");
  int d = interChannelDelay == -1 ? state.getDefaultInterChannelDelay(static_cast<int>(r))
                                  : interChannelDelay;
  if (d < state.minInterChannelDelay) {
    throw std::invalid_argument("Interchannel delay below minimum value.");
  }
  // The device holds 16 bits: a longer delay becomes the longest one, and
  // what is returned and cached is what the device gets.
  d = std::min(d, kMaxInterChannelDelay);
  state.analogRange[static_cast<size_t>(c)] = static_cast<DeviceState::AnalogRange>(r);
  state.interChannelDelay[static_cast<size_t>(c)] = d;
  const uint8_t range[2] = {static_cast<uint8_t>(c), static_cast<uint8_t>(r)};
  writeBytes(kRegChannelRange, range, 2);
  const uint8_t delay[3] = {static_cast<uint8_t>(c), static_cast<uint8_t>(d & 0xFF),
                            static_cast<uint8_t>((d >> 8) & 0xFF)};
  writeBytes(kRegChannelDelay, delay, 3);
  return d;
}

int QeloFamily::getAnalogInputRange(int inputId) {
  const int c = checkAnalogInPortIsValid(inputId);
  const int r = state.analogRange[static_cast<size_t>(c)];
  if (r < 0 || r >= kRangeIndexes) throw std::out_of_range("Invalid range setting.");
  return ids::kRange + r;
}

int QeloFamily::getAnalogInputInterChannelDelay(int inputId) {
  return state.interChannelDelay[static_cast<size_t>(checkAnalogInPortIsValid(inputId))];
}

int QeloFamily::getDefaultAnalogInputInterChannelDelay(int inputId, int rangeId) {
  checkAnalogInPortIsValid(inputId);
  const unsigned r = offsetIn(rangeId, ids::kRange);
  if (r >= static_cast<unsigned>(kRangeIndexes)) throw std::out_of_range("Invalid range id.");
  return state.getDefaultInterChannelDelay(static_cast<int>(r));
}

int QeloFamily::getMinAnalogInputInterChannelDelay(int /*inputId*/) {
  return state.minInterChannelDelay;
}

float QeloFamily::readAnalogInput(int inputId) {
  checkNoDataAcquisition();
  const int c = checkAnalogInPortIsValid(inputId);
  // The single read replaces the input sequence the device holds for frames.
  state.inputMaskValid = false;
  const uint8_t channel = static_cast<uint8_t>(c);
  writeBytes(kRegInputSequence, &channel, 1);
  uint8_t raw[2] = {0, 0};
  readBytes(kRegConversion, raw, 2);
  return inputCalibrators[static_cast<size_t>(c)][state.analogRange[static_cast<size_t>(c)]]
      ->calibrate(le16(raw));
}

// ---- digital ports, analog outputs, extras -------------------------------------------

int QeloFamily::getDigitalPortIoCount(int portId) {
  return table.portIoCounts[static_cast<size_t>(checkDigitalPortIdValid(portId) - 0x80)];
}

std::string QeloFamily::getDigitalPortIoName(int portId, int io) {
  const int p = checkDigitalPortIdValid(portId) - 0x80;
  const int count = getDigitalPortIoCount(portId);
  if (io < 0 || io >= count) throw std::invalid_argument("Invalid IO of digital port.");
  return "IO-" + std::to_string(io + 8 * p);
}

std::string QeloFamily::getPeripheralName(int peripheralId) {
  const int p = findDigitalPort(peripheralId);
  if (p >= 0) return "DP-" + std::to_string(p);
  const int c = findAnalogInput(peripheralId);
  if (c >= 0 && c < table.singleEndedInputs) {
    if (table.singleEndedNames != nullptr) return table.singleEndedNames[c];
    return "AI-" + std::to_string(c);
  }
  if (c >= 0) {
    const int pair = c - table.singleEndedInputs;
    return "AI-" + std::to_string(2 * pair) + "/AI-" + std::to_string(2 * pair + 1);
  }
  const int o = findAnalogOutput(peripheralId);
  if (o >= 0) return "AO-" + std::to_string(o);
  if (peripheralId == ids::kCounter && table.hasCounter) return "CNT";
  if (peripheralId == ids::kTrigger) return "TRG";
  const unsigned s = offsetIn(peripheralId, ids::kCurrentSource);
  if (s < static_cast<unsigned>(table.currentSources)) return table.currentNames[s];
  if (peripheralId == ids::kLed && table.hasLed) return "Indicator";
  throw std::invalid_argument("Invalid peripheral id.");
}

void QeloFamily::setDigitalPortOutputEnableMask(int portId, int mask) {
  checkNoDataGeneration();
  checkNoDataAcquisition();
  const int p = checkDigitalPortIdValid(portId) - 0x80;
  const uint8_t value = static_cast<uint8_t>(mask & 0xFF);
  writeBytes(kRegOutputEnable + static_cast<unsigned>(p), &value, 1);
}

int QeloFamily::readDigitalPort(int portId) {
  const int p = checkDigitalPortIdValid(portId) - 0x80;
  uint8_t value = 0;
  readBytes(kRegPortLevel + static_cast<unsigned>(p), &value, 1);
  return value;
}

void QeloFamily::writeDigitalPort(int portId, int value) {
  checkNoDataGeneration();
  const int p = checkDigitalPortIdValid(portId) - 0x80;
  const uint8_t level = static_cast<uint8_t>(value & 0xFF);
  writeBytes(kRegPortLevel + static_cast<unsigned>(p), &level, 1);
}

void QeloFamily::writeAnalogOutput(int outputId, float value) {
  checkNoDataGeneration();
  const int o = checkAnalogOutPortIsValid(outputId);
  uint8_t code[2];
  putLe16(code, outputCalibrators[static_cast<size_t>(o)][0]->calibrate(value));
  writeBytes(kRegDac + 4 * static_cast<unsigned>(o), code, 2);
}

void QeloFamily::setLed(int ledId, bool on) {
  if (ledId != ids::kLed || !table.hasLed) throw std::invalid_argument("Invalid led specified.");
  device->writeRegister(kRegLed, on ? 1u : 0u);
}

void QeloFamily::getTemperature(float* temperature) {
  checkNoDataAcquisition();
  uint8_t raw[2] = {0, 0};
  readBytes(kRegTemperature, raw, 2);
  const uint16_t t = le16(raw);
  // Sign and magnitude with 7 fraction bits.
  const float magnitude = static_cast<float>(t & 0x7FFF) / 128.0f;
  *temperature = (t & 0x8000) != 0 ? -magnitude : magnitude;
}

float QeloFamily::getReferenceCurrent(int currentId) {
  const unsigned s = offsetIn(currentId, ids::kCurrentSource);
  if (s >= static_cast<unsigned>(table.currentSources)) {
    throw std::invalid_argument("Invalid current source specified.");
  }
  return state.referenceCurrent[s];
}

namespace {
void checkWatchdog(bool supported, unsigned firmwareVersion) {
  if (!supported) throw std::runtime_error("Not supported by this device.");
  if (firmwareVersion <= 0x103) throw std::runtime_error("Not supported by this firmware version.");
}
}  // namespace

void QeloFamily::setWatchdogTimeout(unsigned int timeout250ms) {
  checkWatchdog(table.watchdog, firmwareVersion);
  device->writeRegister(kRegWatchdog, timeout250ms);
}

unsigned int QeloFamily::getWatchdogTimeout() {
  checkWatchdog(table.watchdog, firmwareVersion);
  return device->readRegister(kRegWatchdog);
}

// ---- trigger and counter ---------------------------------------------------------------

void QeloFamily::setTriggerConfig(int triggerId, int triggerConfigId) {
  checkNoDataAcquisition();
  const int i = checkTriggerIsValid(triggerId);
  // A refused id changes nothing: the line keeps the configuration it has.
  const unsigned k = offsetIn(triggerConfigId, ids::kTriggerConfig);
  if (k >= 5) throw std::out_of_range("Invalid trigger config id.");
  state.triggerConfig[static_cast<size_t>(i)] = triggerConfigId;
  device->writeRegister(kRegTriggerConfig + static_cast<unsigned>(i), kTriggerCodes[k]);
}

int QeloFamily::getTriggerConfig(int triggerId) {
  return state.triggerConfig[static_cast<size_t>(checkTriggerIsValid(triggerId))];
}

void QeloFamily::setTriggerEnable(int /*triggerId*/, bool /*enable*/) {
  throw std::logic_error("Not supported.");
}

bool QeloFamily::getTriggerEnable(int /*triggerId*/) { return true; }

void QeloFamily::resetCounter(int counterId) {
  if (!table.hasCounter) throw std::logic_error("No counter");
  const int i = checkCounterIsValid(counterId);
  device->writeRegister(table.counterResetRegister + static_cast<unsigned>(i),
                        table.counterResetCode);
}

long long QeloFamily::readCounter(int counterId) {
  if (!table.hasCounter) throw std::logic_error("No counter");
  const int i = checkCounterIsValid(counterId);
  return static_cast<long long>(device->readRegister(kRegCounter + static_cast<unsigned>(i)));
}

void QeloFamily::setCounterConfig(int /*counterId*/, int /*counterConfigId*/) {
  throw std::logic_error("Not supported.");
}

int QeloFamily::getCounterConfig(int /*counterId*/) { throw std::logic_error("Not supported."); }

void QeloFamily::setCounterEnable(int counterId, bool enable) {
  if (!table.hasCounter) return;
  const int i = checkCounterIsValid(counterId);
  state.counterEnable[static_cast<size_t>(i)] = enable;
  device->writeRegister(kRegCounterControl + static_cast<unsigned>(i), enable ? 1u : 0u);
}

bool QeloFamily::getCounterEnable(int counterId) {
  if (!table.hasCounter) return false;
  return state.counterEnable[static_cast<size_t>(checkCounterIsValid(counterId))];
}
