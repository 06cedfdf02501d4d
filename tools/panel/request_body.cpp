#include "request_body.h"

#include <cmath>

#include "panel_error.h"

namespace qpanel {

using nlohmann::json;

namespace {

constexpr size_t kMaxText = 256;

[[noreturn]] void bad(const std::string& message) { throw PanelError(kBadRequest, message); }

std::string quoted(const char* field) { return std::string("'") + field + "'"; }

long long toInteger(const json& v, const char* field, long long min, long long max) {
  const std::string range =
      " must be an integer from " + std::to_string(min) + " to " + std::to_string(max) + ".";
  if (v.is_number_unsigned()) {
    const auto u = v.get<unsigned long long>();
    if (u > static_cast<unsigned long long>(max)) bad(quoted(field) + range);
    return static_cast<long long>(u);
  }
  if (v.is_number_integer()) {
    const auto i = v.get<long long>();
    if (i < min || i > max) bad(quoted(field) + range);
    return i;
  }
  bad(quoted(field) + range);
}

std::string toText(const json& v, const char* field) {
  if (!v.is_string()) bad(quoted(field) + " must be a text.");
  const auto& s = v.get_ref<const std::string&>();
  if (s.empty() || s.size() > kMaxText)
    bad(quoted(field) + " must be 1 to " + std::to_string(kMaxText) + " characters long.");
  return s;
}

}  // namespace

RequestBody::RequestBody(const std::string& text, std::initializer_list<const char*> fields) {
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
    json_ = json::object();
  } else {
    try {
      json_ = json::parse(text);
    } catch (const json::exception&) {
      bad("The request body is not valid JSON.");
    }
  }
  if (!json_.is_object()) bad("The request body must be a JSON object.");
  for (auto it = json_.begin(); it != json_.end(); ++it) {
    bool known = false;
    for (const char* f : fields) known = known || it.key() == f;
    if (!known) bad("Unknown field '" + it.key().substr(0, kMaxText) + "'.");
  }
}

const json& RequestBody::required(const char* field) const {
  auto it = json_.find(field);
  if (it == json_.end()) bad("The field " + quoted(field) + " is missing.");
  return *it;
}

std::string RequestBody::text(const char* field) const { return toText(required(field), field); }

double RequestBody::number(const char* field) const {
  const json& v = required(field);
  if (!v.is_number()) bad(quoted(field) + " must be a number.");
  const double d = v.get<double>();
  if (!std::isfinite(d)) bad(quoted(field) + " must be a finite number.");
  return d;
}

long long RequestBody::integer(const char* field, long long min, long long max) const {
  return toInteger(required(field), field, min, max);
}

std::optional<long long> RequestBody::optionalInteger(const char* field, long long min,
                                                      long long max) const {
  auto it = json_.find(field);
  if (it == json_.end() || it->is_null()) return std::nullopt;
  return toInteger(*it, field, min, max);
}

bool RequestBody::flag(const char* field) const {
  const json& v = required(field);
  if (!v.is_boolean()) bad(quoted(field) + " must be true or false.");
  return v.get<bool>();
}

std::optional<bool> RequestBody::optionalFlag(const char* field) const {
  auto it = json_.find(field);
  if (it == json_.end() || it->is_null()) return std::nullopt;
  if (!it->is_boolean()) bad(quoted(field) + " must be true or false.");
  return it->get<bool>();
}

std::vector<std::string> RequestBody::texts(const char* field, size_t maxCount) const {
  const json& v = required(field);
  if (!v.is_array() || v.size() > maxCount)
    bad(quoted(field) + " must be a list of at most " + std::to_string(maxCount) + " names.");
  std::vector<std::string> out;
  for (const auto& item : v) out.push_back(toText(item, field));
  return out;
}

}  // namespace qpanel
