#include "devices/qelorix1x.h"

#include <qelomsr/qelomsr.h>

#include <array>
#include <stdexcept>

#include "comm-api/src/api/protocol.h"
#include "devices/family_registers.h"

namespace ids = qelomsr_ids;
using namespace familyregs;

namespace {

constexpr const char* kInputNames[] = {"AI-0", "AI-1", "AI-2", "AI-3", "VBUSREF", "VREF"};

// Calibration at a fixed address (loadCalibration), one range, no outputs.
constexpr FamilyTable kRixTable = [] {
  FamilyTable t;
  t.serialPrefix = "QeloPilex@";
  t.parameters = {6, 0, 0, 1, 1, 1, QELOMSR_RIX_READ_LIMIT_BYTES / 2, 0, 0};
  t.singleEndedInputs = 6;  // AI-0..AI-3, VBUSREF, VREF
  t.singleEndedNames = kInputNames;
  t.rangeCount = 1;
  t.digitalPorts = 1;  // DP-0
  t.portIoCounts = {3, 0, 0};
  t.hasCounter = true;
  t.counterResetRegister = 0xC0;  // the counter register itself
  t.counterResetCode = 8;
  t.valueSlots = QELOMSR_RIX_VALUE_SLOTS;
  t.portSlots = QELOMSR_RIX_PORT_SLOTS;
  t.counterSlot = QELOMSR_RIX_COUNTER_SLOT;
  t.triggerSlot = QELOMSR_RIX_TRIGGER_SLOT;
  t.readLimitBytes = QELOMSR_RIX_READ_LIMIT_BYTES;
  return t;
}();

constexpr unsigned kCalibrationAddress = 0x08004400;
constexpr int kChannels = 6;
constexpr int kVbusRefChannel = 4;

// Trigger register codes of the configurations 0x7A501900..04 (bit 0 enables).
constexpr unsigned kTriggerCodes[5] = {0x18, 0x08, 0x02, 0x04, 0x06};

}  // namespace

QeloRix1x::QeloRix1x(std::shared_ptr<commapi::ProtocolDevice> device, const std::string& identifier)
    : QeloFamily(std::move(device), identifier, kRixTable) {}

void QeloRix1x::loadCalibration() {
  std::array<uint8_t, kChannels * kCalibrationRecordSize> block{};
  readBytes(kCalibrationAddress, block.data(), static_cast<int>(block.size()));
  for (int c = 0; c < kChannels; ++c) {
    const uint8_t* rec = block.data() + kCalibrationRecordSize * c;
    inputCalibrators.addCalibrator(
        c, 0,
        boost::shared_ptr<InputCalibrator>(new SimpleInputCalibrator(le32(rec), le32(rec + 4))));
  }
}

std::pair<float, float> QeloRix1x::rangeLimits(int ioIndex, int /*rangeIndex*/) const {
  return {0.0f, ioIndex == kVbusRefChannel ? 6.6f : 3.3f};
}

int QeloRix1x::setAnalogInputParameters(int inputId, int /*rangeId*/, int interChannelDelay) {
  checkNoDataAcquisition();
  checkAnalogInPortIsValid(inputId);
  return interChannelDelay;
}

int QeloRix1x::getDefaultAnalogInputInterChannelDelay(int inputId, int /*rangeId*/) {
  checkAnalogInPortIsValid(inputId);
  return 0;
}

void QeloRix1x::writeAnalogOutput(int /*outputId*/, float /*value*/) {}

void QeloRix1x::setLed(int /*ledId*/, bool /*on*/) {}

void QeloRix1x::getTemperature(float* temperature) { *temperature = 0.0f; }

// An id outside the table would leave the line listening to nothing (or,
// once enabled, waiting for ever for a start on the trigger): refused as on
// the other families, and nothing changes.
void QeloRix1x::setTriggerConfig(int triggerId, int triggerConfigId) {
  checkNoDataAcquisition();
  const int i = checkTriggerIsValid(triggerId);
  if (offsetIn(triggerConfigId, ids::kTriggerConfig) >= 5) {
    throw std::out_of_range("Invalid trigger config id.");
  }
  state.triggerConfig[static_cast<size_t>(i)] = triggerConfigId;
  if (state.triggerEnable[static_cast<size_t>(i)]) updateTrigger(i);
}

void QeloRix1x::setTriggerEnable(int triggerId, bool enable) {
  checkNoDataAcquisition();
  const int i = checkTriggerIsValid(triggerId);
  if (enable && state.counterEnable[0]) {
    throw std::logic_error("Either trigger or counter can be enabled.");
  }
  state.triggerEnable[static_cast<size_t>(i)] = enable;
  updateTrigger(i);
}

bool QeloRix1x::getTriggerEnable(int triggerId) {
  return state.triggerEnable[static_cast<size_t>(checkTriggerIsValid(triggerId))];
}

// An id outside the table would switch the counter off while it reads as
// enabled: refused, and nothing changes.
void QeloRix1x::setCounterConfig(int counterId, int counterConfigId) {
  checkNoDataAcquisition();
  const int i = checkCounterIsValid(counterId);
  if (offsetIn(counterConfigId, ids::kCounterConfig) >= 3) {
    throw std::out_of_range("Invalid counter config id.");
  }
  state.counterConfig[static_cast<size_t>(i)] = counterConfigId;
  if (state.counterEnable[static_cast<size_t>(i)]) updateCounter(i);
}

int QeloRix1x::getCounterConfig(int counterId) {
  return state.counterConfig[static_cast<size_t>(checkCounterIsValid(counterId))];
}

void QeloRix1x::setCounterEnable(int counterId, bool enable) {
  checkNoDataAcquisition();
  const int i = checkCounterIsValid(counterId);
  if (enable && state.triggerEnable[0]) {
    throw std::logic_error("Either counter or trigger can be enabled.");
  }
  state.counterEnable[static_cast<size_t>(i)] = enable;
  updateCounter(i);
}

void QeloRix1x::updateTrigger(int index) {
  const size_t i = static_cast<size_t>(index);
  unsigned code = 0;
  if (state.triggerEnable[i]) {
    const unsigned k =
        static_cast<unsigned>(state.triggerConfig[i]) - static_cast<unsigned>(ids::kTriggerConfig);
    code = (k < 5 ? kTriggerCodes[k] : 0u) | 1u;
  }
  device->writeRegister(kRegTriggerConfig + static_cast<unsigned>(index), code);
}

void QeloRix1x::updateCounter(int index) {
  const size_t i = static_cast<size_t>(index);
  const unsigned address = kRegCounter + static_cast<unsigned>(index);
  // Off first, so that a change of configuration passes through the off state.
  device->writeRegister(address, 0);
  if (!state.counterEnable[i]) return;
  const unsigned k =
      static_cast<unsigned>(state.counterConfig[i]) - static_cast<unsigned>(ids::kCounterConfig);
  device->writeRegister(address, k < 3 ? 2 * k + 3 : 0u);
}
