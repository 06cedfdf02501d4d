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

#ifdef QSIM_TSAN_SUPPRESSIONS
const char* const kTsanSuppressions = QSIM_TSAN_SUPPRESSIONS;
#else
const char* const kTsanSuppressions = "";
#endif

constexpr const char* kReexecGuard = "QSIM_VBUS_REEXEC";

// Appends key=value to a colon-separated sanitizer option variable unless
// the key is set there already.
void addOption(const char* variable, const std::string& key, const std::string& value) {
  std::string options = key + "=" + value;
  if (const char* old = std::getenv(variable); old != nullptr && *old != '\0') {
    if (std::strstr(old, key.c_str()) != nullptr) return;
    options = std::string(old) + ":" + options;
  }
  setenv(variable, options.c_str(), 1);
}

}  // namespace

#ifdef QSIM_TSAN_SUPPRESSIONS
#include "vbus_tsan.h"
// Built-in suppressions of every program that links the bus (the runner, the
// test executables), read by the ThreadSanitizer runtime at start-up.
extern "C" const char* __tsan_default_suppressions() { return kTsanSuppressionText; }
#endif

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
    if (std::strstr(old, "libumockdev-preload") != nullptr) {
      list = old;  // already there
    } else {
      list += ":";
      list += old;
    }
  }
  setenv("LD_PRELOAD", list.c_str(), 1);
  // A child built with AddressSanitizer whose runtime is not first in the
  // list would refuse to start.
  addOption("ASAN_OPTIONS", "verify_asan_link_order", "0");
  if (*kTsanSuppressions != '\0') addOption("TSAN_OPTIONS", "suppressions", kTsanSuppressions);
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
