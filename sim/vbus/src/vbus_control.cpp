#include "qsim/vbus_control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace qsim {

const char* const kVbusControlEnv = "QELOMSR_VBUS_CONTROL";

namespace {

constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxClients = 16;

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (path.size() >= sizeof a.sun_path) {
    throw std::invalid_argument("virtual USB bus: control socket path too long: " + path);
  }
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  return a;
}

void sendAll(int fd, const std::string& text) {
  size_t off = 0;
  while (off < text.size()) {
    const ssize_t n = send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the client went away
    off += static_cast<size_t>(n);
  }
}

}  // namespace

VbusControl::VbusControl(VirtualBus& bus, const std::string& socketPath, FaultHook faults)
    : bus_(bus), path_(socketPath), faults_(std::move(faults)) {
  const sockaddr_un a = addressOf(path_);
  listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_ < 0) throw std::runtime_error("virtual USB bus: no control socket");
  unlink(path_.c_str());
  if (bind(listen_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
      listen(listen_, 8) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
    const std::string why = std::strerror(errno);
    close(listen_);
    throw std::runtime_error("virtual USB bus: cannot listen on " + path_ + ": " + why);
  }
  thread_ = std::thread([this] { serve(); });
}

VbusControl::~VbusControl() {
  const char stop = 'x';
  while (write(wake_[1], &stop, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  close(listen_);
  close(wake_[0]);
  close(wake_[1]);
  unlink(path_.c_str());
}

std::string VbusControl::execute(const std::string& line) {
  std::istringstream in(line);
  std::string cmd, port, name, state, extra;
  in >> cmd >> port >> name >> state >> extra;
  try {
    if (cmd == "list" && port.empty()) {
      std::string out;
      for (const auto& e : bus_.list()) {
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", e.vendorId, e.productId);
        out += e.port + " " + e.uniqueId + " " + ids + " " + (e.hub ? "hub" : "device") + " " +
               (e.present ? "present" : "unplugged") + "\n";
      }
      return out + "ok\n";
    }
    if ((cmd == "unplug" || cmd == "replug" || cmd == "kick") && !port.empty() && name.empty()) {
      if (cmd == "unplug") bus_.unplug(port);
      if (cmd == "replug") bus_.replug(port);
      if (cmd == "kick") bus_.kick(port);
      return "ok\n";
    }
    if (cmd == "fault" && !state.empty() && extra.empty() && (state == "on" || state == "off")) {
      if (!faults_) return "error faults are not supported here\n";
      if (!bus_.function(port)) return "error nothing at port " + port + "\n";
      faults_(port, name, state == "on");
      bus_.kick(port);  // a cleared fault may let waiting transfers go on
      return "ok\n";
    }
    std::string reply;
    if (runAddedCommand(line, &reply)) return reply;
    return "error unknown command: " + line + "\n";
  } catch (const std::exception& e) {
    return std::string("error ") + e.what() + "\n";
  }
}

void VbusControl::addCommand(const std::string& name, CommandHandler handler) {
  std::lock_guard<std::mutex> lock(commandsMutex_);
  commands_[name] = std::move(handler);
}

bool VbusControl::runAddedCommand(const std::string& line, std::string* reply) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  if (words.empty()) return false;
  CommandHandler handler;
  {
    std::lock_guard<std::mutex> lock(commandsMutex_);
    const auto it = commands_.find(words[0]);
    if (it == commands_.end()) return false;
    handler = it->second;
  }
  words.erase(words.begin());
  *reply = handler(words);
  if (!reply->empty() && reply->back() != '\n') *reply += '\n';
  *reply += "ok\n";
  return true;
}

void VbusControl::serve() {
  struct Client {
    int fd;
    std::string buffer;
  };
  std::vector<Client> clients;
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({wake_[0], POLLIN, 0});
    fds.push_back({listen_, POLLIN, 0});
    for (const auto& c : clients) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    // Clients first: their indices match fds from 2 on.
    for (size_t i = clients.size(); i-- > 0;) {
      if (fds[i + 2].revents == 0) continue;
      Client& c = clients[i];
      char buf[512];
      const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
      bool drop = n <= 0;
      if (n > 0) {
        c.buffer.append(buf, static_cast<size_t>(n));
        size_t eol;
        while ((eol = c.buffer.find('\n')) != std::string::npos) {
          std::string line = c.buffer.substr(0, eol);
          c.buffer.erase(0, eol + 1);
          if (!line.empty() && line.back() == '\r') line.pop_back();
          if (!line.empty()) sendAll(c.fd, execute(line));
        }
        if (c.buffer.size() > kMaxLine) {
          sendAll(c.fd, "error line too long\n");
          drop = true;
        }
      }
      if (drop) {
        close(c.fd);
        clients.erase(clients.begin() + static_cast<long>(i));
      }
    }
    if ((fds[1].revents & POLLIN) != 0) {
      const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        if (clients.size() >= kMaxClients) {
          sendAll(fd, "error too many connections\n");
          close(fd);
        } else {
          clients.push_back({fd, {}});
        }
      }
    }
  }
  for (auto& c : clients) close(c.fd);
}

std::string vbusControlRequest(const std::string& socketPath, const std::string& line,
                               int timeoutMs) {
  const sockaddr_un a = addressOf(socketPath);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("virtual USB bus: no socket");
  if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    const std::string why = std::strerror(errno);
    close(fd);
    throw std::runtime_error("virtual USB bus: cannot reach " + socketPath + ": " + why);
  }
  sendAll(fd, line + "\n");
  std::string reply;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // The reply ends with its "ok" or "error" line.
    const size_t last = reply.rfind('\n', reply.empty() ? 0 : reply.size() - 2);
    const std::string tail = reply.empty() || reply.back() != '\n'
                                 ? std::string()
                                 : reply.substr(last == std::string::npos ? 0 : last + 1);
    if (tail == "ok\n" || tail.compare(0, 6, "error ") == 0) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
      close(fd);
      throw std::runtime_error("virtual USB bus: no answer from " + socketPath);
    }
    char buf[512];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      close(fd);
      throw std::runtime_error("virtual USB bus: " + socketPath + " closed the connection");
    }
    reply.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return reply;
}

}  // namespace qsim
