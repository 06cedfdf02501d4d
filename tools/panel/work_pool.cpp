#include "work_pool.h"

namespace qpanel {

WorkPool::WorkPool(Limits limits) : limits_(limits) {
  for (size_t i = 0; i < limits_.threads; ++i) threads_.emplace_back([this] { worker(); });
}

WorkPool::~WorkPool() { stop(); }

bool WorkPool::submit(const std::string& key, std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    KeyJobs& jobs = keys_[key];
    const size_t held = jobs.running + jobs.waiting.size();
    const bool freeThread = waiting_ + busy_ < limits_.threads;
    const bool startsNow = held < limits_.runningPerKey && freeThread;
    const bool mayWait =
        held < limits_.runningPerKey + limits_.waitingPerKey && waiting_ < limits_.waitingTotal;
    if (!startsNow && !mayWait) {
      if (jobs.running == 0 && jobs.waiting.empty()) keys_.erase(key);
      return false;
    }
    jobs.waiting.push_back(std::move(job));
    ++waiting_;
  }
  wake_.notify_one();
  return true;
}

std::map<std::string, WorkPool::KeyJobs>::iterator WorkPool::nextTurn() {
  // The keys after the one served last, then from the start.
  auto eligible = [this](const KeyJobs& k) {
    return !k.waiting.empty() && k.running < limits_.runningPerKey;
  };
  for (auto it = keys_.upper_bound(lastServed_); it != keys_.end(); ++it)
    if (eligible(it->second)) return it;
  for (auto it = keys_.begin(); it != keys_.end() && it->first <= lastServed_; ++it)
    if (eligible(it->second)) return it;
  return keys_.end();
}

void WorkPool::worker() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    auto turn = keys_.end();
    wake_.wait(lock, [&] {
      turn = nextTurn();
      return stopping_ || turn != keys_.end();
    });
    if (stopping_) return;
    std::function<void()> job = std::move(turn->second.waiting.front());
    turn->second.waiting.pop_front();
    ++turn->second.running;
    --waiting_;
    ++busy_;
    lastServed_ = turn->first;
    const std::string key = turn->first;
    lock.unlock();
    job();
    job = nullptr;  // what the job holds goes before the next one starts
    lock.lock();
    --busy_;
    auto it = keys_.find(key);
    if (--it->second.running == 0 && it->second.waiting.empty()) keys_.erase(it);
    // A job of this key may start now, on this thread or another.
    wake_.notify_all();
  }
}

void WorkPool::stop() {
  std::map<std::string, KeyJobs> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    for (auto& [key, jobs] : keys_) dropped[key].waiting.swap(jobs.waiting);
    waiting_ = 0;
  }
  wake_.notify_all();
  for (auto& t : threads_) t.join();
  // dropped goes here, outside the lock: the jobs' captures close their connections.
}

}  // namespace qpanel
