// Runs a program on a pseudo terminal, as a user in a terminal window would:
// the program leads a session whose controlling terminal is the pty, its
// standard streams are the terminal, and keys typed into it (Ctrl-C) reach
// its foreground process group from the kernel's line discipline.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace qtest {

class Terminal {
 public:
  explicit Terminal(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~Terminal() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  bool started() const { return pid_ > 0 && master_ >= 0; }

  // Types text as keys ("\x03" is Ctrl-C).
  void type(const std::string& keys) {
    if (write(master_, keys.data(), keys.size()) < 0) return;
  }

  // Everything the terminal showed so far.
  const std::string& screen() {
    read(0);
    return screen_;
  }

  // Waits (bounded) until cond holds, reading the terminal meanwhile.
  bool waitFor(const std::function<bool()>& cond,
               std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      read(10);
    }
    return true;
  }

  // Waits for the program's end and returns its exit code (-1: killed or
  // still running after the limit).
  int finish(std::chrono::seconds limit = std::chrono::seconds(60)) {
    int code = -1;
    waitFor(
        [&] {
          int status = 0;
          if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) != pid_) return false;
          pid_ = -1;
          if (WIFEXITED(status)) code = WEXITSTATUS(status);
          return true;
        },
        limit);
    read(0);
    return code;
  }

 private:
  // Reads what the terminal shows, waiting at most timeoutMs for it.
  void read(int timeoutMs) {
    pollfd p{master_, POLLIN, 0};
    while (poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN) != 0) {
      char buf[4096];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) return;
      screen_.append(buf, static_cast<size_t>(n));
      timeoutMs = 0;
    }
  }

  pid_t pid_ = -1;
  int master_ = -1;
  std::string screen_;
};

}  // namespace qtest
