// Finding a runner's control socket from another terminal: the per-user
// folder of runner sockets, named after the runners' process ids.
#include <dirent.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "qsim/vbus_control.h"

namespace qsim {

namespace {

// A socket that accepts a connection now.
bool answers(const std::string& path) {
  sockaddr_un a{};
  if (path.size() >= sizeof a.sun_path) return false;
  a.sun_family = AF_UNIX;
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// The process id of "<pid>.sock", or 0.
pid_t pidOf(const std::string& name) {
  const size_t dot = name.find(".sock");
  if (dot == 0 || dot == std::string::npos || dot + 5 != name.size()) return 0;
  pid_t pid = 0;
  for (size_t i = 0; i < dot; ++i) {
    if (name[i] < '0' || name[i] > '9' || pid > 100000000) return 0;
    pid = pid * 10 + (name[i] - '0');
  }
  return pid;
}

}  // namespace

std::string runnerSocketFolder(bool create) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string folder = runtime != nullptr && *runtime == '/'
                                 ? std::string(runtime) + "/qelomsr-vbus"
                                 : "/tmp/qelomsr-vbus-" + std::to_string(getuid());
  if (create && mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    throw std::runtime_error("cannot create " + folder + ": " + std::strerror(errno));
  }
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0) {
    if (!create && errno == ENOENT) return folder;
    throw std::runtime_error("cannot use " + folder + ": " + std::strerror(errno));
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 077) != 0) {
    throw std::runtime_error("refusing " + folder +
                             ": not a folder of this user's alone (a link, another user's, "
                             "or open to others)");
  }
  return folder;
}

std::vector<std::string> runningRunnerSockets() {
  const std::string folder = runnerSocketFolder(false);
  std::vector<std::string> out;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return out;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    const pid_t pid = pidOf(name);
    if (pid == 0) continue;
    const std::string path = folder + "/" + name;
    if (kill(pid, 0) != 0 && errno == ESRCH) {
      unlink(path.c_str());  // its runner died without cleaning up
      continue;
    }
    if (answers(path)) out.push_back(path);
  }
  closedir(dir);
  std::sort(out.begin(), out.end());
  return out;
}

std::string controlSocketForCtl() {
  const char* set = std::getenv(kVbusControlEnv);
  if (set != nullptr && *set != '\0') return set;
  const std::vector<std::string> running = runningRunnerSockets();
  if (running.size() == 1) return running.front();
  const std::string env = kVbusControlEnv;
  if (running.empty()) {
    throw std::runtime_error("no running qelomsr-vbus found in " + runnerSocketFolder(false) +
                             ": start one, or set " + env +
                             " to the control socket of a runner started with --control-socket "
                             "PATH");
  }
  std::string list;
  for (const std::string& path : running) list += "\n  " + path;
  throw std::runtime_error(std::to_string(running.size()) + " runners are running: set " + env +
                           " to the control socket of the one to drive:" + list);
}

}  // namespace qsim
