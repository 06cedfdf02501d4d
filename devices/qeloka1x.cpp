#include "devices/qeloka1x.h"

#include <qelomsr/qelomsr.h>

namespace {

constexpr const char* kCurrentNames[] = {"200uA", "10uA"};

constexpr FamilyTable kKaTable = [] {
  FamilyTable t;
  t.serialPrefix = "QeloKa@";
  t.parameters = {14, 7, 2, 3, 1, 1, QELOMSR_KA_READ_LIMIT_BYTES / 2, 2, 1};
  t.singleEndedInputs = 14;  // AI-0..AI-13
  t.differentialInputs = 7;  // AI-0/AI-1..AI-12/AI-13
  t.rangeCount = 4;          // +-10 V, +-1 V, +-0.1 V, +-0.01 V
  t.analogOutputs = 2;       // AO-0, AO-1
  t.digitalPorts = 3;        // DP-0..DP-2
  t.portIoCounts = {8, 8, 4};
  t.hasCounter = true;
  t.hasLed = true;
  t.currentSources = 2;
  t.currentNames = kCurrentNames;
  t.watchdog = true;
  t.counterResetRegister = 0xC4;  // counter control register
  t.counterResetCode = 255;
  t.outputRecordOffset = 0;
  t.dualPointOffset = 16;  // 21 channels x 4 ranges
  t.currentOffset = 688;   // u32 in thousandths
  t.valueSlots = QELOMSR_KA_VALUE_SLOTS;
  t.portSlots = QELOMSR_KA_PORT_SLOTS;
  t.counterSlot = QELOMSR_KA_COUNTER_SLOT;
  t.triggerSlot = QELOMSR_KA_TRIGGER_SLOT;
  t.readLimitBytes = QELOMSR_KA_READ_LIMIT_BYTES;
  return t;
}();

}  // namespace

QeloKa1x::QeloKa1x(std::shared_ptr<commapi::ProtocolDevice> device, const std::string& identifier)
    : QeloFamily(std::move(device), identifier, kKaTable) {}
