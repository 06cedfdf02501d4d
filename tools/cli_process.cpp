#include "cli_process.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>

#include "cli_device.h"
#include "recording.h"

namespace qcli {

namespace {

std::FILE* _out = stdout;
volatile std::sig_atomic_t _stop_signal = 0;
volatile std::sig_atomic_t _stop_count = 0;

extern "C" void onStopSignal(int signal) {
  // The interrupted code may be about to read errno.
  const int savedErrno = errno;
  if (_stop_signal == 0) _stop_signal = signal;
  if (++_stop_count >= 3) {
    // Asked three times: stop now, the way the signal would have. Files
    // written so far end on complete rows (they are written whole).
    std::signal(signal, SIG_DFL);
    std::raise(signal);
  }
  errno = savedErrno;
}

}  // namespace

void separateLibraryOutput() {
  std::fflush(stdout);
  const int data = dup(STDOUT_FILENO);
  if (data < 0) return;  // no standard output at all: leave everything as it is
  std::FILE* stream = fdopen(data, "w");
  if (stream == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    if (stream != nullptr) std::fclose(stream);
    return;
  }
  _out = stream;
}

std::FILE* out() { return _out; }

void installStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: sleeps return early
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

int stopSignal() { return _stop_signal; }

bool stopInsisted() { return _stop_count >= 2; }
void clearStopRequest() {
  _stop_signal = 0;
  _stop_count = 0;
}

bool sleepUnlessStopped(double seconds) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(seconds));
  while (!stopRequested()) {
    const auto left = end - Clock::now();
    if (left <= Clock::duration::zero()) return true;
    // In slices, so that a signal that arrives just before the sleep is not
    // slept through.
    const auto slice = std::min<Clock::duration>(left, std::chrono::milliseconds(100));
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(slice).count();
    timespec t{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    nanosleep(&t, nullptr);
  }
  return false;
}

int reportFailure(const std::exception& e) {
  if (const auto* api = dynamic_cast<const ApiError*>(&e)) {
    std::fprintf(stderr, "qelomsr: error: %s (class %d, %s)\n", api->what(), api->errorClass(),
                 errorClassName(api->errorClass()));
    return kExitFailure;
  }
  if (const auto* file = dynamic_cast<const qrec::RecordingError*>(&e)) {
    if (file->brokenPipe()) return kExitBrokenPipe;
  }
  std::fprintf(stderr, "qelomsr: error: %s\n", e.what());
  return dynamic_cast<const UsageError*>(&e) != nullptr ? kExitUsage : kExitFailure;
}

}  // namespace qcli
