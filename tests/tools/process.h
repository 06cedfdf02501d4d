// Runs a program with captured stdout and stderr and a time limit: the CLI
// tests run the qelomsr tool exactly as a user would, optionally under the
// virtual USB bus runner. A Process runs while the test drives the emulator
// through the runner's control channel and can show what the program wrote
// so far.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace qtest {

struct ProcessResult {
  int exitCode = -1;  // -1: killed after the time limit or by a signal
  bool timedOut = false;
  std::string out;
  std::string err;
};

// A started program. Its output goes to anonymous in-memory files, so it
// never blocks on a full pipe however long the test takes to look.
class Process {
 public:
  explicit Process(const std::vector<std::string>& argv) {
    out_ = memfd_create("stdout", MFD_CLOEXEC);
    err_ = memfd_create("stderr", MFD_CLOEXEC);
    if (out_ < 0 || err_ < 0) {
      startError_ = "cannot create output files";
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_, STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      pid_ = -1;
      startError_ = "cannot start " + argv[0];
    }
  }

  ~Process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }

  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // What the program wrote so far.
  std::string out() const { return contents(out_); }
  std::string err() const { return startError_.empty() ? contents(err_) : startError_; }

  // False once the program has ended (or never started).
  bool running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      if (WIFEXITED(status)) exitCode_ = WEXITSTATUS(status);
      return false;
    }
    return true;
  }

  // Waits for the end of the program, killing it after `limit`.
  ProcessResult finish(std::chrono::seconds limit) {
    ProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (running()) {
      if (std::chrono::steady_clock::now() >= deadline) {
        result.timedOut = true;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!result.timedOut) result.exitCode = exitCode_;
    result.out = out();
    result.err = err();
    return result;
  }

 private:
  static std::string contents(int fd) {
    std::string text;
    if (fd < 0) return text;
    char buf[4096];
    for (off_t at = 0;;) {
      const ssize_t n = pread(fd, buf, sizeof buf, at);
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
      at += n;
    }
    return text;
  }

  pid_t pid_ = -1;
  int exitCode_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string startError_;
};

inline ProcessResult runProcess(const std::vector<std::string>& argv,
                                std::chrono::seconds limit = std::chrono::seconds(120)) {
  return Process(argv).finish(limit);
}

// Polls cond every 10 ms until it holds or the (generous) limit passes.
inline bool pollUntil(const std::function<bool()>& cond,
                      std::chrono::seconds limit = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace qtest
