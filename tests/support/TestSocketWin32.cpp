#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdexcept>

#include "tests/support/TestSocket.h"

namespace pithorama::test {

namespace {

// Winsock is started once for the test program and left running.
void StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw std::runtime_error("cannot start Winsock");
}

SOCKET Handle(TTestSocket socket) { return static_cast<SOCKET>(socket); }

bool Readable(SOCKET socket, int timeoutMs) {
  WSAPOLLFD ready{socket, POLLRDNORM, 0};
  return WSAPoll(&ready, 1, timeoutMs) > 0;
}

}  // namespace

TTestSocket ListenOnLoopback(int& port, int receiveBuffer) {
  StartWinsock();
  SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket != INVALID_SOCKET && receiveBuffer > 0)
    ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                 sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (socket == INVALID_SOCKET ||
      ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(socket, 4) != 0 ||
      ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (socket != INVALID_SOCKET) ::closesocket(socket);
    throw std::runtime_error("cannot listen on loopback");
  }
  port = ntohs(address.sin_port);
  return static_cast<TTestSocket>(socket);
}

TTestSocket AcceptWithin(TTestSocket listener, int timeoutMs) {
  if (!Readable(Handle(listener), timeoutMs)) return kNoSocket;
  SOCKET socket = ::accept(Handle(listener), nullptr, nullptr);
  return socket == INVALID_SOCKET ? kNoSocket : static_cast<TTestSocket>(socket);
}

long ReceiveWithin(TTestSocket socket, char* buffer, size_t size, int timeoutMs) {
  if (!Readable(Handle(socket), timeoutMs)) return -1;
  return ::recv(Handle(socket), buffer, static_cast<int>(size), 0);
}

bool SendAll(TTestSocket socket, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    int n = ::send(Handle(socket), bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

void CloseSocket(TTestSocket socket) {
  if (socket != kNoSocket) ::closesocket(Handle(socket));
}

}  // namespace pithorama::test
