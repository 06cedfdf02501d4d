// Helpers of the C interface: the id-to-object table behind the handle table
// and the error registry, and the rule that copies a text into a caller buffer.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

namespace wrapper {

// How an object_manager numbers its entries once the counter runs past the
// largest id.
enum class id_policy {
  // Ids are positive and unique among the stored entries: past the largest
  // id the counter starts again at 1 and skips ids still in use (handles).
  positive_unique,
  // The counter wraps around through the negative numbers and skips only 0
  // (error ids: after the largest comes the smallest); a new entry replaces
  // an old one of the same id.
  wrapping,
};

// Thread-safe table that hands out numeric ids for stored objects. With a
// capacity, only the most recently added `capacity` entries are kept; older
// ids then answer like unknown ids.
template <typename T, typename Id>
class object_manager {
 public:
  explicit object_manager(id_policy policy = id_policy::wrapping, std::size_t capacity = 0)
      : policy_(policy), capacity_(capacity) {}

  // Stores a copy of the object under the next id and returns the id.
  Id add(const T& object) {
    std::lock_guard<std::mutex> lock(mutex_);
    return insert(T(object));
  }

  // The same, with the object moved in.
  Id add(T&& object) {
    std::lock_guard<std::mutex> lock(mutex_);
    return insert(std::move(object));
  }

  // The same, but never fails for want of memory: when the object cannot be
  // stored, its id is taken from the sequence all the same and remembered
  // as unstored (see unstored()). For the error registry, whose caller has
  // no other way to report.
  Id add_or_mark(T&& object) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    const Id id = take_id();
    try {
      store(id, std::move(object));
    } catch (...) {
      mark_unstored(id);
    }
    return id;
  }

  // Takes the next id for an object that could not even be built (out of
  // memory) and remembers it as unstored. Allocates nothing.
  Id add_unstored() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    const Id id = take_id();
    mark_unstored(id);
    return id;
  }

  // Whether `id` is one of the most recent ids taken without an object.
  bool unstored(Id id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (id == 0) return false;
    for (Id u : unstored_) {
      if (u == id) return true;
    }
    return false;
  }

  // A copy of the stored object; throws "Invalid handle." for an unknown id.
  T get(Id id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(id);
    if (it == objects_.end()) throw std::runtime_error("Invalid handle.");
    return it->second;
  }

  // Copies the stored object into `out` and returns true, or returns false
  // for an unknown id; never throws on its own account.
  bool try_get(Id id, T& out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(id);
    if (it == objects_.end()) return false;
    out = it->second;
    return true;
  }

  bool has(Id id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return objects_.count(id) != 0;
  }

  // Erases the entry; an unknown id is ignored.
  void remove(Id id) {
    std::lock_guard<std::mutex> lock(mutex_);
    objects_.erase(id);
  }

  // Whether any stored object satisfies `pred`, tested under the table's mutex.
  template <typename Pred>
  bool any_of(Pred pred) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : objects_) {
      if (pred(entry.second)) return true;
    }
    return false;
  }

  // Sets the id that the next add tries first (tests of the numbering).
  void set_next_id(Id id) {
    std::lock_guard<std::mutex> lock(mutex_);
    next_ = id;
  }

  std::size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return objects_.size();
  }

 private:
  static Id successor(Id id) {
    // Unsigned arithmetic: wrapping past the largest id is defined behaviour.
    using U = typename std::make_unsigned<Id>::type;
    return static_cast<Id>(static_cast<U>(id) + 1u);
  }

  Id take_id() {
    if (policy_ == id_policy::positive_unique) {
      // The first ids are 1, 2, 3, ...; past the largest, start again at 1
      // and skip ids that are still in use.
      for (std::size_t tries = 0; tries <= objects_.size(); ++tries) {
        if (next_ <= 0) next_ = 1;
        Id id = next_;
        next_ = (id == std::numeric_limits<Id>::max()) ? Id(1) : successor(id);
        if (objects_.count(id) == 0) return id;
      }
      throw std::length_error("No free handle.");
    }
    if (next_ == 0) next_ = 1;
    Id id = next_;
    next_ = successor(next_);
    return id;
  }

  Id insert(T&& object) {
    const Id id = take_id();
    store(id, std::move(object));
    return id;
  }

  // Stores under `id` and evicts the oldest entries past the capacity. A
  // failure leaves no entry under `id`.
  void store(Id id, T&& object) {
    try {
      objects_[id] = std::move(object);
      if (capacity_ != 0) order_.push_back(id);
    } catch (...) {
      objects_.erase(id);
      throw;
    }
    // Ids recur only after 2^32 additions, far more than the capacity, so
    // every id stands in the order once: the front is the oldest entry.
    while (capacity_ != 0 && order_.size() > capacity_) {
      objects_.erase(order_.front());
      order_.pop_front();
    }
  }

  void mark_unstored(Id id) noexcept {
    unstored_[unstoredNext_] = id;
    unstoredNext_ = (unstoredNext_ + 1) % unstored_.size();
  }

  const id_policy policy_;
  const std::size_t capacity_;
  Id next_ = 1;
  mutable std::mutex mutex_;
  std::map<Id, T> objects_;
  std::deque<Id> order_;
  // The most recent ids taken without an object (0: free slot).
  std::array<Id, 64> unstored_{};
  std::size_t unstoredNext_ = 0;
};

// Copies `text` into a caller buffer of `length` bytes (NUL included): the
// whole text when it fits, an empty string when it doesn't, nothing at all
// for a length of 0 or less. Returns the text's length, or `length`.
int to_buffer(const std::string& text, char* buffer, int length);

}  // namespace wrapper
