#include "devices/qeloka1x.h"

#include <qelomsr/qelomsr.h>

namespace {

const char* const kCurrentNames[] = {"200uA", "10uA"};

const FamilyTable kKaTable = {
    "QeloKa@",
    {14, 7, 2, 3, 1, 1, QELOMSR_KA_READ_LIMIT_BYTES / 2, 2, 1},
    14,         // single-ended inputs AI-0..AI-13
    7,          // differential inputs AI-0/AI-1..AI-12/AI-13
    nullptr,    // inputs named AI-n
    4,          // ranges +-10 V, +-1 V, +-0.1 V, +-0.01 V
    2,          // AO-0, AO-1
    3,          // DP-0..DP-2
    {8, 8, 4},  // IOs per port
    true,       // counter
    true,       // LED
    2,          // current sources
    kCurrentNames,
    true,   // watchdog
    false,  // no output streaming
    0xC4,
    255,  // counter reset: 255 to the counter control register
    0,    // output records
    16,   // dual-point records, 21 channels x 4 ranges
    688,  // currents, u32 in thousandths
    QELOMSR_KA_VALUE_SLOTS,
    QELOMSR_KA_PORT_SLOTS,
    QELOMSR_KA_COUNTER_SLOT,
    QELOMSR_KA_TRIGGER_SLOT,
    QELOMSR_KA_READ_LIMIT_BYTES,
};

}  // namespace

QeloKa1x::QeloKa1x(std::shared_ptr<commapi::ProtocolDevice> device, const std::string& identifier)
    : QeloFamily(std::move(device), identifier, kKaTable) {}
