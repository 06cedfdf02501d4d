// The panel's JSON API: parses and checks every request body strictly (known
// fields only, types, finite numbers, bounds) before it reaches a device
// session, and answers with JSON ({"error": "..."} on failure).
//
//   GET  /api/config                  version, the device to open at start
//   GET  /api/devices                 attached devices and their state
//   POST /api/open   {"device", "discard"?}  opens a device for this page -> token
//   POST /api/close  {"discard"?}     closes this page's device
//   GET  /api/state                   the device, its settings and connection
//   POST /api/range  {"input", "range"}
//   POST /api/output {"output", "volts"}
//   POST /api/port   {"port", "outputEnable"?, "levels"?}
//   POST /api/led    {"on"}
//   POST /api/counter {"enable"?, "reset"?}
//   POST /api/stream/start {"channels", "rate", "discard"?}
//   POST /api/log/start {"channels", "everySeconds", "discard"?}   a slow log
//   POST /api/stream/stop             stops the stream or the slow log
//   POST /api/save   {"format": "csv" | "hdf5"} -> the file
//   GET  /api/events?token=...        server-sent events of this page's device
//
// Requests about a device carry the page's token (header X-Panel-Token). A
// request that would discard a recording not saved yet is refused with 409
// and {"code": "unsaved"} unless it says "discard": true.
#pragma once

#include <atomic>
#include <string>

namespace httplib {
class Server;
struct Response;
}  // namespace httplib

namespace qpanel {

class SessionRegistry;

// Answers with {"error": message, "code": code (when not empty)} and the status.
void sendError(httplib::Response& res, int status, const std::string& message,
               const std::string& code = "");

class PanelApi {
 public:
  PanelApi(SessionRegistry& registry, std::string startDevice, const std::atomic<bool>& stopping);
  void install(httplib::Server& server);

 private:
  SessionRegistry& registry_;
  std::string startDevice_;
  const std::atomic<bool>& stopping_;
};

}  // namespace qpanel
