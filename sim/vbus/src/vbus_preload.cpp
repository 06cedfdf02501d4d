// Running programs under umockdev's preload library.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "qsim/vbus.h"

namespace qsim {

namespace {

// The sanitizer runtime of this build (set by the build for sanitizer builds).
#ifdef QSIM_SANITIZER_RUNTIME
const char* const kSanitizerRuntime = QSIM_SANITIZER_RUNTIME;
#else
const char* const kSanitizerRuntime = "";
#endif

constexpr const char* kReexecGuard = "QSIM_VBUS_REEXEC";

}  // namespace

const char* const kUmockdevPreload = "libumockdev-preload.so.0";

bool underUmockdevPreload() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

void exportPreloadEnvironment() {
  std::string list;
  if (*kSanitizerRuntime != '\0') list = std::string(kSanitizerRuntime) + ":";
  list += kUmockdevPreload;
  if (const char* old = std::getenv("LD_PRELOAD"); old != nullptr && *old != '\0') {
    if (std::strstr(old, "libumockdev-preload") != nullptr) return;  // already there
    list += ":";
    list += old;
  }
  setenv("LD_PRELOAD", list.c_str(), 1);
  // A child built with AddressSanitizer whose runtime is not first in the
  // list would refuse to start.
  std::string asan = "verify_asan_link_order=0";
  if (const char* old = std::getenv("ASAN_OPTIONS"); old != nullptr && *old != '\0') {
    if (std::strstr(old, "verify_asan_link_order") != nullptr) return;
    asan = std::string(old) + ":" + asan;
  }
  setenv("ASAN_OPTIONS", asan.c_str(), 1);
}

void reexecUnderPreload(char** argv) {
  if (underUmockdevPreload()) {
    unsetenv(kReexecGuard);
    return;
  }
  if (std::getenv(kReexecGuard) != nullptr) {
    throw std::runtime_error("virtual USB bus: the umockdev preload did not take effect");
  }
  setenv(kReexecGuard, "1", 1);
  exportPreloadEnvironment();
  execv("/proc/self/exe", argv);
  throw std::runtime_error(std::string("virtual USB bus: cannot re-execute under the preload: ") +
                           std::strerror(errno));
}

}  // namespace qsim
