// The socket client components against a loopback peer: start-up figures,
// address resolution, the state moves and the notifications.
#include <gtest/gtest.h>

#include <chrono>

#include "pithorama/mail/HSockets.h"
#include "pithorama/platform/Errors.h"
#include "pithorama/platform/Messages.h"
#include "tests/support/ScriptedPeer.h"

using namespace pithorama;
using pithorama::test::ScriptedPeer;

namespace {

// Pumps the thread's messages until done() or 5 s, so a fault fails instead of hanging.
template <class Done>
bool PumpUntil(Done done) {
  auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    WaitForMessage(100);
    DispatchMessages();
  }
  return true;
}

TEST(SocketClient, StartUpFigures) {
  TTCPClient client(nullptr);
  EXPECT_EQ(client.WinsockVersion, "1.1");
  EXPECT_FALSE(client.WinsockDescription.empty());
  EXPECT_GT(client.MaxSockets, 0);
  EXPECT_EQ(client.Protocol, 6);
  EXPECT_EQ(client.SocketType, 1);
  EXPECT_EQ(client.SocketState(), SocketIdle);
  EXPECT_EQ(client.LastError(), 0);
  EXPECT_EQ(client.SocketHandle(), InvalidSocket);
  TCustomWSocket base(nullptr);
  EXPECT_EQ(base.Protocol, 0);
  EXPECT_EQ(base.SocketType, 3);
}

TEST(SocketClient, ErrorTexts) {
  const std::pair<int, const char*> texts[] = {
      {10035, "Operation would block"},
      {10061, "Connection refused"},
      {11001, "Host not found"},
      {10059, "Too many references:can't splice"},
      {11004, "Valid name, no data record of requested type"},
      {10092, "Winsock DLL cannot support this application"},
      {0, ""},
      {10000, ""},
      {-1, ""}};
  TTCPClient client(nullptr);
  for (const auto& [code, text] : texts) {
    client.SocketError(code);
    EXPECT_EQ(client.GetErrorText(), text) << code;
  }
}

TEST(SocketClient, ResolveAddress) {
  TTCPClient client(nullptr);
  TInetAddress byNumber, byName, local;
  ASSERT_TRUE(client.ResolveAddress("127.0.0.1", "25", byNumber));
  ASSERT_TRUE(client.ResolveAddress("127.0.0.1", "smtp", byName));
  EXPECT_EQ(byNumber.Port, byName.Port);
  EXPECT_EQ(byNumber.Port, HostToNetworkShort(25));
  EXPECT_EQ(byNumber.Address, byName.Address);
  ASSERT_TRUE(client.ResolveAddress("localhost", "8025", local));
  EXPECT_EQ(local.Address, byNumber.Address);
  EXPECT_THROW(client.ResolveAddress("127.0.0.1", "no-such-service", local), EConvertError);
  EXPECT_FALSE(client.ResolveAddress("127.0.0.1", "70000", local));
  EXPECT_EQ(client.LastError(), 10022);
}

TEST(SocketClient, ConnectReadCloseAndTheStates) {
  ScriptedPeer peer({"220 hello\r\n", ScriptedPeer::Close});
  TTCPClient client(nullptr);
  client.RemoteHost = "127.0.0.1";
  client.RemotePort = std::to_string(peer.Port());
  std::vector<std::string> events;
  client.OnConnect = [&](TObject*, TSocketHandle) {
    events.push_back("connect in state " + std::to_string(client.SocketState()));
  };
  client.OnRead = [&](TObject*, TSocketHandle) {
    events.push_back("read " + client.ReceiveString());
  };
  client.OnClose = [&](TObject*, TSocketHandle) { events.push_back("close"); };
  client.Close();  // nothing in state 1
  client.Connect();
  EXPECT_EQ(client.SocketState(), SocketConnecting);
  ASSERT_TRUE(PumpUntil([&] { return client.SocketState() == SocketConnected; }));
  client.Connect();  // nothing in state 2
  EXPECT_TRUE(client.SendString(""));
  EXPECT_TRUE(client.SendString("HELO x\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return client.SocketState() == SocketIdle; }));
  EXPECT_EQ(events,
            (std::vector<std::string>{"connect in state 4", "read 220 hello\r\n", "close"}));
  EXPECT_EQ(client.SocketHandle(), InvalidSocket);
  EXPECT_EQ(peer.Received(), "HELO x\r\n");
}

TEST(SocketClient, RefusedConnectReportsAndStaysConnecting) {
  TTCPClient client(nullptr);
  client.RemoteHost = "127.0.0.1";
  client.RemotePort = std::to_string(pithorama::test::UnusedPort());
  std::vector<std::string> errors;
  client.OnError = [&](TObject*, int code, const std::string& text) {
    errors.push_back(std::to_string(code) + " " + text);
  };
  client.Connect();
  ASSERT_TRUE(PumpUntil([&] { return client.ConnectFailed(); }));
  EXPECT_EQ(errors, std::vector<std::string>{"10061 Connection refused"});
  EXPECT_EQ(client.SocketState(), SocketConnecting);
  client.Close();
  EXPECT_EQ(client.SocketState(), SocketIdle);
}

TEST(SocketClient, NotificationAfterCloseIsIgnored) {
  TTCPClient client(nullptr);
  bool called = false;
  client.OnRead = client.OnConnect =
      client.OnClose = [&](TObject*, TSocketHandle) { called = true; };
  client.OnError = [&](TObject*, int, const std::string&) { called = true; };
  for (unsigned event : {FdRead, FdConnect, FdClose})
    PostMessage(client.NotifyWindow(), SocketNotifyMessage, 5,
                static_cast<intptr_t>(event | 10054u << 16));
  DispatchMessages();
  EXPECT_FALSE(called);
  EXPECT_EQ(client.SocketState(), SocketIdle);
}

}  // namespace
