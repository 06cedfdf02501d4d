// Vel family: the Ka register layout with 6 single-ended / 3 differential
// inputs, one analog output, two digital ports, a trigger and no counter;
// it streams output frames.
#pragma once

#include <memory>
#include <string>

#include "devices/qelofamily.h"

class QeloVel1x : public QeloFamily {
 public:
  QeloVel1x(std::shared_ptr<commapi::ProtocolDevice> device, const std::string& identifier);

 protected:
  // The start command also encodes the trigger input mode.
  unsigned acquisitionControl(int external, bool triggerIsOutput) const override;
};
