// The virtual USB bus runner's control socket, as the process tests use it.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace qtest {

// One command on the runner's control socket; returns its reply lines.
inline std::string vbusControl(const std::string& socketPath, const std::string& line) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string text = line + "\n";
    if (write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())) {
      char buffer[4096];
      for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        reply.append(buffer, static_cast<size_t>(n));
        if (reply.find("ok\n") != std::string::npos || reply.find("error") != std::string::npos)
          break;
      }
    }
  }
  close(fd);
  return reply;
}

}  // namespace qtest
