// Listening sockets and their connections, on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "pithorama/platform/Listener.h"

using namespace pithorama;

namespace {

// A connection the peer keeps open and silent: shutting it down ends a
// Receive that waits in another thread, as a server that stops needs.
TEST(StreamConnection, ShutdownEndsAReceiveWaitingInAnotherThread) {
  TStreamListener listener;
  std::string error;
  ASSERT_TRUE(listener.Listen("127.0.0.1:0", error)) << error;
  TStreamConnection peer = ConnectStream(listener.LocalAddress());
  ASSERT_TRUE(peer.IsOpen());
  TStreamConnection served;
  ASSERT_TRUE(listener.Accept(served));
  std::promise<void> receiving;
  auto received = std::async(std::launch::async, [&] {
    char byte;
    receiving.set_value();
    return served.Receive(&byte, 1);
  });
  receiving.get_future().wait();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // into the wait
  served.ShutdownBoth();
  const bool ended = received.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  if (!ended) peer.Close();  // frees the waiting thread, so the failure reports
  EXPECT_TRUE(ended);
  EXPECT_LE(received.get(), 0);
}

}  // namespace
