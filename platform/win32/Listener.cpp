// Listening stream sockets on Windows: TCP over IPv4 or IPv6 through
// Winsock. Unix sockets are not offered here. Stop is seen by a waiting
// Accept within kStopPollMs, since Winsock has no pipe to wake a select.
#include "pithorama/platform/Listener.h"

#define WIN32_LEAN_AND_MEAN  // <windows.h> without the old winsock.h
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#undef DeleteFile
#undef PostMessage

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace pithorama {
namespace {

constexpr int kBacklog = SOMAXCONN;
constexpr long kStopPollMs = 250;

bool EnsureWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET Native(TStreamHandle handle) { return static_cast<SOCKET>(handle); }

bool SplitAddress(const std::string& address, std::string& host, std::string& port,
                  std::string& error) {
  if (address.rfind("unix:", 0) == 0) {
    error = "Unix sockets are not offered on Windows: " + address;
    return false;
  }
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon + 1 == address.size()) {
    error = "no port in " + address;
    return false;
  }
  host = address.substr(0, colon);
  port = address.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  return true;
}

std::string AddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    auto in4 = reinterpret_cast<const sockaddr_in&>(address).sin_addr;
    inet_ntop(AF_INET, &in4, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    auto in6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&in6))
      inet_ntop(AF_INET, &in6.s6_addr[12], text, sizeof text);
    else
      inet_ntop(AF_INET6, &in6, text, sizeof text);
  }
  return text;
}

template <class Use>
SOCKET EachAddress(const std::string& host, const std::string& port, bool passive,
                   std::string& error, Use use) {
  if (!EnsureWinsock()) {
    error = "Winsock did not start";
    return INVALID_SOCKET;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found) != 0) {
    error = "cannot resolve " + host;
    return INVALID_SOCKET;
  }
  SOCKET s = INVALID_SOCKET;
  for (addrinfo* a = found; a != nullptr && s == INVALID_SOCKET; a = a->ai_next) s = use(*a);
  freeaddrinfo(found);
  return s;
}

}  // namespace

bool StandardInputIsListener() {
  if (!EnsureWinsock()) return false;
  const SOCKET input = reinterpret_cast<SOCKET>(GetStdHandle(STD_INPUT_HANDLE));
  sockaddr_storage peer{};
  int length = sizeof peer;
  return input != INVALID_SOCKET && input != 0 &&
         getpeername(input, reinterpret_cast<sockaddr*>(&peer), &length) != 0 &&
         WSAGetLastError() == WSAENOTCONN;
}

bool HasHandedOverListener() { return false; }

// ---- connections ---------------------------------------------------------------

TStreamConnection::TStreamConnection(TStreamHandle handle, std::string peer)
    : handle_(handle), peer_(std::move(peer)) {}

TStreamConnection::~TStreamConnection() { Close(); }

TStreamConnection::TStreamConnection(TStreamConnection&& other) noexcept
    : handle_(std::exchange(other.handle_, InvalidStream)), peer_(std::move(other.peer_)) {}

TStreamConnection& TStreamConnection::operator=(TStreamConnection&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, InvalidStream);
    peer_ = std::move(other.peer_);
  }
  return *this;
}

