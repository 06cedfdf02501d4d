// cpp-httplib's request processing (routing, handlers, writing the answer) for
// requests that the ConnectionGuard has read whole: the library reads the
// request from memory, never from the socket, so that reading stays bounded
// in time and size; it writes the answer to the socket, every write bounded
// in time.
#pragma once

#include <httplib.h>

#include <chrono>

#include "connection_guard.h"

namespace qpanel {

class RequestHandoff : public httplib::Server {
 public:
  explicit RequestHandoff(std::chrono::milliseconds writeTimeout) : writeTimeout_(writeTimeout) {}

  // Answers the request at the start of the connection's buffer and drops its
  // bytes; true when the connection stays open for the client's next request.
  bool serve(Connection& connection, size_t requestBytes);
  // Answers that stream (the pages' event streams) run while the panel
  // serves, and end once it stops.
  void serving(int listeningSocket) { svr_sock_ = listeningSocket; }
  void stopping() { svr_sock_ = INVALID_SOCKET; }

 private:
  const std::chrono::milliseconds writeTimeout_;
};

}  // namespace qpanel
