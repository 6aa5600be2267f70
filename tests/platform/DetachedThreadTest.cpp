#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "pithorama/platform/Threads.h"

namespace pithorama::test {
namespace {

// Threads started one after another, each over before the next starts, as a
// server's request and connection threads are when the hits are short: every
// one of them runs its work (a thread that ended before it was let go once
// left the next thread to end without running anything).
TEST(DetachedThread, EveryThreadRunsItsWork) {
  constexpr int kThreads = 3000;
  std::mutex lock;
  std::condition_variable changed;
  int ran = 0;
  bool lost = false;
  for (int i = 0; i < kThreads && !lost; ++i) {
    StartDetachedThread([&] {
      std::lock_guard<std::mutex> hold(lock);
      ++ran;
      changed.notify_all();
    });
    std::unique_lock<std::mutex> hold(lock);
    if (!changed.wait_for(hold, std::chrono::seconds(10), [&] { return ran == i + 1; }))
      lost = true;
  }
  EXPECT_FALSE(lost) << "after " << ran << " threads had run";
}

}  // namespace
}  // namespace pithorama::test
