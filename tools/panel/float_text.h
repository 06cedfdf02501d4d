// Values for the page's JSON. A float32 of the library goes out as the
// shortest decimal that reads back as the same float32 (0.01, not
// 0.009999999776482582): JSON numbers are doubles, and the double nearest to
// that decimal prints as that decimal.
#pragma once

#include <nlohmann/json.hpp>

namespace qpanel {

// The value as above; null when it is not finite.
nlohmann::json float32Json(float value);

}  // namespace qpanel
