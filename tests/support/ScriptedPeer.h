// A scripted SMTP server for the tests: listens on a free loopback port,
// accepts one connection, sends the greeting, then answers each command with
// the next reply of its script and records every byte the client sent.
//
//   ScriptedPeer peer({"220 hi\r\n", "250 ok\r\n", ...});
//   mail.RemotePort = std::to_string(peer.Port());
//   mail.SendMail(5);
//   EXPECT_EQ(peer.Received(), "HELO ...\r\n...");
//
// After a reply that starts with "354" the peer reads the message text up to
// its end mark as one command; after a reply without its final line end the next
// entry follows at once, since the client cannot answer it. Two replies are special: Close ends the
// connection at once, Silent answers nothing and waits for the client to go.
// When the script runs out the peer waits for the client to close.
//
// The message text may be read slowly (512 bytes every 10 ms) or not at all
// until the test calls Release(), for tests of a server that reads slowly;
// either way the peer gives up after 30 s.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSocket.h"

namespace pithorama::test {

class ScriptedPeer {
 public:
  static inline const std::string Close = "<close>";
  static inline const std::string Silent = "<silent>";

  enum class TextReading { Normal, Slow, Stalled };

  // delayMs: a pause before each reply, for tests of waiting.
  explicit ScriptedPeer(std::vector<std::string> script, int delayMs = 0,
                        TextReading reading = TextReading::Normal);
  ~ScriptedPeer();

  int Port() const { return port_; }
  // Waits for the peer's end (the client closed, or 10 s passed) and answers
  // every byte it received.
  std::string Received();
  // Ends slow or stalled reading: the rest is read at full speed.
  void Release() { released_ = true; }

 private:
  void Serve();
  bool ReadCommand(pithorama::test::TTestSocket socket, bool messageText);
  bool ReadHeldBack(pithorama::test::TTestSocket socket);

  std::vector<std::string> script_;
  int delayMs_;
  TextReading reading_;
  std::atomic<bool> released_{false};
  pithorama::test::TTestSocket listener_ = pithorama::test::kNoSocket;
  int port_ = 0;
  std::string received_;
  std::thread thread_;
};

// A loopback port that nothing listens on.
int UnusedPort();

}  // namespace pithorama::test
