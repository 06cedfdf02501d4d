// Request/response rate over the virtual USB bus through plain libusb, and
// the CPU a waiting read costs.
//
//   bench_vbus [seconds per case]
//
// Runs with its own bus (re-executed under the umockdev preload) and a Ka
// model at 1-3, or under qelomsr-vbus against the runner's Ka; prints one
// line per case.
#include <libusb.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "qsim/config.h"
#include "qsim/model.h"
#include "qsim/vbus_control.h"
#include "qsim/vbus_gtest.h"

namespace {

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Read requests of `count` bytes from the version register's neighbourhood:
// a 64-byte request and a response padded to whole 64-byte blocks.
void pairs(libusb_device_handle* h, int count, double seconds, const char* label) {
  std::vector<uint8_t> request(64, 0);
  const uint32_t control = static_cast<uint32_t>(count) | 0x40000000u;
  const uint32_t address = 0x08004000u;  // calibration memory: readable in any size
  std::memcpy(request.data(), &control, 4);
  std::memcpy(request.data() + 4, &address, 4);
  std::vector<uint8_t> response(static_cast<size_t>((count + 63) / 64 * 64));
  const auto start = std::chrono::steady_clock::now();
  const double cpu0 = cpuSeconds();
  long n = 0;
  double elapsed = 0;
  do {
    int moved = 0;
    if (libusb_bulk_transfer(h, 0x02, request.data(), 64, &moved, 1000) != 0 ||
        libusb_bulk_transfer(h, 0x81, response.data(), static_cast<int>(response.size()), &moved,
                             1000) != 0) {
      std::fprintf(stderr, "transfer failed\n");
      std::exit(1);
    }
    ++n;
    elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  } while (elapsed < seconds);
  std::printf("%-34s %8.0f pairs/s  %6.1f us/pair  cpu %3.0f%%\n", label, n / elapsed,
              elapsed / n * 1e6, (cpuSeconds() - cpu0) / elapsed * 100);
}

}  // namespace

int main(int argc, char** argv) {
  // Under qelomsr-vbus the runner's Ka at 1-3 is used (two processes);
  // otherwise the bus lives in this process.
  const bool underRunner = std::getenv(qsim::kVbusControlEnv) != nullptr;
  if (!underRunner) qsim::vbustest::initProcess(argc, argv);
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  if (!underRunner) qsim::vbustest::addModel("1-3", qsim::defaultConfig(qsim::Family::Ka));
  std::printf("bus in %s\n", underRunner ? "the runner process" : "this process");

  libusb_context* ctx = nullptr;
  libusb_init(&ctx);
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx, &list);
  libusb_device_handle* h = nullptr;
  for (ssize_t i = 0; i < n; ++i) {
    if (qsim::vbustest::portPathOf(list[i]) == "1-3") libusb_open(list[i], &h);
  }
  libusb_free_device_list(list, 1);
  if (h == nullptr || libusb_claim_interface(h, 0) != 0) {
    std::fprintf(stderr, "cannot open the Ka at 1-3\n");
    return 1;
  }
  pairs(h, 4, seconds, "register read (64 out + 64 in)");
  pairs(h, 4096, seconds, "block read (64 out + 4096 in)");

  // A read that nobody answers: the process should sleep, not spin.
  uint8_t buf[64];
  int moved = 0;
  const double cpu0 = cpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &moved, 1000);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%-34s %8.3f s wall  cpu %3.0f%%\n", "unanswered read (timeout 1 s)", wall,
              (cpuSeconds() - cpu0) / wall * 100);
  libusb_release_interface(h, 0);
  libusb_close(h);
  libusb_exit(ctx);
  return 0;
}
