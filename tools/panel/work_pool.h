// Threads that run jobs in turns per key (a page's token, or a client's
// address), so that no one key takes every thread: each key has a bound on
// the jobs it runs at once and on the jobs it has waiting, and a free thread
// serves the keys in rotation.
//
//   WorkPool pool({8, 4, 16, 256});
//   if (!pool.submit("client:127.0.0.1", [] { ... })) ... // too many: refuse
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qpanel {

class WorkPool {
 public:
  struct Limits {
    size_t threads;
    size_t runningPerKey;  // jobs of one key running at once
    size_t waitingPerKey;  // jobs of one key waiting beyond those running; 0: a job
                           // starts at once or is refused
    size_t waitingTotal;   // jobs of all keys waiting
  };

  explicit WorkPool(Limits limits);
  ~WorkPool();  // stop()
  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;

  // Takes the job, or returns false (and drops it) when the key has as many
  // jobs as it may, or the pool is stopping.
  bool submit(const std::string& key, std::function<void()> job);
  // Drops the waiting jobs, waits for the running ones and ends the threads.
  void stop();

 private:
  struct KeyJobs {
    std::deque<std::function<void()>> waiting;
    size_t running = 0;
  };
  void worker();
  // The key whose turn it is among those with a job that may start, or end().
  std::map<std::string, KeyJobs>::iterator nextTurn();

  const Limits limits_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, KeyJobs> keys_;
  std::string lastServed_;
  size_t waiting_ = 0;
  size_t busy_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace qpanel
