#include "devices/qelovel1x.h"

#include <qelomsr/qelomsr.h>

namespace {

const FamilyTable kVelTable = {
    "QeloVel@",
    {6, 3, 1, 2, 0, 1, QELOMSR_VEL_READ_LIMIT_BYTES / 2, 0, 0},
    6,          // single-ended inputs AI-0..AI-5
    3,          // differential inputs AI-0/AI-1..AI-4/AI-5
    nullptr,    // inputs named AI-n
    4,          // ranges +-10 V, +-1 V, +-0.1 V, +-0.01 V
    1,          // AO-0
    2,          // DP-0, DP-1
    {8, 8, 0},  // IOs per port
    false,      // no counter
    true,       // LED
    0,          // no current sources
    nullptr,
    false,  // no watchdog
    true,   // output streaming
    0,
    0,  // no counter registers
    0,  // output record of AO-0
    8,  // dual-point records, 9 channels x 4 ranges
    0,  // no currents
    QELOMSR_VEL_VALUE_SLOTS,
    QELOMSR_VEL_PORT_SLOTS,
    0,
    QELOMSR_VEL_TRIGGER_SLOT,
    QELOMSR_VEL_READ_LIMIT_BYTES,
};

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
