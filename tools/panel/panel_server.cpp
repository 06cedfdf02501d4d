#include "panel_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <qelomsr/qelomsr.h>

#include <atomic>
#include <functional>
#include <stdexcept>

#include "panel_api.h"
#include "request_guard.h"
#include "session_registry.h"
#include "web_assets.h"

namespace qpanel {

using nlohmann::json;

bool isLoopbackAddress(const std::string& address) {
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return false;
}

namespace {

// A page that reloads gets its device back if it returns within this time.
constexpr std::chrono::milliseconds kOwnerGrace{10000};
// Connections served at once: each page holds one for its event stream and a
// few for requests.
constexpr size_t kThreads = 16;

const httplib::Headers kSecurityHeaders = {
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
    {"Content-Security-Policy",
     "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
     "connect-src 'self'; object-src 'none'; base-uri 'none'; frame-ancestors 'none'; "
     "form-action 'none'"}};

}  // namespace

struct PanelServer::Impl {
  PanelOptions options;
  httplib::Server server;
  std::unique_ptr<RequestGuard> guard;
  SessionRegistry registry{SessionOptions{}, kOwnerGrace};
  std::unique_ptr<PanelApi> api;
  std::atomic<bool> stopping{false};
  int port = 0;

  std::string authority(const std::string& host) const { return host + ":" + std::to_string(port); }
  std::string hostForUrl() const {
    return options.address.find(':') != std::string::npos ? "[" + options.address + "]"
                                                          : options.address;
  }
  void routes();
};

PanelServer::PanelServer(PanelOptions options) : impl_(std::make_unique<Impl>()) {
  if (!isLoopbackAddress(options.address))
    throw std::invalid_argument(
        "The panel listens on a loopback address only (127.0.0.1 or ::1), not '" + options.address +
        "'.");
  if (options.port < 0 || options.port > 65535)
    throw std::invalid_argument("The port must be 0 to 65535.");
  impl_->options = std::move(options);
}

PanelServer::~PanelServer() { stop(); }

int PanelServer::bind() {
  Impl& s = *impl_;
  if (s.options.address.find(':') != std::string::npos)
    s.server.set_address_family(AF_INET6);
  else
    s.server.set_address_family(AF_INET);
  if (s.options.port == 0) {
    s.port = s.server.bind_to_any_port(s.options.address);
    if (s.port < 0) throw std::runtime_error("Cannot listen on " + s.options.address + ".");
  } else {
    if (!s.server.bind_to_port(s.options.address, s.options.port))
      throw std::runtime_error("Cannot listen on " + s.hostForUrl() + ":" +
                               std::to_string(s.options.port) + " (in use?).");
    s.port = s.options.port;
  }
  s.guard = std::make_unique<RequestGuard>(
      std::vector<std::string>{s.authority(s.hostForUrl()), s.authority("localhost")});
  s.api = std::make_unique<PanelApi>(s.registry, s.options.startDevice, s.stopping);
  s.routes();
  return s.port;
}

std::vector<std::string> PanelServer::urls() const {
  return {"http://" + impl_->authority(impl_->hostForUrl()) + "/",
          "http://" + impl_->authority("localhost") + "/"};
}

void PanelServer::serve() { impl_->server.listen_after_bind(); }

void PanelServer::stop() {
  if (impl_->stopping.exchange(true)) return;
  impl_->registry.closeAll();  // ends the pages' event streams too
  impl_->server.stop();
}

void PanelServer::Impl::routes() {
  server.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  server.set_default_headers(kSecurityHeaders);
  server.set_keep_alive_timeout(2);
  server.set_read_timeout(10);
  server.set_write_timeout(10);
  server.set_payload_max_length(64 * 1024);

  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    auto header = [&](const char* name) -> const std::string* {
      auto it = req.headers.find(name);
      return it == req.headers.end() ? nullptr : &it->second;
    };
    if (req.headers.count("Host") > 1 || req.headers.count("Origin") > 1) {
      sendError(res, 400, "A request may carry one Host and one Origin header.");
      return httplib::Server::HandlerResponse::Handled;
    }
    const auto refusal = guard->check(req.method, req.path, header("Host"), header("Origin"),
                                      header("Content-Type"));
    if (!refusal) return httplib::Server::HandlerResponse::Unhandled;
    sendError(res, refusal->status, refusal->message);
    return httplib::Server::HandlerResponse::Handled;
  });

  for (const WebAsset& asset : webAssets()) {
    auto serveAsset = [&asset](const httplib::Request&, httplib::Response& res) {
      res.set_content(reinterpret_cast<const char*>(asset.data), asset.size, asset.contentType);
    };
    server.Get(asset.path, serveAsset);
    if (std::string(asset.path) == "/index.html") server.Get("/", serveAsset);
  }
  api->install(server);

  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return;
    switch (res.status) {
      case 404:
        return sendError(res, res.status, "Not found.");
      case 413:
        return sendError(res, res.status, "The request body is too large.");
      default:
        return sendError(res, res.status, "The request cannot be served.");
    }
  });
  server.set_exception_handler([](const httplib::Request&, httplib::Response& res,
                                  std::exception_ptr) { sendError(res, 500, "Internal error."); });
}

}  // namespace qpanel
