#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace mailtest {
namespace {

constexpr int PeerLimitMs = 10000;  // nothing in these tests takes that long
constexpr auto HoldLimit = std::chrono::seconds(30);

int ListenOnLoopback(int& port, int receiveBuffer = 0) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // Set before listen, so that the accepted socket offers a small window.
  if (fd >= 0 && receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 4) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("cannot listen on loopback");
  port = ntohs(address.sin_port);
  return fd;
}

// One read with a bound; 0 at the client's end or when the bound passed.
ssize_t ReadSome(int fd, std::string& into) {
  pollfd ready{fd, POLLIN, 0};
  if (::poll(&ready, 1, PeerLimitMs) <= 0) return 0;
  char buffer[4096];
  ssize_t got = ::read(fd, buffer, sizeof buffer);
  if (got > 0) into.append(buffer, static_cast<size_t>(got));
  return got;
}

void WriteAll(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

}  // namespace

ScriptedPeer::ScriptedPeer(std::vector<std::string> script, int delayMs, TextReading reading)
    : script_(std::move(script)), delayMs_(delayMs), reading_(reading) {
  listenFd_ = ListenOnLoopback(port_, reading == TextReading::Normal ? 0 : 4096);
  thread_ = std::thread([this] { Serve(); });
}

ScriptedPeer::~ScriptedPeer() {
  if (thread_.joinable()) thread_.join();
  ::close(listenFd_);
}

std::string ScriptedPeer::Received() {
  if (thread_.joinable()) thread_.join();
  return received_;
}

// Reads the message text slowly, or not at all, until Release() or the end
// mark; false when the client went or the peer gave up.
bool ScriptedPeer::ReadHeldBack(int fd) {
  auto limit = std::chrono::steady_clock::now() + HoldLimit;
  size_t from = received_.size();
  while (!released_ && received_.find("\r\n.\r\n", from) == std::string::npos) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (reading_ == TextReading::Stalled) continue;
    char buffer[512];
    ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got == 0) return false;
    if (got > 0) received_.append(buffer, static_cast<size_t>(got));
  }
  return true;
}

// Reads up to the end of one command line, or of the message text.
bool ScriptedPeer::ReadCommand(int fd, bool messageText) {
  const std::string end = messageText ? "\r\n.\r\n" : "\r\n";
  size_t from = received_.size();
  if (messageText && reading_ != TextReading::Normal && !ReadHeldBack(fd)) return false;
  while (received_.find(end, from) == std::string::npos)
    if (ReadSome(fd, received_) <= 0) return false;
  return true;
}

void ScriptedPeer::Serve() {
  pollfd waiting{listenFd_, POLLIN, 0};
  if (::poll(&waiting, 1, PeerLimitMs) <= 0) return;
  int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  bool messageText = false;
  bool awaitCommand = false;
  for (size_t i = 0; i < script_.size(); ++i) {
    if (awaitCommand && !ReadCommand(fd, messageText)) break;
    const std::string& reply = script_[i];
    if (reply == Close) break;
    awaitCommand = true;
    if (reply == Silent) continue;
    if (delayMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_));
    WriteAll(fd, reply);
    messageText = reply.starts_with("354");
    awaitCommand = reply.ends_with("\n");  // the client answers only a whole reply
  }
  if (script_.empty() || script_.back() != Close)
    while (ReadSome(fd, received_) > 0) {
    }
  ::close(fd);
}

int UnusedPort() {
  int port = 0;
  int fd = ListenOnLoopback(port);
  ::close(fd);  // nothing listens there now; a connect is refused
  return port;
}

}  // namespace mailtest
