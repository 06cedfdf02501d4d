// The trigger line: its configuration code (register 0x4C) and its level.
// An edge on the line is handed to the acquisition engine, which decides
// whether it starts an acquisition or samples a frame.
#pragma once

#include <cstdint>

#include "qsim/config.h"

namespace qsim {

class TriggerLine {
 public:
  explicit TriggerLine(Family family) : family_(family) {}

  // The configuration makes the line an output (Ka/Vel codes 9 and 1, Rix
  // 0x19 and 0x09): it can then start nothing and sample nothing.
  bool isOutput() const;
  // Configuration after a peripheral reset: Ka/Vel code 2, Rix 0 (disabled).
  void reset();

  uint32_t code = 0;
  bool level = false;

 private:
  Family family_;
};

}  // namespace qsim
