// The panel's listening socket and every connection between two requests.
//
// One thread accepts connections and reads their requests without blocking,
// each whole (RequestFramer) and within limits of time and size, before any
// worker sees it: a client that sends its header slowly, sends nothing, or
// keeps a connection open between requests costs a socket here and no worker.
// A request that breaks a limit is answered by the guard itself (400, 408,
// 413, 431, ...) and its connection closed. A complete request goes to the
// dispatcher, which hands it to a worker or refuses it; a worker gives the
// connection back with resume() when the answer is written and the client
// keeps the connection open.
//
// Connections are bounded in number, in total and per client address; a new
// connection beyond the bound pushes out the one that has been waiting longest.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "request_framing.h"
#include "request_guard.h"

namespace qpanel {

struct GuardOptions {
  size_t maxConnections = 512;
  size_t maxConnectionsPerClient = 384;
  // A connection may wait this long for the first byte of its next request.
  std::chrono::milliseconds idleTimeout{30000};
  // A request must be complete this long after its first byte.
  std::chrono::milliseconds requestTimeout{10000};
  FramingLimits framing;
};

// A connection with the bytes read from it and not yet served.
struct Connection {
  explicit Connection(int fd, std::string client) : fd(fd), client(std::move(client)) {}
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const int fd;
  const std::string client;  // the peer's address
  std::string buffer;        // from the first byte of the next request
};

// A complete request, as the dispatcher gets it.
struct ReadyRequest {
  std::shared_ptr<Connection> connection;
  size_t bytes;  // the request's length at the start of connection->buffer
  std::string method, path, token;
};

class ConnectionGuard {
 public:
  // Takes a request to a worker, or refuses it (the guard answers with the
  // refusal and closes the connection).
  using Dispatch = std::function<std::optional<Refusal>(ReadyRequest&&)>;

  ConnectionGuard(GuardOptions options, Dispatch dispatch);
  ~ConnectionGuard();
  ConnectionGuard(const ConnectionGuard&) = delete;
  ConnectionGuard& operator=(const ConnectionGuard&) = delete;

  // Listens on a loopback address (port 0: any free port); returns the port.
  // Throws std::runtime_error.
  int listen(const std::string& address, int port);
  int listeningSocket() const { return listener_; }
  // Serves until stop(); closes every connection it holds when it ends.
  void run();
  // Ends run(); connections given back later are closed.
  void stop();
  // A worker is done with a request and the connection stays open.
  void resume(std::shared_ptr<Connection> connection);

 private:
  enum class Phase { Idle, Reading, Closing };
  struct Held {
    std::shared_ptr<Connection> connection;
    Phase phase = Phase::Idle;
    std::chrono::steady_clock::time_point deadline;
    std::chrono::steady_clock::time_point since;  // when it began to wait
    RequestFramer framer;
  };
  using Clock = std::chrono::steady_clock;

  void acceptAll(Clock::time_point now);
  void makeRoom(const std::string& client);
  // Reads what arrived; false when the connection is to go.
  bool readFrom(Held& held, Clock::time_point now);
  // Looks for a complete request in what was read; false when the connection left.
  bool examine(Held& held, Clock::time_point now);
  void answerAndClose(Held& held, int status, const std::string& message, Clock::time_point now);
  void takeBack(Clock::time_point now);

  const GuardOptions options_;
  const Dispatch dispatch_;
  int listener_ = -1;
  int wake_ = -1;  // eventfd: stop() and resume() wake the loop
  std::map<int, Held> held_;

  std::mutex mutex_;  // guards the fields below
  bool stopping_ = false;
  std::vector<std::shared_ptr<Connection>> returned_;
};

}  // namespace qpanel
