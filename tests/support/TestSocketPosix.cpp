#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "tests/support/TestSocket.h"

namespace pithorama::test {

namespace {

bool Readable(int fd, int timeoutMs) {
  pollfd ready{fd, POLLIN, 0};
  return ::poll(&ready, 1, timeoutMs) > 0;
}

}  // namespace

TTestSocket ListenOnLoopback(int& port, int receiveBuffer) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && receiveBuffer > 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot listen on loopback");
  }
  port = ntohs(address.sin_port);
  return fd;
}

TTestSocket AcceptWithin(TTestSocket listener, int timeoutMs) {
  if (!Readable(static_cast<int>(listener), timeoutMs)) return kNoSocket;
  int fd = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
  return fd < 0 ? kNoSocket : fd;
}

long ReceiveWithin(TTestSocket socket, char* buffer, size_t size, int timeoutMs) {
  if (!Readable(static_cast<int>(socket), timeoutMs)) return -1;
  return ::recv(static_cast<int>(socket), buffer, size, 0);
}

bool SendAll(TTestSocket socket, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n =
        ::send(static_cast<int>(socket), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

void CloseSocket(TTestSocket socket) {
  if (socket != kNoSocket) ::close(static_cast<int>(socket));
}

}  // namespace pithorama::test
