// The per-thread message queue that carries the socket notifications.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "pithorama/platform/Messages.h"

using namespace pithorama;

namespace {

struct Recorder {
  std::vector<std::string> seen;
  TWindow window = CreateMessageWindow([this](unsigned message, uintptr_t wParam, intptr_t lParam) {
    seen.push_back(std::to_string(message) + ":" + std::to_string(wParam) + ":" +
                   std::to_string(lParam));
    return DefWindowProcedure(message, wParam, lParam);
  });
  ~Recorder() { DestroyMessageWindow(window); }
};

TEST(MessageQueue, PostFromAnotherThreadWakesTheOwner) {
  Recorder recorder;
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    PostMessage(recorder.window, WmUser + 7, 1, 2);
  });
  for (int pass = 0; pass < 50 && recorder.seen.empty();
       ++pass) {  // bounded: 50 waits of at most 100 ms
    WaitForMessage(100);
    DispatchMessages();
  }
  poster.join();
  EXPECT_EQ(recorder.seen, std::vector<std::string>{std::to_string(WmUser + 7) + ":1:2"});
}

TEST(MessageQueue, MessagesArriveInOrderAndOnlyWhenPumped) {
  Recorder recorder;
  PostMessage(recorder.window, WmUser, 1, 0);
  PostMessage(recorder.window, WmUser, 2, 0);
  EXPECT_TRUE(recorder.seen.empty());
  WaitForMessage(-1);  // returns at once: messages are queued
  DispatchMessages();
  EXPECT_EQ(recorder.seen.size(), 2u);
  EXPECT_EQ(recorder.seen[0], std::to_string(WmUser) + ":1:0");
}

TEST(MessageQueue, MessageForADestroyedWindowIsDropped) {
  auto* recorder = new Recorder;
  TWindow window = recorder->window;
  PostMessage(window, WmUser, 1, 0);
  delete recorder;  // a delivery now would touch freed memory
  DispatchMessages();
  EXPECT_FALSE(PostMessage(window, WmUser, 1, 0));
  EXPECT_FALSE(SetTimer(window, 1, 10));
}

TEST(MessageQueue, TimerRepeatsUntilKilled) {
  Recorder recorder;
  ASSERT_TRUE(SetTimer(recorder.window, 9, 10));
  for (int pass = 0; pass < 100 && recorder.seen.size() < 3; ++pass) {
    WaitForMessage(1000);
    DispatchMessages();
  }
  ASSERT_GE(recorder.seen.size(), 3u);
  EXPECT_EQ(recorder.seen[0], std::to_string(WmTimer) + ":9:0");
  EXPECT_TRUE(KillTimer(recorder.window, 9));
  EXPECT_FALSE(KillTimer(recorder.window, 9));
  size_t count = recorder.seen.size();
  WaitForMessage(30);
  DispatchMessages();
  EXPECT_EQ(recorder.seen.size(), count);
}

TEST(MessageQueue, HandlerMayPostAndDestroy) {
  std::vector<int> order;
  TWindow window = 0;
  window = CreateMessageWindow([&](unsigned message, uintptr_t wParam, intptr_t) {
    order.push_back(static_cast<int>(wParam));
    if (wParam == 1) PostMessage(window, message, 2, 0);
    if (wParam == 2) DestroyMessageWindow(window);
    return intptr_t{0};
  });
  PostMessage(window, WmUser, 1, 0);
  DispatchMessages();  // what the handler posts waits for the next pump
  EXPECT_EQ(order, std::vector<int>{1});
  DispatchMessages();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_FALSE(IsWindowOfCallingThread(window));
}

TEST(MessageQueue, WindowBelongsToItsThread) {
  Recorder recorder;
  EXPECT_TRUE(IsWindowOfCallingThread(recorder.window));
  bool onOther = true;
  std::thread([&] { onOther = IsWindowOfCallingThread(recorder.window); }).join();
  EXPECT_FALSE(onOther);
}

TEST(MessageQueue, WorkerWithoutWindowsHasNothingToDeliver) {
  std::thread([] {
    DispatchMessages();
    WaitForMessage(10);  // sleeps its time-out: nothing can be posted here
    DispatchMessages();
  }).join();
}

}  // namespace
