// A session on a terminal (a pseudo-terminal here): a prompt, line editing
// with history, and a mistyped or failing line that leaves the session and
// the device's settings as they were. Without a terminal the session keeps
// stopping at the first failing line (test_cli_daily.cpp).
#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "cli_run.h"

using ::testing::HasSubstr;
using namespace qtest;

namespace {

// The tool under the runner on a pseudo-terminal: what it printed so far,
// and keys typed on its keyboard.
class Terminal {
 public:
  explicit Terminal(const std::vector<std::string>& args) {
    std::vector<std::string> argv{kRunner, "--", kCli};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      setenv("TERM", "xterm", 1);
      std::vector<char*> raw;
      for (auto& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
      raw.push_back(nullptr);
      execv(raw[0], raw.data());
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

  void type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Waits (bounded, generously) until the screen holds `text` after what was
  // already matched; everything up to it counts as matched.
  bool waitFor(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      const size_t at = screen_.find(text, matched_);
      if (at != std::string::npos) {
        matched_ = at + text.size();
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 100) > 0) {
        char buf[4096];
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) return false;
        screen_.append(buf, static_cast<size_t>(n));
      }
    }
  }

  // The tool's process: the runner's child, started by any of its threads.
  pid_t toolPid() const {
    DIR* tasks = opendir(("/proc/" + std::to_string(pid_) + "/task").c_str());
    if (tasks == nullptr) return -1;
    pid_t child = -1;
    while (dirent* task = readdir(tasks)) {
      std::ifstream children("/proc/" + std::to_string(pid_) + "/task/" + task->d_name +
                             "/children");
      if (children >> child) break;
      child = -1;
    }
    closedir(tasks);
    return child;
  }

  int exitCode() {
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const std::string& screen() const { return screen_; }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  std::string screen_;
  size_t matched_ = 0;
};

using CliTerminal = BusTest;

TEST_F(CliTerminal, ASessionPromptsKeepsGoingAfterMistakesAndRecallsLines) {
  Terminal t({"session", "ka"});
  const std::string prompt = "USB:1-0-3> ";
  ASSERT_TRUE(t.waitFor(prompt)) << t.screen();
  t.type("dio DP-0 --oe 0xFF --write 0x5A\r");
  ASSERT_TRUE(t.waitFor("DP-0   0x5A 01011010")) << t.screen();
  ASSERT_TRUE(t.waitFor(prompt)) << t.screen();
  // Mistakes say why and keep the session, and with it the port's levels.
  t.type("frobnicate\r");
  ASSERT_TRUE(t.waitFor("'frobnicate' is not a session command")) << t.screen();
  ASSERT_TRUE(t.waitFor(prompt)) << t.screen();
  t.type("read AI-0:5V\r");
  ASSERT_TRUE(t.waitFor("'5V' is not a range of AI-0")) << t.screen();
  ASSERT_TRUE(t.waitFor(prompt)) << t.screen();
  t.type("dio DP-0\r");
  ASSERT_TRUE(t.waitFor("DP-0   0x5A 01011010")) << t.screen();
  ASSERT_TRUE(t.waitFor(prompt)) << t.screen();
  // Up arrow four times: the first dio line again, edited at its end.
  t.type("\x1b[A\x1b[A\x1b[A\x1b[A");
  ASSERT_TRUE(t.waitFor("--write 0x5A")) << t.screen();
  t.type("\b\b3C\r");
  ASSERT_TRUE(t.waitFor("DP-0   0x3C 00111100")) << t.screen();
  ASSERT_TRUE(t.waitFor(prompt)) << t.screen();
  // Ctrl-C (here the signal itself) stops the running command, not the
  // session: a log that has written its first row and waits for the next.
  t.type("read AI-0 --every 600s\r");
  ASSERT_TRUE(t.waitFor("time_s,AI-0\r\n0,")) << t.screen();
  const pid_t tool = t.toolPid();
  ASSERT_GT(tool, 0);
  kill(tool, SIGINT);
  ASSERT_TRUE(t.waitFor("1 row every 600s, 0 late, interrupted")) << t.screen();
  ASSERT_TRUE(t.waitFor("qelomsr: interrupted")) << t.screen();
  ASSERT_TRUE(t.waitFor(prompt)) << t.screen();
  t.type("exit\r");
  EXPECT_EQ(t.exitCode(), 0) << t.screen();
}

TEST_F(CliTerminal, EndOfInputEndsTheSession) {
  Terminal t({"session", "vel", "-q"});
  ASSERT_TRUE(t.waitFor("USB:1-0-2-1> ")) << t.screen();
  t.type("\x04");  // Ctrl-D on an empty line
  EXPECT_EQ(t.exitCode(), 0) << t.screen();
  EXPECT_THAT(t.screen(), ::testing::Not(HasSubstr("qelomsr: opened")));
}

}  // namespace
