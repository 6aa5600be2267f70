#include "tests/support/ScriptedPeer.h"

#include <chrono>
#include <stdexcept>

namespace pithorama::test {
namespace {

using namespace pithorama::test;

constexpr int PeerLimitMs = 10000;  // nothing in these tests takes that long
constexpr auto HoldLimit = std::chrono::seconds(30);

// One read with a bound; 0 at the client's end or when the bound passed.
long ReadSome(TTestSocket socket, std::string& into) {
  char buffer[4096];
  long got = ReceiveWithin(socket, buffer, sizeof buffer, PeerLimitMs);
  if (got > 0) into.append(buffer, static_cast<size_t>(got));
  return got < 0 ? 0 : got;
}

}  // namespace

ScriptedPeer::ScriptedPeer(std::vector<std::string> script, int delayMs, TextReading reading)
    : script_(std::move(script)), delayMs_(delayMs), reading_(reading) {
  listener_ = ListenOnLoopback(port_, reading == TextReading::Normal ? 0 : 4096);
  thread_ = std::thread([this] { Serve(); });
}

ScriptedPeer::~ScriptedPeer() {
  if (thread_.joinable()) thread_.join();
  CloseSocket(listener_);
}

std::string ScriptedPeer::Received() {
  if (thread_.joinable()) thread_.join();
  return received_;
}

// Reads the message text slowly, or not at all, until Release() or the end
// mark; false when the client went or the peer gave up.
bool ScriptedPeer::ReadHeldBack(TTestSocket socket) {
  auto limit = std::chrono::steady_clock::now() + HoldLimit;
  size_t from = received_.size();
  while (!released_ && received_.find("\r\n.\r\n", from) == std::string::npos) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (reading_ == TextReading::Stalled) continue;
    char buffer[512];
    long got = ReceiveWithin(socket, buffer, sizeof buffer, 0);
    if (got == 0) return false;
    if (got > 0) received_.append(buffer, static_cast<size_t>(got));
  }
  return true;
}

// Reads up to the end of one command line, or of the message text.
bool ScriptedPeer::ReadCommand(TTestSocket socket, bool messageText) {
  const std::string end = messageText ? "\r\n.\r\n" : "\r\n";
  size_t from = received_.size();
  if (messageText && reading_ != TextReading::Normal && !ReadHeldBack(socket)) return false;
  while (received_.find(end, from) == std::string::npos)
    if (ReadSome(socket, received_) <= 0) return false;
  return true;
}

void ScriptedPeer::Serve() {
  const TTestSocket socket = AcceptWithin(listener_, PeerLimitMs);
  if (socket == kNoSocket) return;
  bool messageText = false;
  bool awaitCommand = false;
  for (size_t i = 0; i < script_.size(); ++i) {
    if (awaitCommand && !ReadCommand(socket, messageText)) break;
    const std::string& reply = script_[i];
    if (reply == Close) break;
    awaitCommand = true;
    if (reply == Silent) continue;
    if (delayMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_));
    SendAll(socket, reply);
    messageText = reply.starts_with("354");
    awaitCommand = reply.ends_with("\n");  // the client answers only a whole reply
  }
  if (script_.empty() || script_.back() != Close)
    while (ReadSome(socket, received_) > 0) {
    }
  CloseSocket(socket);
}

int UnusedPort() {
  int port = 0;
  CloseSocket(ListenOnLoopback(port));  // nothing listens there now; a connect is refused
  return port;
}

}  // namespace pithorama::test
