#include "comm-api/src/api/logging.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "hades/src/libs/hades/logging.h"

namespace commapi {

namespace {

// The switches are atomics so that a flag test is race-free even outside the
// library's call lock; the dump file name and the first reading of the
// environment are guarded by _diag_m.
std::atomic<bool> logging{false};
std::atomic<bool> trace{false};
std::atomic<bool> dumping{false};  // dump_file is not empty
std::atomic<bool> raw_dump{false};
std::atomic<bool> env_checked{false};
std::mutex _diag_m;
std::string dump_file;

void setLogging(bool withTrace) {
  logging = true;
  trace = withTrace;
  hades::logging::enable_console_log("");
}

void checkEnv() {
  if (env_checked.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(_diag_m);
  if (env_checked.load(std::memory_order_relaxed)) return;
  // Console log lines on standard error instead of standard output (set by
  // the Python package, whose programs keep standard output for their data).
  hades::logging::set_console_log_stream(std::getenv("COMMAPI_LOG_STDERR") != nullptr
                                             ? hades::logging::console_stream::standard_error
                                             : hades::logging::console_stream::standard_output);
  const bool envLogging = std::getenv("COMMAPI_LOGGING") != nullptr;
  const bool envTrace = std::getenv("COMMAPI_TRACE") != nullptr;
  if (envLogging || envTrace) setLogging(envTrace);
  if (const char* file = std::getenv("COMMAPI_DUMPFILE")) {
    dump_file = file;
    dumping = !dump_file.empty();
  }
  raw_dump = std::getenv("COMMAPI_RAW") != nullptr;
  env_checked.store(true, std::memory_order_release);
}

const char* directionMark(bool in) { return in ? "<" : ">"; }

void appendHex(std::string& out, unsigned char byte) {
  static const char digits[] = "0123456789abcdef";
  out.push_back(digits[byte >> 4]);
  out.push_back(digits[byte & 0x0f]);
}

// Appends one line to the dump file; a file that cannot be opened loses the line.
void appendDumpLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(_diag_m);
  if (dump_file.empty()) return;
  std::FILE* f = std::fopen(dump_file.c_str(), "a");
  if (f == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), f);
  std::fclose(f);
}

}  // namespace

bool isLogging() {
  checkEnv();
  return logging.load(std::memory_order_relaxed);
}

bool isTrace() {
  checkEnv();
  return logging.load(std::memory_order_relaxed) && trace.load(std::memory_order_relaxed);
}

bool isDump() {
  checkEnv();
  return dumping.load(std::memory_order_relaxed) && !raw_dump.load(std::memory_order_relaxed);
}

bool isDumpRaw() {
  checkEnv();
  return dumping.load(std::memory_order_relaxed) && raw_dump.load(std::memory_order_relaxed);
}

void enableLogging(bool withTrace) {
  checkEnv();
  setLogging(withTrace);
}

void enableDumping(const std::string& file, bool raw) {
  checkEnv();
  std::lock_guard<std::mutex> lock(_diag_m);
  dump_file = file;
  raw_dump = raw;
  dumping = !file.empty();
}

void _lg(const std::string& text) {
  hades::logging::__log(hades::logging::info, text.c_str(), __FILE__, __LINE__);
}

void _tr(const std::string& text) {
  hades::logging::__log(hades::logging::debug, text.c_str(), __FILE__, __LINE__);
}

void _dp(bool in, unsigned address, const unsigned char* data, int len) {
  if (len < 0 || data == nullptr) len = 0;
  char head[16];
  std::snprintf(head, sizeof head, "%s 0x%08x:", directionMark(in), address);
  std::string line(head);
  line.reserve(line.size() + 2 * static_cast<std::size_t>(len) + 1);
  for (int i = 0; i < len; ++i) appendHex(line, data[i]);
  line.push_back('\n');
  appendDumpLine(line);
}

void _dr(bool in, const unsigned char* data, int len) {
  if (len < 0 || data == nullptr) len = 0;
  std::string line = directionMark(in);
  line.push_back(' ');
  line.reserve(line.size() + 2 * static_cast<std::size_t>(len) + len / 4 + 1);
  for (int i = 0; i < len; ++i) {
    appendHex(line, data[i]);
    if (i % 4 == 3) line.push_back(' ');
  }
  line.push_back('\n');
  appendDumpLine(line);
}

void _resetDiagnosticsForTest() {
  std::lock_guard<std::mutex> lock(_diag_m);
  logging = false;
  trace = false;
  dumping = false;
  raw_dump = false;
  dump_file.clear();
  env_checked = false;
}

}  // namespace commapi
