// The panel's HTTP server: serves the page's files and the JSON API over the
// device sessions, with a server-sent event stream per page for live data.
// Listens on a loopback address only; every request passes the RequestGuard
// before routing.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qpanel {

struct PanelOptions {
  std::string address = "127.0.0.1";  // a loopback address: 127.x.y.z or ::1
  int port = 8321;                    // 0: any free port
  std::string startDevice;            // the device the page opens at once
};

// True for the addresses the panel may listen on.
bool isLoopbackAddress(const std::string& address);

class PanelServer {
 public:
  explicit PanelServer(PanelOptions options);
  ~PanelServer();
  PanelServer(const PanelServer&) = delete;
  PanelServer& operator=(const PanelServer&) = delete;

  // Binds the listening socket; returns the port. Throws std::runtime_error.
  int bind();
  // The page's URLs ("http://127.0.0.1:8321/", "http://localhost:8321/").
  std::vector<std::string> urls() const;
  // Serves until stop() is called from another thread.
  void serve();
  // Closes every device and ends serve().
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qpanel
