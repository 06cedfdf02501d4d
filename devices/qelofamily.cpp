// The shared implementation of the three device families: device state,
// opening and identity, validators and the raw pass-throughs. Peripherals,
// calibration, acquisition, reading and output frames live in the
// qelofamily_*.cpp files beside this one.
#include "devices/qelofamily.h"

#include <qelomsr/qelomsr.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "comm-api/src/api/protocol.h"
#include "devices/family_registers.h"

namespace ids = qelomsr_ids;
using namespace familyregs;

namespace {

constexpr int kSerialBufferSize = QELOMSR_TEXT_BUFFER_SIZE;
constexpr uint16_t kSerialUnconfigured = 0xFFFF;

}  // namespace

// ---- DeviceState --------------------------------------------------------------

void QeloFamily::DeviceState::reset() {
  acquisitionActive = false;
  generationActive = false;
  analogRange.fill(Range10V);
  interChannelDelay.fill(defaultInterChannelDelay[0]);
  triggerEnable.fill(false);
  triggerConfig.fill(ids::kTriggerConfig + 2);
  counterEnable.fill(false);
  counterConfig.fill(ids::kCounterConfig);
  inputMask.clear();
  outputMask.clear();
  inputMaskValid = false;
  acquisitionMask.clear();
  acquisitionRange.fill(Range10V);
  // Opening and resetting the device reset its acquisition, which empties the
  // input buffer.
  inputBufferMayHoldFrames = false;
  acquisitionFrameCount = 0;
  framesDelivered = 0;
  statusFault = 0;
  framesBeforeFault = 0;
  acquisitionPeriodNs = -1;
  acquisitionControl = 0;
}

int QeloFamily::DeviceState::getDefaultInterChannelDelay(int rangeIndex) const {
  if (rangeIndex < 0 || rangeIndex >= kRangeIndexes)
    throw std::out_of_range("Invalid range index.");
  return defaultInterChannelDelay[static_cast<size_t>(rangeIndex)];
}

void QeloFamily::DeviceState::setDefaultInterChannelDelay(int rangeIndex, int delay) {
  if (rangeIndex < 0 || rangeIndex >= kRangeIndexes)
    throw std::out_of_range("Invalid range index.");
  defaultInterChannelDelay[static_cast<size_t>(rangeIndex)] = delay;
}

// ---- construction, opening, identity -------------------------------------------

QeloFamily::QeloFamily(std::shared_ptr<commapi::ProtocolDevice> protocolDevice,
                       const std::string& id, const FamilyTable& familyTable)
    : QeloMsrDevice(std::move(protocolDevice)),
      identifier(id),
      inputCalibrators(familyTable.singleEndedInputs + familyTable.differentialInputs,
                       familyTable.rangeCount),
      outputCalibrators(familyTable.analogOutputs, 1),
      table(familyTable),
      readBuffer(static_cast<size_t>(familyTable.readLimitBytes)),
      writeBuffer(static_cast<size_t>(kWriteLimitBytes)) {}

void QeloFamily::open() {
  device->rawDevice->open();
  device->writeRegister(kRegPeripheralReset, 0xFFFFFFFFu);
  loadCalibration();
  state.reset();
}

void QeloFamily::close() { device->rawDevice->close(); }

std::string QeloFamily::getIdentifier() const { return identifier; }

void QeloFamily::resetDevice() {
  state.reset();
  device->writeRegister(kRegPeripheralReset, 0xFFFFFFFFu);
}

void QeloFamily::resetPeripherals(int mask) {
  device->writeRegister(kRegPeripheralReset, static_cast<unsigned>(mask));
}

int QeloFamily::getDeviceParameter(int index) {
  if (static_cast<unsigned>(index) >= table.parameters.size()) return -1;
  return table.parameters[static_cast<size_t>(index)];
}

void QeloFamily::getSerialNumber(void* buffer) {
  uint8_t lengthField[2] = {0, 0};
  readBytes(kRegSerial, lengthField, 2);
  const uint16_t length = le16(lengthField);
  std::string text;
  if (length == kSerialUnconfigured) {
    text = "<UNCONFIGURED>";
  } else {
    // At most 65536 bytes: the length field is 16 bits wide.
    std::vector<uint8_t> raw(static_cast<size_t>(length) + 2, 0);
    readBytes(kRegSerial, raw.data(), static_cast<int>(raw.size()));
    text.assign(raw.begin() + 2, raw.end());
  }
  const std::string result = table.serialPrefix + text;
  // The text is cut so that it and its terminating zero fit the buffer.
  auto* out = static_cast<char*>(buffer);
  std::memset(out, 0, kSerialBufferSize);
  std::memcpy(out, result.data(), std::min<size_t>(result.size(), kSerialBufferSize - 1));
}

