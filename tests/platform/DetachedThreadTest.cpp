#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

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
  int lost = 0;
  for (int i = 0; i < kThreads && lost == 0; ++i) {
    StartDetachedThread([&] {
      std::lock_guard<std::mutex> hold(lock);
      ++ran;
      changed.notify_all();
    });
    std::unique_lock<std::mutex> hold(lock);
    if (!changed.wait_for(hold, std::chrono::seconds(10), [&] { return ran == i + 1; })) ++lost;
  }
  EXPECT_EQ(lost, 0) << "after " << ran << " threads had run";
}

}  // namespace
}  // namespace pithorama::test
