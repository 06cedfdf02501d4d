// Loads, uses and unloads the shared library again and again while the
// device is unplugged and plugged in between, as plugin hosts and numerical
// environments with an unload command do. Runs under the virtual USB bus
// runner (qelomsr-vbus); links neither the library nor libusb, so that
// unloading the library really unmaps everything it brought along.
//
//   unload_cycles LIBRARY [CYCLES]
//
// Every cycle: dlopen, enumerate until the Ka at USB:1-0-3 is listed, open
// it, read its version register, close it (every other cycle leaves it open
// for the unload to destroy), dlclose, then unplug and replug the Ka through
// the runner's control channel. Exit status 0 when every cycle worked, the
// library was really unloaded each time and the process holds no more file
// descriptors after the last cycle than after the first.
#include <dirent.h>
#include <dlfcn.h>
#include <poll.h>
#include <qelomsr/qelomsr.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

const char* const kKa = "USB:1-0-3";
const char* const kKaPort = "1-3";

[[noreturn]] void fail(int cycle, const std::string& what) {
  std::fprintf(stderr, "cycle %d: %s\n", cycle, what.c_str());
  std::exit(1);
}

// One command over the runner's control socket; true for an "ok" reply.
bool control(const std::string& line) {
  const char* path = std::getenv("QELOMSR_VBUS_CONTROL");
  if (path == nullptr) return false;
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = line + "\n";
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      pollfd p{fd, POLLIN, 0};
      char buffer[256];
      while (reply.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        reply.append(buffer, static_cast<size_t>(n));
      }
    }
  }
  close(fd);
  return reply == "ok\n";
}

int openDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

// The library's entry points, looked up after every load.
struct Api {
  decltype(&QeloMsrBeginEnumerate) beginEnumerate;
  decltype(&QeloMsrGetIdentifier) getIdentifier;
  decltype(&QeloMsrOpen) open;
  decltype(&QeloMsrClose) close;
  decltype(&__QeloMsrReadRegister) readRegister;
  decltype(&__wrapper_error) error;
};

template <typename F>
void lookUp(void* library, const char* name, F& f, int cycle) {
  f = reinterpret_cast<F>(dlsym(library, name));
  if (f == nullptr) fail(cycle, std::string("no symbol ") + name);
}

std::string errorText(const Api& api, int id) {
  char message[QELOMSR_TEXT_BUFFER_SIZE] = {};
  int errorClass = 0;
  api.error(id, message, static_cast<int>(sizeof message), &errorClass);
  return message;
}

// Enumerates until the Ka is listed (a replugged device takes a moment to
// reach libusb); false after ten seconds.
bool kaListed(const Api& api, int cycle) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    int count = 0;
    const int rc = api.beginEnumerate(&count, QELOMSR_TYPE_ALL);
    if (rc != 0) fail(cycle, "enumeration failed: " + errorText(api, rc));
    for (int i = 0; i < count; ++i) {
      char ident[QELOMSR_TEXT_BUFFER_SIZE];
      char version[QELOMSR_TEXT_BUFFER_SIZE];
      int type = 0;
      if (api.getIdentifier(i, ident, 0, &type, version) == 0 && std::strcmp(ident, kKa) == 0) {
        if (std::strcmp(version, "1.4") != 0) fail(cycle, std::string("firmware ") + version);
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

void runCycle(const char* path, int cycle) {
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) fail(cycle, std::string("dlopen: ") + dlerror());
  Api api{};
  lookUp(library, "QeloMsrBeginEnumerate", api.beginEnumerate, cycle);
  lookUp(library, "QeloMsrGetIdentifier", api.getIdentifier, cycle);
  lookUp(library, "QeloMsrOpen", api.open, cycle);
  lookUp(library, "QeloMsrClose", api.close, cycle);
  lookUp(library, "__QeloMsrReadRegister", api.readRegister, cycle);
  lookUp(library, "__wrapper_error", api.error, cycle);

  if (!kaListed(api, cycle)) fail(cycle, "the Ka is not listed");
  int handle = 0;
  int rc = api.open(kKa, &handle);
  if (rc != 0) fail(cycle, "open: " + errorText(api, rc));
  unsigned version = 0;
  rc = api.readRegister(handle, 0xF0000004u, &version);
  if (rc != 0) fail(cycle, "register read: " + errorText(api, rc));
  if (((version >> 8) & 0xFFFF) != 0x0104) fail(cycle, "version word " + std::to_string(version));
  // Every other cycle the unload itself has to end the open device.
  if (cycle % 2 == 0) api.close(handle);

  if (dlclose(library) != 0) fail(cycle, std::string("dlclose: ") + dlerror());
  if (dlopen(path, RTLD_NOW | RTLD_NOLOAD) != nullptr) fail(cycle, "the library stayed loaded");

  // Hotplug events reach whatever libusb left running in the process.
  if (!control(std::string("unplug ") + kKaPort)) fail(cycle, "unplug refused");
  if (!control(std::string("replug ") + kKaPort)) fail(cycle, "replug refused");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: unload_cycles LIBRARY [CYCLES]\n");
    return 2;
  }
  const int cycles = argc > 2 ? std::atoi(argv[2]) : 20;
  int afterFirst = 0;
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    runCycle(argv[1], cycle);
    if (cycle == 1) afterFirst = openDescriptors();
  }
  // The last hotplug events are handled (or crash the process) while the
  // library is loaded once more.
  runCycle(argv[1], cycles + 1);
  const int afterLast = openDescriptors();
  if (afterLast > afterFirst) {
    std::fprintf(stderr, "%d file descriptors after the first cycle, %d after the last\n",
                 afterFirst, afterLast);
    return 1;
  }
  std::printf("%d load/unload cycles\n", cycles + 1);
  return 0;
}
