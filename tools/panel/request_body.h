// Strict reading of a JSON request body: a malformed body, a field the request
// does not know, a missing field, a wrong type, a number that is not finite or
// an integer out of bounds all fail with PanelError (400) naming the field,
// before anything is done.
#pragma once

#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace qpanel {

class RequestBody {
 public:
  // An empty text counts as {}.
  RequestBody(const std::string& text, std::initializer_list<const char*> fields);

  std::string text(const char* field) const;
  double number(const char* field) const;
  long long integer(const char* field, long long min, long long max) const;
  std::optional<long long> optionalInteger(const char* field, long long min, long long max) const;
  bool flag(const char* field) const;
  std::optional<bool> optionalFlag(const char* field) const;
  std::vector<std::string> texts(const char* field, size_t maxCount) const;

 private:
  const nlohmann::json& required(const char* field) const;
  nlohmann::json json_;
};

}  // namespace qpanel
