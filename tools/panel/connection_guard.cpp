#include "connection_guard.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace qpanel {

namespace {

// A refused request's connection is read (and the bytes dropped) for a
// while after the answer, so that a client still sending gets to read the
// answer instead of a reset: closing with unread bytes resets the connection,
// and the client's system then drops what it had not read yet.
constexpr std::chrono::milliseconds kLinger{5000};
constexpr size_t kReadBlock = 16 * 1024;

const char* reasonPhrase(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 408:
      return "Request Timeout";
    case 413:
      return "Payload Too Large";
    case 415:
      return "Unsupported Media Type";
    case 417:
      return "Expectation Failed";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 501:
      return "Not Implemented";
    default:
      return "Service Unavailable";
  }
}

std::string peerAddress(const sockaddr_storage& peer) {
  char text[INET6_ADDRSTRLEN] = {0};
  if (peer.ss_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, text, sizeof text);
  else if (peer.ss_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr, text, sizeof text);
  return text;
}

std::runtime_error socketError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno) + ".");
}

}  // namespace

Connection::~Connection() { ::close(fd); }

ConnectionGuard::ConnectionGuard(GuardOptions options, Dispatch dispatch)
    : options_(options), dispatch_(std::move(dispatch)) {
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_ < 0) throw socketError("Cannot create an event descriptor");
}

ConnectionGuard::~ConnectionGuard() {
  held_.clear();
  if (listener_ >= 0) ::close(listener_);
  ::close(wake_);
}

int ConnectionGuard::listen(const std::string& address, int port) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof *v4;
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof *v6;
  } else {
    throw std::runtime_error("Cannot listen on " + address + ": not an address.");
  }
  const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw socketError("Cannot create a socket");
  const int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (storage.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
      ::listen(fd, SOMAXCONN) != 0) {
    const auto error = socketError("Cannot listen on " + address + ":" + std::to_string(port));
    ::close(fd);
    throw error;
  }
  getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
  listener_ = fd;
  return ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
}

void ConnectionGuard::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    returned_.clear();
  }
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wake_, &one, sizeof one);
}

void ConnectionGuard::resume(std::shared_ptr<Connection> connection) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;  // the connection closes here
    returned_.push_back(std::move(connection));
  }
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wake_, &one, sizeof one);
}

void ConnectionGuard::run() {
  std::vector<pollfd> fds;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
    }
    Clock::time_point now = Clock::now();
    Clock::time_point next = now + options_.idleTimeout;
    fds.clear();
    fds.push_back({listener_, POLLIN, 0});
    fds.push_back({wake_, POLLIN, 0});
    for (const auto& [fd, held] : held_) {
      fds.push_back({fd, POLLIN, 0});
      next = std::min(next, held.deadline);
    }
    const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    const int ready =
        poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, waitMs)));
    if (ready < 0 && errno != EINTR) throw socketError("Waiting for connections failed");
    now = Clock::now();
    if (fds[1].revents != 0) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = read(wake_, &count, sizeof count);
      takeBack(now);
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      auto it = held_.find(fds[i].fd);
      if (it == held_.end()) continue;
      Held& held = it->second;
      bool keep = true;
      if (fds[i].revents != 0) keep = readFrom(held, now);
      if (keep && held.connection && now >= held.deadline) {
        if (held.phase == Phase::Reading)
          answerAndClose(held, 408, "The request did not arrive in time.", now);
        else
          keep = false;  // idle too long, or done lingering after an answer
      }
      if (!keep || !held.connection) held_.erase(it);
    }
    if (fds[0].revents != 0) acceptAll(now);
  }
  held_.clear();
  ::close(listener_);
  listener_ = -1;
}

void ConnectionGuard::acceptAll(Clock::time_point now) {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN, or a connection that went away; the next poll says more
    const int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    auto connection = std::make_shared<Connection>(fd, peerAddress(peer));
    makeRoom(connection->client);
    Held held{connection, Phase::Idle, now + options_.idleTimeout, now,
              RequestFramer(options_.framing)};
    held_.emplace(fd, std::move(held));
  }
}