// Waits for bytes in slices of kStopPollMs, so that a shut-down connection
// ends a Receive blocked in another thread (Winsock would leave it waiting
// for the peer).
int64_t TStreamConnection::Receive(void* buffer, size_t count) {
  if (!IsOpen()) return -1;
  const SOCKET socket = Native(handle_);
  for (;;) {
    if (receiveEnded_) return 0;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval slice{0, kStopPollMs * 1000};
    const int ready = select(0, &readable, nullptr, nullptr, &slice);
    if (ready == SOCKET_ERROR) return -1;
    if (ready > 0) break;
  }
  if (receiveEnded_) return 0;
  const int n = recv(socket, static_cast<char*>(buffer),
                     static_cast<int>(std::min<size_t>(count, 1 << 30)), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

bool TStreamConnection::SendAll(const std::string_view* pieces, size_t count) {
  if (!IsOpen()) return false;
  std::vector<WSABUF> parts;
  for (size_t i = 0; i < count; ++i)
    if (!pieces[i].empty())
      parts.push_back({static_cast<ULONG>(pieces[i].size()), const_cast<char*>(pieces[i].data())});
  size_t first = 0;
  while (first < parts.size()) {
    DWORD sent = 0;
    if (WSASend(Native(handle_), parts.data() + first, static_cast<DWORD>(parts.size() - first),
                &sent, 0, nullptr, nullptr) != 0)
      return false;
    while (first < parts.size() && sent >= parts[first].len) sent -= parts[first++].len;
    if (first < parts.size()) {
      parts[first].buf += sent;
      parts[first].len -= sent;
    }
  }
  return true;
}

void TStreamConnection::ShutdownSend() {
  if (IsOpen()) shutdown(Native(handle_), SD_SEND);
}

void TStreamConnection::ShutdownBoth() {
  receiveEnded_ = true;
  if (IsOpen()) shutdown(Native(handle_), SD_BOTH);
}

void TStreamConnection::Close() {
  if (IsOpen()) closesocket(Native(std::exchange(handle_, InvalidStream)));
}

TStreamConnection ConnectStream(const std::string& address) {
  std::string host, port, error;
  if (!SplitAddress(address, host, port, error)) return {};
  const SOCKET s = EachAddress(host, port, false, error, [](const addrinfo& a) {
    SOCKET c = socket(a.ai_family, a.ai_socktype, a.ai_protocol);
    if (c != INVALID_SOCKET && connect(c, a.ai_addr, static_cast<int>(a.ai_addrlen)) == 0) return c;
    if (c != INVALID_SOCKET) closesocket(c);
    return INVALID_SOCKET;
  });
  if (s == INVALID_SOCKET) return {};
  return TStreamConnection(static_cast<TStreamHandle>(s), host);
}

// ---- listeners -----------------------------------------------------------------

TStreamListener::~TStreamListener() { Close(); }

bool TStreamListener::Listen(const std::string& address, std::string& error) {
  Close();
  std::string host, port;
  if (!SplitAddress(address, host, port, error)) return false;
  const SOCKET s = EachAddress(host, port, true, error, [&](const addrinfo& a) {
    SOCKET l = socket(a.ai_family, a.ai_socktype, a.ai_protocol);
    if (l != INVALID_SOCKET && bind(l, a.ai_addr, static_cast<int>(a.ai_addrlen)) == 0 &&
        listen(l, kBacklog) == 0)
      return l;
    error = "cannot listen on " + address + ": error " + std::to_string(WSAGetLastError());
    if (l != INVALID_SOCKET) closesocket(l);
    return INVALID_SOCKET;
  });
  if (s == INVALID_SOCKET) return false;
  handle_ = static_cast<TStreamHandle>(s);
  return true;
}

bool TStreamListener::AdoptStandardInput() {
  Close();
  if (!StandardInputIsListener()) return false;
  handle_ = static_cast<TStreamHandle>(reinterpret_cast<SOCKET>(GetStdHandle(STD_INPUT_HANDLE)));
  return true;
}

bool TStreamListener::AdoptHandedOver() { return false; }

bool TStreamListener::OpenWake() { return true; }

bool TStreamListener::Accept(TStreamConnection& connection) {
  while (IsOpen() && !stopped_) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Native(handle_), &readable);
    timeval wait = {0, kStopPollMs * 1000};
    const int ready = select(0, &readable, nullptr, nullptr, &wait);
    if (ready == SOCKET_ERROR) return false;
    if (ready == 0 || stopped_) continue;
    sockaddr_storage peer{};
    int length = sizeof peer;
    const SOCKET s = accept(Native(handle_), reinterpret_cast<sockaddr*>(&peer), &length);
    if (s == INVALID_SOCKET) {
      const int error = WSAGetLastError();
      if (error == WSAENOTSOCK || error == WSAEINVAL) return false;
      if (error == WSAEMFILE || error == WSAENOBUFS) Sleep(100);
      continue;
    }
    // Records go out as they are made, without waiting for acknowledgements.
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    connection = TStreamConnection(static_cast<TStreamHandle>(s), AddressText(peer));
    return true;
  }
  return false;
}

void TStreamListener::Stop() { stopped_ = true; }

std::string TStreamListener::LocalAddress() const {
  sockaddr_storage local{};
  int length = sizeof local;
  if (!IsOpen() || getsockname(Native(handle_), reinterpret_cast<sockaddr*>(&local), &length) != 0)
    return {};
  const std::string host = AddressText(local);
  const unsigned port =
      ntohs(local.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(local).sin_port
                                       : reinterpret_cast<const sockaddr_in6&>(local).sin6_port);
  return local.ss_family == AF_INET6 ? "[" + host + "]:" + std::to_string(port)
                                     : host + ":" + std::to_string(port);
}

void TStreamListener::Close() {
  if (IsOpen()) closesocket(Native(std::exchange(handle_, InvalidStream)));
}

}  // namespace pithorama
