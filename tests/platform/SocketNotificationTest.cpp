// The socket notifications of the platform layer, one socket at a time
// against a scripted peer: what a window gets, in which order, and what it
// must never get (news of a closed socket, a read with nothing to read, a
// close while data is unread).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "pithorama/platform/Messages.h"
#include "pithorama/platform/Sockets.h"
#include "pithorama/platform/Threads.h"
#include "tests/support/ScriptedPeer.h"

using namespace pithorama;
using pithorama::test::ScriptedPeer;

namespace {

constexpr unsigned WmSocket = WmUser + 1;

// A window that watches one socket at a time and records its notifications
// as "connect", "read", "close" (with ":error" when there is one), or
// "other ..." for a socket that is not the current one.
struct Watcher {
  Watcher() {
    TSocketStartupData data;
    started = SocketStartup(0x0101, data) == 0;
  }
  ~Watcher() {
    if (socket != InvalidSocket) SocketClose(socket);
    DestroyMessageWindow(window);
    if (started) SocketCleanup();
  }

  void Connect(int port) {
    socket = SocketCreate(AfInet, SockStream, 0);
    ASSERT_NE(socket, InvalidSocket);
    ASSERT_EQ(SocketAsyncSelect(socket, window, WmSocket, FdRead | FdConnect | FdClose), 0);
    TInetAddress address;
    ASSERT_TRUE(ParseDottedAddress("127.0.0.1", address.Address));
    address.Port = HostToNetworkShort(static_cast<uint16_t>(port));
    if (SocketConnect(socket, address) != 0) {
      ASSERT_EQ(SocketLastError(), SocketWouldBlock);
    }
  }
  void Close() {
    SocketClose(socket);
    socket = InvalidSocket;
  }
  void Receive() {
    char buffer[256];
    int got = SocketReceive(socket, buffer, sizeof buffer, 0);
    if (got > 0) received.append(buffer, static_cast<size_t>(got));
  }
  bool Saw(const std::string& event) const {
    return std::find(events.begin(), events.end(), event) != events.end();
  }
  // Pumps until `event` was seen or the bound is over; a short bound gives an
  // event that should not come its chance to show up.
  void PumpUntilSeen(const std::string& event, int boundMs = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!Saw(event) && std::chrono::steady_clock::now() < end) {
      WaitForMessage(50);
      DispatchMessages();
    }
  }

  intptr_t Notified(uintptr_t wParam, intptr_t lParam) {
    const unsigned event = static_cast<unsigned>(lParam) & 0xFFFF;
    const unsigned error = static_cast<unsigned>(lParam) >> 16;
    std::string name = event == FdConnect ? "connect" : event == FdRead ? "read" : "close";
    if (error != 0) name += ":" + std::to_string(error);
    if (static_cast<TSocketHandle>(wParam) != socket) name = "other " + name;
    events.push_back(name);
    if (event == FdRead && receiveOnRead) Receive();
    return 0;
  }

  bool started = false;
  TSocketHandle socket = InvalidSocket;
  bool receiveOnRead = true;
  std::vector<std::string> events;
  std::string received;
  TWindow window = CreateMessageWindow([this](unsigned message, uintptr_t wParam, intptr_t lParam) {
    return message == WmSocket ? Notified(wParam, lParam) : intptr_t{0};
  });
};

TEST(SocketNotification, ConnectReadThenClose) {
  ScriptedPeer peer({"220 hi\r\n", ScriptedPeer::Close});
  Watcher watcher;
  watcher.Connect(peer.Port());
  watcher.PumpUntilSeen("connect");
  ASSERT_EQ(SocketSend(watcher.socket, "x\r\n", 3, 0), 3);
  watcher.PumpUntilSeen("close");
  EXPECT_EQ(watcher.events, (std::vector<std::string>{"connect", "read", "close"}));
  EXPECT_EQ(watcher.received, "220 hi\r\n");
}

// A peer that closes at once: the connect comes alone in its pump, so the
// window sees the connection made before it sees it end.
TEST(SocketNotification, ConnectComesAloneInItsPump) {
  ScriptedPeer peer({ScriptedPeer::Close});
  Watcher watcher;
  watcher.Connect(peer.Port());
  peer.Received();  // the peer has gone ...
  SleepMs(100);     // ... and the news of its end had time to come too
  DispatchMessages();
  EXPECT_EQ(watcher.events, std::vector<std::string>{"connect"});
  watcher.PumpUntilSeen("close");
  EXPECT_EQ(watcher.events, (std::vector<std::string>{"connect", "close"}));
}

// The system may give a new socket the number of one just closed while news
// of the old one still waits in the queue; that news must not reach the new one.
TEST(SocketNotification, NewsOfAClosedSocketNeverReachesTheNextOne) {
  ScriptedPeer first({"gone", ScriptedPeer::Close});
  ScriptedPeer second({"220 hi\r\n"});
  Watcher watcher;
  watcher.Connect(first.Port());
  first.Received();      // the first peer sent its text and went ...
  WaitForMessage(5000);  // ... and news of it is due, but nobody pumps
  watcher.Close();
  watcher.Connect(second.Port());
  watcher.PumpUntilSeen("read");
  watcher.Close();
  EXPECT_EQ(watcher.events, (std::vector<std::string>{"connect", "read"}));
  EXPECT_EQ(watcher.received, "220 hi\r\n");
}

// A read notification comes once until a receive, and the close only after
// the data was read, so a close handler cannot throw the peer's last words away.
TEST(SocketNotification, CloseWaitsForTheUnreadData) {
  ScriptedPeer peer({"last words", ScriptedPeer::Close});
  Watcher watcher;
  watcher.receiveOnRead = false;
  watcher.Connect(peer.Port());
  watcher.PumpUntilSeen("read");
  peer.Received();  // the peer has gone
  watcher.PumpUntilSeen("close", 300);
  EXPECT_EQ(watcher.events, (std::vector<std::string>{"connect", "read"}));
  watcher.Receive();
  watcher.PumpUntilSeen("close");
  EXPECT_EQ(watcher.events, (std::vector<std::string>{"connect", "read", "close"}));
  EXPECT_EQ(watcher.received, "last words");
}

// Data read before its notification is pumped leaves nothing to announce.
TEST(SocketNotification, NoReadNotificationWithNothingToRead) {
  ScriptedPeer peer({"220 hi\r\n", "x"});
  Watcher watcher;
  watcher.Connect(peer.Port());
  watcher.PumpUntilSeen("read");
  watcher.receiveOnRead = false;
  ASSERT_EQ(SocketSend(watcher.socket, "go\r\n", 4, 0), 4);
  // The answer is read as it arrives, before its news is pumped.
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!watcher.received.ends_with("x") && std::chrono::steady_clock::now() < end) {
    WaitForMessage(50);
    watcher.Receive();
  }
  watcher.events.clear();
  watcher.PumpUntilSeen("read", 300);
  EXPECT_TRUE(watcher.events.empty());
  EXPECT_EQ(watcher.received, "220 hi\r\nx");
}

}  // namespace
