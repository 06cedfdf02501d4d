#include "request_handoff.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qpanel {

namespace {

void addressOf(const sockaddr_storage& address, std::string& ip, int& port) {
  char text[INET6_ADDRSTRLEN] = {0};
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    port = ntohs(v4.sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    port = ntohs(v6.sin6_port);
  }
  ip = text;
}

// The request from memory, the answer to the socket.
class BufferedRequestStream : public httplib::Stream {
 public:
  BufferedRequestStream(int fd, const char* request, size_t size,
                        std::chrono::milliseconds writeTimeout)
      : fd_(fd), request_(request), size_(size), writeTimeout_(writeTimeout) {}

  bool is_readable() const override { return position_ < size_; }
  bool is_writable() const override { return waitWritable(writeTimeout_); }

  ssize_t read(char* ptr, size_t size) override {
    const size_t n = std::min(size, size_ - position_);
    std::memcpy(ptr, request_ + position_, n);
    position_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    const auto deadline = std::chrono::steady_clock::now() + writeTimeout_;
    for (;;) {
      const ssize_t n = send(fd_, ptr, size, MSG_NOSIGNAL);
      if (n >= 0) return n;
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !waitWritable(left)) return -1;
    }
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      addressOf(address, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      addressOf(address, ip, port);
  }
  socket_t socket() const override { return fd_; }

 private:
  bool waitWritable(std::chrono::milliseconds timeout) const {
    pollfd p{fd_, POLLOUT, 0};
    int ready;
    do {
      ready = poll(&p, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
  }

  const int fd_;
  const char* const request_;
  const size_t size_;
  size_t position_ = 0;
  const std::chrono::milliseconds writeTimeout_;
};

}  // namespace

bool RequestHandoff::serve(Connection& connection, size_t requestBytes) {
  BufferedRequestStream stream(connection.fd, connection.buffer.data(), requestBytes,
                               writeTimeout_);
  bool closeAfter = false;
  const bool answered = process_request(stream, false, closeAfter, nullptr);
  connection.buffer.erase(0, requestBytes);
  return answered && !closeAfter && svr_sock_ != INVALID_SOCKET;
}

}  // namespace qpanel
