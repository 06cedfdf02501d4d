// Ka family: 14 single-ended / 7 differential inputs with four ranges, two
// analog outputs, three digital ports, counter, trigger, current sources,
// LED, temperature sensor and watchdog.
#pragma once

#include <memory>
#include <string>

#include "devices/qelofamily.h"

class QeloKa1x : public QeloFamily {
 public:
  QeloKa1x(std::shared_ptr<commapi::ProtocolDevice> device, const std::string& identifier);
};
