#include "devices/qelovel1x.h"

#include <qelomsr/qelomsr.h>

namespace {

constexpr FamilyTable kVelTable = [] {
  FamilyTable t;
  t.serialPrefix = "QeloVel@";
  t.parameters = {6, 3, 1, 2, 0, 1, QELOMSR_VEL_READ_LIMIT_BYTES / 2, 0, 0};
  t.singleEndedInputs = 6;   // AI-0..AI-5
  t.differentialInputs = 3;  // AI-0/AI-1..AI-4/AI-5
  t.rangeCount = 4;          // +-10 V, +-1 V, +-0.1 V, +-0.01 V
  t.analogOutputs = 1;       // AO-0
  t.digitalPorts = 2;        // DP-0, DP-1
  t.portIoCounts = {8, 8, 0};
  t.hasLed = true;
  t.outputStreaming = true;
  t.outputRecordOffset = 0;  // AO-0
  t.dualPointOffset = 8;     // 9 channels x 4 ranges
  t.valueSlots = QELOMSR_VEL_VALUE_SLOTS;
  t.portSlots = QELOMSR_VEL_PORT_SLOTS;
  t.triggerSlot = QELOMSR_VEL_TRIGGER_SLOT;
  t.readLimitBytes = QELOMSR_VEL_READ_LIMIT_BYTES;
  return t;
}();

}  // namespace

QeloVel1x::QeloVel1x(std::shared_ptr<commapi::ProtocolDevice> device, const std::string& identifier)
    : QeloFamily(std::move(device), identifier, kVelTable) {}

unsigned QeloVel1x::acquisitionControl(int external, bool triggerIsOutput) const {
  if (triggerIsOutput) return 1;
  switch (external) {
    case 0:
      return 1;
    case 1:
      return 2;
    case 2:
      return 3;
    default:
      return 0;
  }
}
