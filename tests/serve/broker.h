// A real Mosquitto broker for a test: its own configuration in a fresh
// folder, a free port on the loopback interface (never a fixed one: several
// test runs share the machine), started, stopped, killed and started again on
// the same port as a test needs.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace qtest {

// Spawns a program with its output in a file; returns its pid (or -1).
inline pid_t spawnLogged(const std::vector<std::string>& argv, const std::string& logPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  // The test's own preload (umockdev under the virtual bus) is not the broker's.
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.rfind("LD_PRELOAD=", 0) != 0) env.push_back(entry);
  }
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// A program started by a test, its output in a log file; killed when the
// test leaves.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& logPath) : log_(logPath) {
    pid_ = spawnLogged(argv, logPath);
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  std::string output() const {
    std::ifstream in(log_);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Waits for the end (killing it after limit); returns the exit code, or
  // -1 when it was killed.
  int wait(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (pid_ > 0) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

 private:
  std::string log_;
  pid_t pid_ = -1;
};

inline bool canConnect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

inline int freeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

inline std::string makeTempDir(const std::string& under, const std::string& prefix) {
  std::string pattern = under + "/" + prefix + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return buffer.data();
}

class Broker {
 public:
  struct Options {
    std::vector<std::pair<std::string, std::string>> users;  // password file entries
    std::string acl;                                         // ACL file text (with users)
    bool persistence = false;  // sessions and their queued messages survive a restart
    std::string extra;         // more configuration lines
    bool tls = false;          // TLS only, with a certificate of a CA made for the test
  };

  explicit Broker(const std::string& tmpDir) : Broker(tmpDir, Options()) {}
  Broker(const std::string& tmpDir, Options options) : options_(std::move(options)) {
    dir_ = makeTempDir(tmpDir, "broker");
    if (!options_.users.empty()) {
      const std::string file = dir_ + "/passwords";
      std::ofstream(file).flush();
      for (const auto& u : options_.users) {
        const pid_t pid = spawnLogged({"/usr/bin/mosquitto_passwd", "-b", file, u.first, u.second},
                                      dir_ + "/passwd.log");
        if (pid < 0) throw std::runtime_error("cannot run mosquitto_passwd");
        int status = 0;
        waitpid(pid, &status, 0);
      }
    }
    if (!options_.acl.empty()) std::ofstream(dir_ + "/acl") << options_.acl;
    if (options_.tls) makeCertificates();
    for (int attempt = 0; attempt < 10 && pid_ <= 0; ++attempt) {
      port_ = freeLoopbackPort();
      writeConfig();
      if (!launch()) port_ = 0;
    }
    if (pid_ <= 0) throw std::runtime_error("the broker did not start; see " + dir_);
  }

  ~Broker() { kill(); }
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string url() const {
    return (options_.tls ? "mqtts://127.0.0.1:" : "mqtt://127.0.0.1:") + std::to_string(port_);
  }
  // The CA that signed the broker's certificate (with Options::tls).
  std::string caFile() const { return dir_ + "/ca.crt"; }
  const std::string& dir() const { return dir_; }

  // Orderly stop (SIGTERM): with persistence the broker saves its sessions.
  void stop() { end(SIGTERM); }
  // The broker dies at once.
  void kill() { end(SIGKILL); }
  // Starts again on the same port.
  void start() {
    if (pid_ > 0) return;
    if (!launch()) throw std::runtime_error("the broker did not start again; see " + dir_);
  }

 private:
  void writeConfig() {
    std::ofstream config(dir_ + "/mosquitto.conf");
    config << "listener " << port_ << " 127.0.0.1\n";
    if (options_.tls)
      config << "cafile " << caFile() << "\ncertfile " << dir_ << "/broker.crt\nkeyfile " << dir_
             << "/broker.key\n";
    // Started as root, the broker would become the user mosquitto, who may
    // not read this folder: it stays who we are.
    if (const passwd* me = getpwuid(geteuid())) config << "user " << me->pw_name << "\n";
    if (options_.users.empty()) {
      config << "allow_anonymous true\n";
    } else {
      config << "allow_anonymous false\npassword_file " << dir_ << "/passwords\n";
    }
    if (!options_.acl.empty()) config << "acl_file " << dir_ << "/acl\n";
    if (options_.persistence)
      config << "persistence true\npersistence_location " << dir_ << "/\nautosave_interval 0\n";
    config << "max_queued_messages 100000\n" << options_.extra << "\n";
  }

  // A CA and a certificate for 127.0.0.1 signed by it (EC keys: quick to make).
  void makeCertificates() {
    std::ofstream(dir_ + "/san.ext") << "subjectAltName=IP:127.0.0.1\n";
    const std::vector<std::vector<std::string>> steps = {
        {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
         "-keyout", dir_ + "/ca.key", "-out", caFile(), "-days", "2", "-subj",
         "/CN=qelomsr test CA"},
        {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
         dir_ + "/broker.key", "-out", dir_ + "/broker.csr", "-subj", "/CN=127.0.0.1"},
        {"x509", "-req", "-in", dir_ + "/broker.csr", "-CA", caFile(), "-CAkey", dir_ + "/ca.key",
         "-CAcreateserial", "-out", dir_ + "/broker.crt", "-days", "2", "-extfile",
         dir_ + "/san.ext"}};
    for (auto step : steps) {
      step.insert(step.begin(), "/usr/bin/openssl");
      const pid_t pid = spawnLogged(step, dir_ + "/openssl.log");
      int status = 0;
      if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
          WEXITSTATUS(status) != 0)
        throw std::runtime_error("openssl failed; see " + dir_ + "/openssl.log");
    }
  }

  bool launch() {
    pid_ =
        spawnLogged({"/usr/sbin/mosquitto", "-c", dir_ + "/mosquitto.conf"}, dir_ + "/broker.log");
    if (pid_ <= 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {  // could not listen: the port is taken
        pid_ = -1;
        return false;
      }
      if (canConnect(port_)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    end(SIGKILL);
    return false;
  }

  void end(int signal) {
    if (pid_ <= 0) return;
    ::kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  Options options_;
  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace qtest
