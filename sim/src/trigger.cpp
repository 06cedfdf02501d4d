// The trigger line's configuration and level.
#include "trigger.h"

namespace qsim {

bool TriggerLine::isOutput() const {
  if (family_ == Family::Rix) return code == 0x19 || code == 0x09;
  return code == 9 || code == 1;
}

void TriggerLine::reset() { code = family_ == Family::Rix ? 0 : 2; }

}  // namespace qsim
