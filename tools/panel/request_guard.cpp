#include "request_guard.h"

#include <algorithm>
#include <cctype>

namespace qpanel {

namespace {

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// The media type of a Content-Type value, without parameters ("; charset=").
std::string mediaType(const std::string& contentType) {
  return lower(trimmed(contentType.substr(0, contentType.find(';'))));
}

}  // namespace

bool isStateChanging(const std::string& method) { return method != "GET" && method != "HEAD"; }

RequestGuard::RequestGuard(std::vector<std::string> authorities) {
  for (auto& a : authorities) authorities_.push_back(lower(a));
}

bool RequestGuard::ownHost(const std::string& host) const {
  const std::string wanted = lower(trimmed(host));
  return std::find(authorities_.begin(), authorities_.end(), wanted) != authorities_.end();
}

bool RequestGuard::ownOrigin(const std::string& origin) const {
  const std::string wanted = lower(trimmed(origin));
  const std::string scheme = "http://";
  if (wanted.compare(0, scheme.size(), scheme) != 0) return false;
  return std::find(authorities_.begin(), authorities_.end(), wanted.substr(scheme.size())) !=
         authorities_.end();
}

std::optional<Refusal> RequestGuard::check(const std::string& method, const std::string& path,
                                           const std::string* host, const std::string* origin,
                                           const std::string* contentType) const {
  if (host == nullptr || !ownHost(*host))
    return Refusal{421, "This panel answers only requests addressed to itself (Host header)."};
  const bool api = path.compare(0, 5, "/api/") == 0 || path == "/api";
  if (!api) {
    if (isStateChanging(method)) return Refusal{405, "Only GET and HEAD are served here."};
    return std::nullopt;
  }
  if (origin != nullptr && !ownOrigin(*origin))
    return Refusal{403, "Cross-origin request refused."};
  if (!isStateChanging(method)) return std::nullopt;
  if (method != "POST") return Refusal{405, "The panel's API takes GET and POST only."};
  if (origin == nullptr)
    return Refusal{403,
                   "A request that changes anything must come from the panel's page (Origin)."};
  if (contentType == nullptr || mediaType(*contentType) != "application/json")
    return Refusal{415, "The panel's API takes JSON (Content-Type: application/json)."};
  return std::nullopt;
}

}  // namespace qpanel
