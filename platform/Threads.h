// Locks and pauses.
#pragma once

#include <mutex>

namespace pithorama {

// A lock that one thread enters at a time; not re-entrant.
class TLock {
 public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

void SleepMs(int milliseconds);

}  // namespace pithorama
