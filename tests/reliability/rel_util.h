// Small helpers shared by the reliability tests: reading error records,
// resident memory, bounded waits for worker threads.
#pragma once

#include <qelomsr/qelomsr.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace reltest {

struct ErrorRecord {
  int errorClass = -1;
  std::string text;
};

inline ErrorRecord errorRecord(int errorId) {
  char message[1024];
  ErrorRecord record;
  __wrapper_error(errorId, message, static_cast<int>(sizeof message), &record.errorClass);
  record.text = message;
  return record;
}

// Resident set size of this process in bytes (second field of /proc/self/statm).
inline long residentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0;
  long resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// An integer from the environment, or a default.
inline long envLong(const char* name, long fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  return std::strtol(value, nullptr, 10);
}

// Runs each body on its own thread and waits for all of them within `limit`.
// A thread that does not finish in time means a deadlock or a hang: the
// process is aborted with a message, because a stuck thread cannot be joined
// and a test must never hang.
inline void runBounded(std::vector<std::function<void()>> bodies, std::chrono::seconds limit) {
  std::vector<std::future<void>> done;
  std::vector<std::thread> threads;
  for (auto& body : bodies) {
    std::packaged_task<void()> task(std::move(body));
    done.push_back(task.get_future());
    threads.emplace_back(std::move(task));
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (size_t i = 0; i < done.size(); ++i) {
    if (done[i].wait_until(deadline) != std::future_status::ready) {
      std::fprintf(stderr, "thread %zu did not finish within %lld s: deadlock or hang\n", i,
                   static_cast<long long>(limit.count()));
      std::fflush(stderr);
      std::abort();
    }
  }
  for (auto& t : threads) t.join();
  for (auto& d : done) d.get();  // rethrows what a body threw
}

}  // namespace reltest