void ConnectionGuard::makeRoom(const std::string& client) {
  // The connection that has waited longest goes: it has had its chance.
  for (int pass = 0; pass < 2; ++pass) {
    const bool perClient = pass == 0;
    size_t count = 0;
    auto oldest = held_.end();
    for (auto it = held_.begin(); it != held_.end(); ++it) {
      if (perClient && it->second.connection->client != client) continue;
      ++count;
      if (oldest == held_.end() || it->second.since < oldest->second.since) oldest = it;
    }
    const size_t limit = perClient ? options_.maxConnectionsPerClient : options_.maxConnections;
    if (count >= limit && oldest != held_.end()) held_.erase(oldest);
  }
}

bool ConnectionGuard::readFrom(Held& held, Clock::time_point now) {
  Connection& c = *held.connection;
  // A bounded amount per turn: one fast sender must not keep the others waiting.
  for (int turn = 0; turn < 64; ++turn) {
    char block[kReadBlock];
    const ssize_t n = recv(c.fd, block, sizeof block, 0);
    if (n == 0) return false;  // the client closed
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (held.phase == Phase::Closing) continue;
    if (held.phase == Phase::Idle) {
      held.phase = Phase::Reading;
      held.deadline = now + options_.requestTimeout;
    }
    c.buffer.append(block, static_cast<size_t>(n));
    if (!examine(held, now)) return true;  // handed on or answered
    if (static_cast<size_t>(n) < sizeof block) return true;
  }
  return true;
}

bool ConnectionGuard::examine(Held& held, Clock::time_point now) {
  Connection& c = *held.connection;
  switch (held.framer.scan(c.buffer.data(), c.buffer.size())) {
    case RequestFramer::Result::NeedMore:
      return true;
    case RequestFramer::Result::Refused:
      answerAndClose(held, held.framer.refusalStatus(), held.framer.refusalMessage(), now);
      return false;
    case RequestFramer::Result::Complete:
      break;
  }
  ReadyRequest request{held.connection, held.framer.requestBytes(), held.framer.method(),
                       held.framer.path(), held.framer.token()};
  const std::optional<Refusal> refusal = dispatch_(std::move(request));
  if (refusal) {
    answerAndClose(held, refusal->status, refusal->message, now);
  } else {
    held.connection.reset();  // a worker has it now
  }
  return false;
}

void ConnectionGuard::answerAndClose(Held& held, int status, const std::string& message,
                                     Clock::time_point now) {
  const std::string body = nlohmann::json{{"error", message}}.dump();
  const std::string answer =
      "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) +
      "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\nConnection: close\r\nCache-Control: no-store\r\n"
      "X-Content-Type-Options: nosniff\r\n\r\n" +
      body;
  // Small enough for the socket's buffer: written at once or not at all.
  [[maybe_unused]] const ssize_t n =
      send(held.connection->fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  shutdown(held.connection->fd, SHUT_WR);
  held.connection->buffer.clear();
  held.connection->buffer.shrink_to_fit();
  held.phase = Phase::Closing;
  held.deadline = now + kLinger;
}

void ConnectionGuard::takeBack(Clock::time_point now) {
  std::vector<std::shared_ptr<Connection>> back;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    back.swap(returned_);
  }
  for (auto& connection : back) {
    const int fd = connection->fd;
    makeRoom(connection->client);
    Held held{std::move(connection), Phase::Idle, now + options_.idleTimeout, now,
              RequestFramer(options_.framing)};
    if (!held.connection->buffer.empty()) {
      // The client sent its next request already.
      held.phase = Phase::Reading;
      held.deadline = now + options_.requestTimeout;
      examine(held, now);
      if (!held.connection) continue;  // handed on again
    }
    held_.emplace(fd, std::move(held));
  }
}

}  // namespace qpanel
