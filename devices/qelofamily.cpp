#include "devices/qelofamily.h"

#include <qelomsr/qelomsr.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <thread>

#include "comm-api/src/api/protocol.h"

namespace ids = qelomsr_ids;

namespace {

// Device registers and memory addresses.
constexpr unsigned kRegInputBuffer = 0x00;
constexpr unsigned kRegOutputBuffer = 0x04;
constexpr unsigned kRegInputStatus = 0x08;
constexpr unsigned kRegInputCapacity = 0x09;
constexpr unsigned kRegOutputStatus = 0x0C;
constexpr unsigned kRegOutputEnable = 0x10;
constexpr unsigned kRegPortLevel = 0x14;
constexpr unsigned kRegInputSequence = 0x18;
constexpr unsigned kRegOutputMask = 0x1C;
constexpr unsigned kRegConversion = 0x20;
constexpr unsigned kRegOutputFrame = 0x24;
constexpr unsigned kRegChannelRange = 0x28;
constexpr unsigned kRegDelayBlock = 0x2C;
constexpr unsigned kRegDac = 0x40;
constexpr unsigned kRegTriggerConfig = 0x4C;
constexpr unsigned kRegFramePeriod = 0x50;
constexpr unsigned kRegFrameCount = 0x54;
constexpr unsigned kRegAcquisitionControl = 0x58;
constexpr unsigned kRegChannelDelay = 0x5C;
constexpr unsigned kRegTemperature = 0x70;
constexpr unsigned kRegCounter = 0xC0;
constexpr unsigned kRegCounterControl = 0xC4;
constexpr unsigned kRegLed = 0xC8;
constexpr unsigned kRegWatchdog = 0x100;
constexpr unsigned kRegVersion = 0xF0000004;
constexpr unsigned kRegSerial = 0xF0000008;
constexpr unsigned kRegPeripheralReset = 0xF0000020;
constexpr unsigned kRegCalibrationAddress = 0xF0000030;

constexpr unsigned kStatusOverflow = 0x80000000u;
constexpr unsigned kStatusEarlyTrigger = 0x40000000u;
constexpr unsigned kStatusUnderrun = 0x80000000u;

constexpr int kCalibrationBlockSize = 696;
constexpr int kDelayBlockSize = 10;
constexpr int kWriteLimitBytes = 4096;
constexpr int kSerialBufferSize = QELOMSR_TEXT_BUFFER_SIZE;
constexpr uint16_t kSerialUnconfigured = 0xFFFF;

constexpr uint8_t kCodeCounterHigh = 0xC0;
constexpr uint8_t kCodeTrigger = 0xE0;
constexpr int kCounterCode = 0xC0C1;
constexpr int kOutputIoBase = 256;

// Full scale of the four bipolar input ranges, by range index.
constexpr double kRangeFullScale[QeloFamily::kRangeIndexes] = {10.0, 1.0, 0.1, 0.01};

// Trigger register codes of the five configurations 0x7A501900..04.
constexpr unsigned kTriggerCodes[5] = {9, 1, 2, 4, 6};

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void putLe16(uint8_t* p, unsigned v) {
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

// Offset of id within the kind starting at base, as unsigned so that any id
// (also negative ones) compares safely against a count.
unsigned offsetIn(int id, int base) {
  return static_cast<unsigned>(id) - static_cast<unsigned>(base);
}

// The caller's stall limit from the environment, read once per process: ms
// (0: no limit), or -1 when the variable is unset or not a number >= 0.
long long environmentStallLimitMs() {
  static const long long limit = [] {
    const char* text = std::getenv(QELOMSR_BLOCKING_TIMEOUT_ENV);
    if (text == nullptr || *text == '\0') return -1LL;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || value < 0) return -1LL;
    return value;
  }();
  return limit;
}

// Acquisition control values that make the trigger line pace the frames.
constexpr unsigned kControlStartOnTrigger = 2;
constexpr unsigned kControlGated = 3;  // Vel

void pollPause() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

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
  acquisitionFrameCount = 0;
  framesDelivered = 0;
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

void QeloFamily::loadCalibration() {
  const unsigned address = device->readRegister(kRegCalibrationAddress);
  std::array<uint8_t, kCalibrationBlockSize> block{};
  readBytes(address, block.data(), kCalibrationBlockSize);

  for (int i = 0; i < table.analogOutputs; ++i) {
    const uint8_t* rec = block.data() + table.outputRecordOffset + kCalibrationRecordSize * i;
    outputCalibrators.addCalibrator(i, 0,
                                    boost::shared_ptr<OutputCalibrator>(new OutputCalibrator(
                                        le16(rec), le16(rec + 2), le16(rec + 4))));
  }
  const int channels = table.singleEndedInputs + table.differentialInputs;
  for (int c = 0; c < channels; ++c) {
    for (int r = 0; r < table.rangeCount; ++r) {
      const uint8_t* rec =
          block.data() + table.dualPointOffset + kCalibrationRecordSize * (kRangeIndexes * c + r);
      const double fullScale = kRangeFullScale[r];
      inputCalibrators.addCalibrator(
          c, r,
          boost::shared_ptr<InputCalibrator>(new DualPointInputCalibrator(
              le16(rec), le16(rec + 2), le16(rec + 4), fullScale, -fullScale)));
    }
  }
  for (int s = 0; s < table.currentSources; ++s) {
    const uint32_t raw = le32(block.data() + table.currentOffset + 4 * s);
    state.referenceCurrent[static_cast<size_t>(s)] = static_cast<float>(raw / 1000.0);
  }

  const unsigned version = device->readRegister(kRegVersion);
  if ((version & 0x80000000u) == 0) {
    std::array<uint8_t, kDelayBlockSize> delays{};
    readBytes(kRegDelayBlock, delays.data(), kDelayBlockSize);
    state.minInterChannelDelay = le16(delays.data());
    for (int r = 0; r < kRangeIndexes; ++r) {
      state.setDefaultInterChannelDelay(r, le16(delays.data() + 2 + 2 * r));
    }
  }
  firmwareVersion = (version >> 8) & 0xFFFF;
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
  const int d = interChannelDelay == -1 ? state.getDefaultInterChannelDelay(static_cast<int>(r))
                                        : interChannelDelay;
  if (d < state.minInterChannelDelay) {
    throw std::invalid_argument("Interchannel delay below minimum value.");
  }
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
  // The id is recorded before it is checked.
  state.triggerConfig[static_cast<size_t>(i)] = triggerConfigId;
  const unsigned k = offsetIn(triggerConfigId, ids::kTriggerConfig);
  if (k >= 5) throw std::out_of_range("Invalid trigger config id.");
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

// ---- input frames and acquisition ------------------------------------------------------

std::vector<uint8_t> QeloFamily::buildMask(const int* ios, int count,
                                           int (QeloFamily::*validate)(int) const) const {
  std::vector<uint8_t> mask;
  for (int i = 0; i < count; ++i) {
    // Codes of 256 and more carry several bytes, low byte first.
    for (int code = (this->*validate)(ios[i]);; code >>= 8) {
      mask.push_back(static_cast<uint8_t>(code & 0xFF));
      if (code < 256) break;
    }
  }
  std::sort(mask.begin(), mask.end());
  if (std::adjacent_find(mask.begin(), mask.end()) != mask.end()) {
    throw std::invalid_argument("Every channel could only be once in the mask.");
  }
  return mask;
}

void QeloFamily::setupInputFrame(int* ios, int iosCount) {
  if (iosCount <= 0) throw std::invalid_argument("At least one input must be specified.");
  checkNoDataAcquisition();
  std::vector<uint8_t> mask = buildMask(ios, iosCount, &QeloFamily::checkInPortIsValid);
  state.inputMask = std::move(mask);
  state.inputMaskValid = false;
  writeBytes(kRegInputSequence, state.inputMask.data(), static_cast<int>(state.inputMask.size()));
  state.inputMaskValid = true;
}

void QeloFamily::ensureInputMaskValid() {
  if (state.inputMaskValid || state.inputMask.empty()) return;
  writeBytes(kRegInputSequence, state.inputMask.data(), static_cast<int>(state.inputMask.size()));
  state.inputMaskValid = true;
}

int QeloFamily::calculateMaxBufferedInputFrames() {
  if (state.inputMask.empty()) throw std::logic_error("Unknown input frame.");
  const long long capacity = device->readRegister(kRegInputCapacity);
  const long long frameBytes = 2 * static_cast<long long>(state.inputMask.size());
  return static_cast<int>(
      std::min<long long>((capacity - 1) / frameBytes, std::numeric_limits<int>::max()));
}

unsigned QeloFamily::acquisitionControl(int external, bool /*triggerIsOutput*/) const {
  return external != 0 ? 2u : 1u;
}

float QeloFamily::startDataAcquisition(int external, float frameRate, int frameCount) {
  checkNoDataAcquisition();
  if (state.inputMask.empty()) throw std::logic_error("No mask defined.");
  if (frameCount > calculateMaxBufferedInputFrames()) {
    throw std::invalid_argument("Frame count too high.");
  }
  const int trigger = getTriggerConfig(ids::kTrigger);
  const bool triggerIsOutput = trigger == ids::kTriggerConfig || trigger == ids::kTriggerConfig + 1;
  const bool sampleTrigger = frameRate == -1.0f;
  if (triggerIsOutput && (external != 0 || sampleTrigger)) {
    throw std::logic_error("Trigger is set to output, can't use as source.");
  }
  // A disabled trigger (Rix) delivers no event: the acquisition would wait forever.
  if ((external != 0 || sampleTrigger) && !getTriggerEnable(ids::kTrigger)) {
    throw std::logic_error("Trigger is disabled, can't use as source.");
  }
  const unsigned control = acquisitionControl(external, triggerIsOutput);
  // The rate is validated before anything reaches the device.
  const int period = sampleTrigger ? -1 : calculatePeriodTimeFromFrameRate(frameRate);
  ensureInputMaskValid();

  device->writeRegister(kRegFramePeriod, static_cast<unsigned>(period));
  int effectivePeriod = period;
  if (!sampleTrigger) {
    effectivePeriod = static_cast<int>(device->readRegister(kRegFramePeriod));
    if (effectivePeriod == -2) throw std::invalid_argument("Invalid frequency.");
  }
  device->writeRegister(kRegFrameCount, static_cast<unsigned>(frameCount));
  device->writeRegister(kRegAcquisitionControl, control);
  state.acquisitionActive = true;
  state.acquisitionFrameCount = frameCount;
  state.framesDelivered = 0;
  state.acquisitionPeriodNs = effectivePeriod;
  state.acquisitionControl = control;
  if (sampleTrigger) return -1.0f;
  return calculateFrameRateFromPeriodTime(effectivePeriod);
}

void QeloFamily::stopDataAcquisition() {
  if (!state.acquisitionActive) return;
  device->writeRegister(kRegAcquisitionControl, 0);
  state.acquisitionActive = false;
}

namespace {
// Word `src` of every frame (`stride` bytes apart) into slot `dst` of every
// record (`slots` apart), through `convert`.
template <typename Out, typename Convert>
void demuxColumn(const uint8_t* src, size_t stride, size_t frames, Out* dst, size_t slots,
                 Convert convert) {
  for (size_t f = 0; f < frames; ++f) dst[f * slots] = convert(le16(src + f * stride));
}

uint16_t rawWord(uint16_t word) { return word; }
}  // namespace

void QeloFamily::demuxFrame(const uint8_t* raw, float* values, int* ports) const {
  demuxFrames(raw, 1, values, ports);
}

void QeloFamily::demuxFrames(const uint8_t* raw, int frames, float* values, int* ports) const {
  const uint8_t* mask = state.inputMask.data();
  const size_t length = state.inputMask.size();
  const size_t stride = 2 * length;
  const size_t n = static_cast<size_t>(frames);
  const size_t v = static_cast<size_t>(table.valueSlots);
  const size_t p = static_cast<size_t>(table.portSlots);
  for (size_t i = 0; i < length; ++i) {
    const uint8_t code = mask[i];
    const uint8_t* src = raw + 2 * i;
    if ((code & 0x80) == 0) {
      const size_t c = code & 0x3F;
      const InputCalibrator* cal = inputCalibrators[c][state.analogRange[c]].get();
      // The families' calibrator classes convert inline; any other class
      // through its virtual calibrate.
      if (const auto* dual = dynamic_cast<const DualPointInputCalibrator*>(cal)) {
        demuxColumn(src, stride, n, values + c, v, [dual](int w) { return dual->convert(w); });
      } else if (const auto* simple = dynamic_cast<const SimpleInputCalibrator*>(cal)) {
        demuxColumn(src, stride, n, values + c, v, [simple](int w) { return simple->convert(w); });
      } else {
        demuxColumn(src, stride, n, values + c, v, [cal](int w) { return cal->calibrate(w); });
      }
    } else if ((code & 0xC0) == 0x80) {
      demuxColumn(src, stride, n, ports + (code & 0x3F), p, rawWord);
    } else if (code == kCodeCounterHigh && i + 1 < length) {
      int* dst = ports + table.counterSlot;
      for (size_t f = 0; f < n; ++f) {
        const uint8_t* word = src + f * stride;
        dst[f * p] =
            static_cast<int32_t>((static_cast<uint32_t>(le16(word)) << 16) | le16(word + 2));
      }
      ++i;  // the low word (code 0xC1) belongs to the counter
    } else if (code == kCodeTrigger) {
      demuxColumn(src, stride, n, ports + table.triggerSlot, p, rawWord);
    }
  }
}

int QeloFamily::readNonBlocking(float* vbuffer, int* buffer, int maxFrames) {
  if (state.inputMask.empty()) throw std::logic_error("No or invalid read mask specified.");
  if (maxFrames < -1) throw std::invalid_argument("Frame count must be >= 0 or -1.");
  const int frameBytes = 2 * static_cast<int>(state.inputMask.size());
  int n = table.readLimitBytes / frameBytes;
  if (maxFrames != -1 && maxFrames < n) n = maxFrames;
  const unsigned status = device->readRegister(kRegInputStatus);
  if ((status & kStatusOverflow) != 0) throw std::runtime_error("Buffer overflow.");
  if ((status & kStatusEarlyTrigger) != 0) {
    throw std::runtime_error(
        "A frame sample trigger has been detected to early, reduce trigger frequency.");
  }
  // The device's byte count only ever lowers n: the transfer and the caller's
  // arrays stay within the per-call limit whatever the device reports.
  n = static_cast<int>(
      std::min<unsigned>(static_cast<unsigned>(n), status / static_cast<unsigned>(frameBytes)));
  if (n == 0) return 0;
  const size_t v = static_cast<size_t>(table.valueSlots);
  const size_t p = static_cast<size_t>(table.portSlots);
  std::fill_n(vbuffer, v * static_cast<size_t>(n), 0.0f);
  std::fill_n(buffer, p * static_cast<size_t>(n), 0);
  readBytes(kRegInputBuffer, readBuffer.data(), n * frameBytes);
  demuxFrames(readBuffer.data(), n, vbuffer, buffer);
  state.framesDelivered += n;
  return n;
}

bool QeloFamily::awaitsTrigger() const {
  if (!state.acquisitionActive) return false;
  if (state.acquisitionPeriodNs == -1 || state.acquisitionControl == kControlGated) return true;
  return state.acquisitionControl == kControlStartOnTrigger && state.framesDelivered == 0;
}

long long QeloFamily::blockingStallLimitMs() const {
  const long long fromEnvironment = environmentStallLimitMs();
  // A trigger comes when the caller's outside world sends it: only the
  // caller's own bound applies to the wait for it.
  if (awaitsTrigger()) return std::max(fromEnvironment, 0LL);
  const long long configured =
      fromEnvironment >= 0 ? fromEnvironment : QELOMSR_BLOCKING_TIMEOUT_DEFAULT_MS;
  if (configured == 0) return 0;
  if (state.acquisitionActive && state.acquisitionPeriodNs > 0) {
    // Never shorter than 100 frame periods of the running acquisition.
    const long long periods = (100LL * state.acquisitionPeriodNs + 999999) / 1000000;
    return std::max(configured, periods);
  }
  return configured;
}

void QeloFamily::throwStalled(const char* what, long long limitMs) const {
  std::string text =
      std::string("The device ") + what + " no frame for " + std::to_string(limitMs) + " ms";
  if (awaitsTrigger()) text += " while the data acquisition waits for its trigger";
  throw std::runtime_error(text + ".");
}

void QeloFamily::readBlocking(float* vbuffer, int* buffer, int frameCount) {
  if (frameCount < 1) throw std::invalid_argument("Frame counter must be > 0.");
  auto lastProgress = std::chrono::steady_clock::now();
  const size_t v = static_cast<size_t>(table.valueSlots);
  const size_t p = static_cast<size_t>(table.portSlots);
  int remaining = frameCount;
  for (;;) {
    if (state.acquisitionActive && state.acquisitionFrameCount > 0 &&
        state.acquisitionFrameCount - state.framesDelivered < remaining) {
      throw std::runtime_error("The data acquisition ends before the requested frames arrive: " +
                               std::to_string(state.acquisitionFrameCount - state.framesDelivered) +
                               " frames remain, " + std::to_string(remaining) + " asked for.");
    }
    const int k = readNonBlocking(vbuffer, buffer, remaining);
    pollPause();
    if (k == remaining) return;
    remaining -= k;
    vbuffer += static_cast<size_t>(k) * v;
    buffer += static_cast<size_t>(k) * p;
    const auto now = std::chrono::steady_clock::now();
    if (k > 0) {
      lastProgress = now;
    } else if (!state.acquisitionActive) {
      throw std::runtime_error("No data acquisition running.");
    } else if (const long long limit = blockingStallLimitMs();
               limit > 0 && now - lastProgress >= std::chrono::milliseconds(limit)) {
      throwStalled("delivered", limit);
    }
  }
}

void QeloFamily::readFrame(float* vbuffer, int* buffer) {
  checkNoDataAcquisition();
  ensureInputMaskValid();
  if (state.inputMask.empty()) throw std::logic_error("No or invalid read mask specified.");
  std::fill_n(vbuffer, table.valueSlots, 0.0f);
  std::fill_n(buffer, table.portSlots, 0);
  const int frameBytes = 2 * static_cast<int>(state.inputMask.size());
  readBytes(kRegConversion, readBuffer.data(), frameBytes);
  demuxFrame(readBuffer.data(), vbuffer, buffer);
}

// ---- output frames ---------------------------------------------------------------------

void QeloFamily::setupOutputFrame(int* ios, int iosCount) {
  if (iosCount <= 0) throw std::invalid_argument("At least one output must be specified.");
  checkNoDataGeneration();
  state.outputMask = buildMask(ios, iosCount, &QeloFamily::checkOutPortIsValid);
  writeBytes(kRegOutputMask, state.outputMask.data(), static_cast<int>(state.outputMask.size()));
}

void QeloFamily::muxFrame(const float* values, const int* ports, uint8_t* raw) const {
  const uint8_t* mask = state.outputMask.data();
  const size_t length = state.outputMask.size();
  for (size_t i = 0; i < length; ++i) {
    const size_t slot = mask[i] & 0x7F;
    const unsigned word = (mask[i] & 0x80) != 0
                              ? static_cast<unsigned>(ports[slot]) & 0xFFFFu
                              : outputCalibrators[slot][0]->calibrate(values[slot]);
    putLe16(raw + 2 * i, word);
  }
}

void QeloFamily::writeFrame(float* vbuffer, int* buffer) {
  checkNoDataGeneration();
  if (state.outputMask.empty()) throw std::logic_error("No or invalid write mask specified.");
  muxFrame(vbuffer, buffer, writeBuffer.data());
  writeBytes(kRegOutputFrame, writeBuffer.data(), 2 * static_cast<int>(state.outputMask.size()));
}

int QeloFamily::writeNonBlocking(float* vbuffer, int* buffer, int frameCount) {
  if (!table.outputStreaming) throw std::logic_error("Not supported.");
  if (state.outputMask.empty()) throw std::logic_error("No or invalid write mask specified.");
  if (frameCount < 0) throw std::invalid_argument("Frame count must be >= 0.");
  const unsigned status = device->readRegister(kRegOutputStatus);
  if ((status & kStatusUnderrun) != 0) throw std::runtime_error("Buffer underrun");
  const unsigned frameBytes = 2 * static_cast<unsigned>(state.outputMask.size());
  const unsigned n = std::min(
      {kWriteLimitBytes / frameBytes, static_cast<unsigned>(frameCount), status / frameBytes});
  if (n == 0) return 0;
  // Streamed frame i takes one value slot and two port slots.
  for (unsigned i = 0; i < n; ++i) {
    muxFrame(vbuffer + i, buffer + 2 * static_cast<size_t>(i),
             writeBuffer.data() + static_cast<size_t>(i) * frameBytes);
  }
  writeBytes(kRegOutputBuffer, writeBuffer.data(), static_cast<int>(n * frameBytes));
  return static_cast<int>(n);
}

void QeloFamily::writeBlocking(float* vbuffer, int* buffer, int frameCount) {
  if (!table.outputStreaming) throw std::logic_error("Not supported.");
  if (frameCount <= 0) throw std::invalid_argument("Frame counter must be > 0.");
  auto lastProgress = std::chrono::steady_clock::now();
  int remaining = frameCount;
  while (remaining != 0) {
    const int k = writeNonBlocking(vbuffer, buffer, remaining);
    remaining -= k;
    pollPause();
    vbuffer += k;
    buffer += 2 * static_cast<size_t>(k);
    const auto now = std::chrono::steady_clock::now();
    if (k > 0) {
      lastProgress = now;
    } else if (const long long limit = blockingStallLimitMs();
               limit > 0 && now - lastProgress >= std::chrono::milliseconds(limit)) {
      throwStalled("accepted", limit);
    }
  }
}
