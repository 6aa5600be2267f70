#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "pithorama/platform/Threads.h"

namespace pithorama::test {
namespace {

std::atomic<int> destroyed{0};

// Per-thread state of the kind the gateways keep: a table of heap strings.
struct TFields {
  std::unordered_map<std::string, std::string> Values;
  ~TFields() {
    Values.clear();
    ++destroyed;
  }
};

// Many threads fill their own value and end together, round after round, as
// the connection threads of a busy server do: each value is destroyed once,
// whole (a value destroyed from freed storage crashed here).
TEST(ThreadLocal, ValuesOfEndingThreadsAreDestroyedOnceEach) {
  destroyed = 0;
  constexpr int kRounds = 50;
  constexpr int kThreads = 32;
  std::atomic<int> mixedUp{0};
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([t, &mixedUp] {
        TFields& fields = ThreadLocal<TFields>();
        if (!fields.Values.empty()) ++mixedUp;
        const std::string mine(100, static_cast<char>('a' + t % 26));
        for (int k = 0; k < 20; ++k) fields.Values[std::to_string(k) + std::string(40, 'k')] = mine;
        std::vector<std::string> churn(100, std::string(64, 'z'));  // reuse of freed blocks
        for (const auto& [name, value] : ThreadLocal<TFields>().Values)
          if (value != mine) ++mixedUp;
      });
    for (std::thread& thread : threads) thread.join();
  }
  EXPECT_EQ(destroyed.load(), kRounds * kThreads);
  EXPECT_EQ(mixedUp.load(), 0);
}

TEST(ThreadLocal, TagsKeepValuesOfOneTypeApart) {
  struct TFirst;
  struct TSecond;
  ThreadLocal<std::string, TFirst>() = "first";
  ThreadLocal<std::string, TSecond>() = "second";
  const std::string first = ThreadLocal<std::string, TFirst>();
  const std::string second = ThreadLocal<std::string, TSecond>();
  EXPECT_EQ(first, "first");
  EXPECT_EQ(second, "second");
  std::string seenByOther = "unset";
  std::thread([&] { seenByOther = ThreadLocal<std::string, TFirst>(); }).join();
  EXPECT_EQ(seenByOther, "");
}

}  // namespace
}  // namespace pithorama::test
