#include "float_text.h"

#include <cmath>
#include <cstdlib>

#include "recording.h"

namespace qpanel {

nlohmann::json float32Json(float value) {
  if (!std::isfinite(value)) return nullptr;
  char text[qrec::kNumberTextSize + 1];
  *qrec::appendNumber(text, value) = '\0';
  return std::strtod(text, nullptr);
}

}  // namespace qpanel
