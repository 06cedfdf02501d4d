// The register map: dispatches every read and write request on its start
// address to the part of the device that owns it, and applies the
// peripheral reset mask. Unknown addresses read zeros; writes to them are
// only logged.
#pragma once

#include <cstdint>

#include "acquisition.h"
#include "layout.h"
#include "memories.h"
#include "peripherals.h"
#include "qsim/clock.h"
#include "qsim/config.h"
#include "requests.h"
#include "signals.h"
#include "trigger.h"

namespace qsim {

// The parts of one device, each owned by the model.
struct DeviceParts {
  const DeviceConfig& cfg;
  const Layout& lay;
  const Clock& clock;
  Diagnostics& diag;
  AnalogFrontEnd& front;
  Peripherals& io;
  TriggerLine& trigger;
  Acquisition& acq;
  const Memories& memories;
};

class RegisterMap {
 public:
  explicit RegisterMap(const DeviceParts& parts) : p_(parts) {}

  // Fills the reply (zeroed, `count` bytes) of a read request.
  void read(uint32_t addr, uint32_t count, bool increment, int64_t nowNs, uint8_t* out);
  // Applies (and logs) a write request.
  void write(uint32_t addr, bool increment, const uint8_t* data, uint32_t count, int64_t nowNs);
  // Peripheral reset of the parts named by the mask bits.
  void resetPeripherals(uint32_t mask, int64_t nowNs);

 private:
  // Register value for a register read at addr, or false for a block address.
  bool readRegister(uint32_t addr, uint32_t& v) const;

  DeviceParts p_;
};

}  // namespace qsim