// ---- validators -----------------------------------------------------------------

void QeloFamily::checkNoDataAcquisition() const {
  if (state.acquisitionActive) {
    throw std::logic_error("Not possible when data acquisition is active.");
  }
}

void QeloFamily::checkNoDataGeneration() const {
  if (state.generationActive)
    throw std::logic_error("Not possible when data generation is active.");
}

int QeloFamily::findDigitalPort(int id) const {
  const unsigned p = offsetIn(id, ids::kDigitalPort);
  return p < static_cast<unsigned>(table.digitalPorts) ? static_cast<int>(p) : -1;
}

int QeloFamily::findAnalogInput(int id) const {
  const unsigned se = offsetIn(id, ids::kAnalogInput);
  if (se < static_cast<unsigned>(table.singleEndedInputs)) return static_cast<int>(se);
  const unsigned diff = offsetIn(id, ids::kDiffInput);
  if (diff < static_cast<unsigned>(table.differentialInputs)) {
    return table.singleEndedInputs + static_cast<int>(diff);
  }
  return -1;
}

int QeloFamily::findAnalogOutput(int id) const {
  const unsigned out = offsetIn(id, ids::kAnalogOutput);
  return out < static_cast<unsigned>(table.analogOutputs) ? static_cast<int>(out) : -1;
}

int QeloFamily::checkDigitalPortIdValid(int id) const {
  const int p = findDigitalPort(id);
  if (p < 0) throw std::invalid_argument("Invalid digital port id.");
  return 0x80 + p;
}

int QeloFamily::checkAnalogInPortIsValid(int id) const {
  const int c = findAnalogInput(id);
  if (c < 0) throw std::invalid_argument("Invalid analog in-port id.");
  return c;
}

int QeloFamily::checkAnalogOutPortIsValid(int id) const {
  const int o = findAnalogOutput(id);
  if (o < 0) throw std::invalid_argument("Invalid analog out-port id.");
  return o;
}

int QeloFamily::checkAnalogIoPortIsValid(int id) const {
  const int c = findAnalogInput(id);
  if (c >= 0) return c;
  const int o = findAnalogOutput(id);
  if (o >= 0) return kOutputIoBase + o;
  throw std::invalid_argument("Invalid analog io-port id.");
}

int QeloFamily::checkInPortIsValid(int id) const {
  const int c = findAnalogInput(id);
  if (c >= 0) return c;
  const int p = findDigitalPort(id);
  if (p >= 0) return 0x80 + p;
  if (id == ids::kCounter && table.hasCounter) return kCounterCode;
  if (id == ids::kTrigger) return kCodeTrigger;
  throw std::invalid_argument("Invalid in-port id.");
}

int QeloFamily::checkOutPortIsValid(int id) const {
  const int p = findDigitalPort(id);
  if (p >= 0) return 0x80 + p;
  const int o = findAnalogOutput(id);
  if (o >= 0) return o;
  throw std::invalid_argument("Invalid out-port id.");
}

int QeloFamily::checkTriggerIsValid(int id) const {
  if (id == ids::kTrigger) return 0;
  throw std::invalid_argument("Invalid trigger id.");
}

int QeloFamily::checkCounterIsValid(int id) const {
  if (id == ids::kCounter && table.hasCounter) return 0;
  throw std::invalid_argument("Invalid counter id.");
}

// ---- raw pass-throughs ---------------------------------------------------------------

void QeloFamily::readBlock(unsigned int address, void* buffer, int size) {
  device->_readBlock(address, static_cast<unsigned char*>(buffer), size, 0);
}

void QeloFamily::writeBlock(unsigned int address, void* buffer, int size) {
  device->_writeBlock(address, static_cast<const unsigned char*>(buffer), size, 0);
}

void QeloFamily::readRegister(unsigned int address, unsigned int* value) {
  *value = device->readRegister(address);
}

void QeloFamily::writeRegister(unsigned int address, unsigned int value) {
  device->writeRegister(address, value);
}

void QeloFamily::writeBytes(unsigned address, const uint8_t* data, int count) {
  device->_writeBlock(address, data, count, 0);
}

void QeloFamily::readBytes(unsigned address, uint8_t* data, int count) {
  device->_readBlock(address, data, count, 0);
}
