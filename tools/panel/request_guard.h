// The panel's first line of defence, applied to every request before routing.
// The page drives outputs of physical hardware, so a request is served only
// when it provably comes from the panel's own page:
//  - its Host header names the panel as served (against DNS rebinding: a
//    foreign name resolving to 127.0.0.1 still carries that foreign name);
//  - under /api/, an Origin header, when present, is the panel's own;
//  - under /api/, a request that changes anything (every method but GET and
//    HEAD) must carry the panel's own Origin and the content type
//    application/json. Browsers send Origin with every such request; a
//    request without one did not come from a page and is refused too. The
//    JSON content type is not one a cross-site form can send, so a foreign
//    page could only send it after a CORS preflight, which the panel never
//    grants.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qpanel {

struct Refusal {
  int status;  // HTTP status code
  std::string message;
};

class RequestGuard {
 public:
  // authorities: every host:port under which the panel is reached
  // ("127.0.0.1:8321", "localhost:8321"), compared case-insensitively.
  explicit RequestGuard(std::vector<std::string> authorities);

  // A null header pointer means the header is absent.
  std::optional<Refusal> check(const std::string& method, const std::string& path,
                               const std::string* host, const std::string* origin,
                               const std::string* contentType) const;

  const std::vector<std::string>& authorities() const { return authorities_; }

 private:
  bool ownHost(const std::string& host) const;
  bool ownOrigin(const std::string& origin) const;

  std::vector<std::string> authorities_;
};

// True for a request that may change state: anything but GET and HEAD.
bool isStateChanging(const std::string& method);

}  // namespace qpanel
