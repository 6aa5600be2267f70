// Locks and pauses.
#pragma once

#include <mutex>

namespace pithorama {

// A critical section: one thread at a time holds it, and the thread that holds
// it may enter it again; it is free again after as many Leave calls as Enter
// calls. A gateway may derive its own kind of lock (a server's critical
// section) and tell it apart by its type.
class TLock {
 public:
  virtual ~TLock() = default;
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

void SleepMs(int milliseconds);

}  // namespace pithorama
