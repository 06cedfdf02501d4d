#include "panel_server.h"

#include <arpa/inet.h>
#include <qelomsr/qelomsr.h>

#include <atomic>
#include <functional>
#include <optional>
#include <stdexcept>

#include "connection_guard.h"
#include "panel_api.h"
#include "request_guard.h"
#include "request_handoff.h"
#include "session_registry.h"
#include "web_assets.h"
#include "work_pool.h"

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
// Workers for requests, taken in turns by the pages (by token) and by other
// clients (by address), each with a few at once; a page's event streams have
// workers of their own, two per page (a reload briefly has two).
constexpr WorkPool::Limits kRequestWorkers{8, 4, 32, 256};
constexpr WorkPool::Limits kEventWorkers{16, 2, 0, 0};
// Longest wait for a client to take a part of an answer.
constexpr std::chrono::milliseconds kWriteTimeout{10000};

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
  RequestHandoff server{kWriteTimeout};
  std::unique_ptr<RequestGuard> guard;
  SessionRegistry registry{SessionOptions{}, kOwnerGrace};
  std::unique_ptr<PanelApi> api;
  ConnectionGuard connections{GuardOptions{},
                              [this](ReadyRequest&& r) { return dispatch(std::move(r)); }};
  // After the guard: their workers hand connections back to it.
  WorkPool requestWorkers{kRequestWorkers};
  WorkPool eventWorkers{kEventWorkers};
  std::atomic<bool> stopping{false};
  int port = 0;

  std::optional<Refusal> dispatch(ReadyRequest&& request);

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
  s.port = s.connections.listen(s.options.address, s.options.port);
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

void PanelServer::serve() {
  impl_->server.serving(impl_->connections.listeningSocket());
  impl_->connections.run();
}

void PanelServer::stop() {
  if (impl_->stopping.exchange(true)) return;
  impl_->registry.closeAll();  // ends the pages' event streams too
  impl_->server.stopping();
  impl_->connections.stop();
  impl_->eventWorkers.stop();
  impl_->requestWorkers.stop();
}

std::optional<Refusal> PanelServer::Impl::dispatch(ReadyRequest&& request) {
  auto job = [this, connection = request.connection, bytes = request.bytes] {
    if (server.serve(*connection, bytes)) connections.resume(connection);
  };
  // Only a page's own token earns it workers of its own: a token is secret.
  const bool page = !request.token.empty() && registry.hasToken(request.token);
  if (page && request.method == "GET" && request.path == "/api/events") {
    if (eventWorkers.submit(request.token, job)) return std::nullopt;
    return Refusal{429, "This page has as many event streams open as it may."};
  }
  const std::string key = page ? "page " + request.token : "client " + request.connection->client;
  if (requestWorkers.submit(key, job)) return std::nullopt;
  return Refusal{503, "The panel has too many requests of this client waiting; try again."};
}

void PanelServer::Impl::routes() {
  server.set_default_headers(kSecurityHeaders);
  // What the answers tell clients about keeping connections open: the guard
  // holds an idle connection this long.
  server.set_keep_alive_timeout(
      std::chrono::duration_cast<std::chrono::seconds>(GuardOptions{}.idleTimeout).count());
  server.set_keep_alive_max_count(1000);
  // The guard bounds bodies already; this is the library's own check on top.
  server.set_payload_max_length(GuardOptions{}.framing.bodyBytes);

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
