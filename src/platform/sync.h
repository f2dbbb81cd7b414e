#pragma once
// A critical section (mutual exclusion within the process) and the locked list of the
// runtime: a list of references guarded by one lock.

#include <algorithm>
#include <mutex>
#include <vector>

namespace kestran {

class TCriticalSection {
 public:
  void Enter() { m_.lock(); }
  void Leave() { m_.unlock(); }
  // Standard names, so that std::lock_guard and std::unique_lock work.
  void lock() { m_.lock(); }
  void unlock() { m_.unlock(); }

 private:
  std::mutex m_;
};

template <class T>
class TThreadList {
 public:
  virtual ~TThreadList() = default;
  void Add(T* item) {
    std::lock_guard<std::mutex> g(m_);
    items_.push_back(item);
  }
  // Removes item under the lock; returns whether it was in the list.
  bool Remove(T* item) {
    std::lock_guard<std::mutex> g(m_);
    auto it = std::find(items_.begin(), items_.end(), item);
    if (it == items_.end()) return false;
    items_.erase(it);
    return true;
  }
  std::vector<T*>& LockList() {
    m_.lock();
    return items_;
  }
  void UnlockList() { m_.unlock(); }
  size_t Count() {
    std::lock_guard<std::mutex> g(m_);
    return items_.size();
  }

 private:
  std::mutex m_;
  std::vector<T*> items_;
};

}  // namespace kestran
