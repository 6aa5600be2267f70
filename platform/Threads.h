// Locks and pauses.
#pragma once

#include <mutex>

namespace pithorama {

// A lock that one thread enters at a time; not re-entrant. A gateway may
// derive its own kind of lock (a server's critical section) and tell it apart
// by its type.
class TLock {
 public:
  virtual ~TLock() = default;
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

void SleepMs(int milliseconds);

}  // namespace pithorama
