// Sockets on Windows are Winsock's, whose error numbers already are the
// classic ones; only the resolver's out-of-memory code needs mapping.
//
// Notifications come from WSAAsyncSelect as window messages that Winsock
// posts the moment something happens. Two things of Winsock need care:
// - Socket numbers are reused at once, while notifications for a closed socket
//   may still wait in the queue. Each watched socket therefore gets a message
//   number of its own (FirstSocketMessage..LastSocketMessage, handed out in
//   turn) for as long as it is open; a notification whose number and socket
//   no longer match a live watch is dropped instead of reaching the next
//   socket that got the same number.
// - A read notification may come when nothing is left to read, and a close
//   notification while data is still unread. Both are checked with a peek on
//   the owning thread before the window's procedure sees them, as the POSIX
//   back end does: FdRead only with data (or an error) waiting and once until
//   the next receive, FdClose only after the data has been read.
#include "pithorama/platform/Sockets.h"

#define WIN32_LEAN_AND_MEAN  // <windows.h> without the old winsock.h
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#undef DeleteFile
#undef PostMessage

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "pithorama/platform/win32/SocketWatch.h"

namespace pithorama {
namespace {

thread_local int tLastError = 0;

int Fail(int error) {
  tLastError = error;
  return SocketFailed;
}

int FailWinsock() { return Fail(WSAGetLastError()); }

// getaddrinfo answers Winsock numbers, save for its out-of-memory code.
int ResolverError(int code) { return code == WSA_NOT_ENOUGH_MEMORY ? WSAENOBUFS : code; }

// Winsock stays started for the whole process, so that the calls that need
// no start-up elsewhere (name look-ups, a socket made by a library) work here
// too; SocketStartup and SocketCleanup count their users on top of it.
bool EnsureWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET Native(TSocketHandle socket) { return static_cast<SOCKET>(socket); }

struct Watch {
  TWindow window = 0;
  HWND handle = nullptr;
  unsigned message = 0;  // what the window's procedure gets
  unsigned native = 0;   // what Winsock posts for this socket
  unsigned events = 0;
  unsigned long connectPump = 0;  // the pump that delivered FdConnect
  bool readPending = false;       // FdRead went out and no receive followed yet
  bool closeHeld = false;         // FD_CLOSE came while data was unread
  bool closeDone = false;         // FdClose (or a failed connect) went out: nothing more
};

std::mutex gLock;
std::unordered_map<SOCKET, Watch> gWatches;
std::unordered_map<unsigned, SOCKET> gSocketOfMessage;
unsigned gNextMessage = win32::FirstSocketMessage;

// The next message number that no open socket holds. Caller holds gLock.
unsigned TakeMessageNumberLocked(SOCKET socket) {
  constexpr unsigned count = win32::LastSocketMessage - win32::FirstSocketMessage + 1;
  for (unsigned tries = 0; tries < count; ++tries) {
    unsigned number = gNextMessage;
    gNextMessage = number == win32::LastSocketMessage ? win32::FirstSocketMessage : number + 1;
    if (gSocketOfMessage.emplace(number, socket).second) return number;
  }
  return 0;
}

void ForgetLocked(SOCKET socket) {
  auto it = gWatches.find(socket);
  if (it == gWatches.end()) return;
  if (it->second.handle != nullptr) WSAAsyncSelect(socket, it->second.handle, 0, 0);
  gSocketOfMessage.erase(it->second.native);
  gWatches.erase(it);
}

// 1 with data waiting, 0 after the peer's orderly end, -1 with `error` set
// (WSAEWOULDBLOCK: nothing there yet).
int Peek(SOCKET socket, int& error) {
  char probe;
  int got = recv(socket, &probe, 1, MSG_PEEK);
  if (got == SOCKET_ERROR) {
    error = WSAGetLastError();
    return -1;
  }
  return got > 0 ? 1 : 0;
}

LPARAM Reply(unsigned event, int error) { return WSAMAKESELECTREPLY(event, error); }

// FD_READ: data waiting gives FdRead; the end of the stream, or a reset, gives
// FdClose when that is watched. Nothing to read gives nothing.
bool TranslateRead(SOCKET socket, Watch& watch, intptr_t& lParam) {
  if (watch.readPending) return false;  // Wine repeats FD_READ at the end of the stream
  int error = 0;
  int state = Peek(socket, error);
  if (state < 0 && error == WSAEWOULDBLOCK) return false;
  if (state > 0 || !(watch.events & FdClose)) {
    watch.readPending = true;
    lParam = Reply(FdRead, state < 0 ? error : 0);
    return true;
  }
  watch.closeDone = true;
  lParam = Reply(FdClose, state < 0 ? error : 0);
  return true;
}

// FD_CLOSE: held back while data is unread, so that a close handler cannot
// throw the peer's last reply away; SocketReceive lets it out.
bool TranslateClose(SOCKET socket, Watch& watch, int error, intptr_t& lParam) {
  int peekError = 0;
  if ((watch.events & FdRead) && error == 0 && Peek(socket, peekError) > 0) {
    watch.closeHeld = true;
    return false;
  }
  watch.closeDone = true;
  lParam = Reply(FdClose, error);
  return true;
}

// After a receive: the next data may give FdRead again, and a held close
// goes out once the data is gone.
void SocketWasRead(SOCKET socket) {
  std::lock_guard<std::mutex> hold(gLock);
  auto it = gWatches.find(socket);
  if (it == gWatches.end()) return;
  it->second.readPending = false;
  if (!it->second.closeHeld) return;
  int error = 0;
  int state = Peek(socket, error);
  if (state > 0 || (state < 0 && error == WSAEWOULDBLOCK)) return;  // FD_READ comes again
  it->second.closeHeld = false;
  PostMessageA(it->second.handle, it->second.native, socket,
               Reply(FD_CLOSE, state < 0 ? error : 0));
}

}  // namespace

namespace win32 {

bool TranslateSocketNotification(TWindow window, unsigned& message, uintptr_t wParam,
                                 intptr_t& lParam) {
  std::lock_guard<std::mutex> hold(gLock);
  auto number = gSocketOfMessage.find(message);
  if (number == gSocketOfMessage.end() || number->second != wParam) return false;  // closed since
  const SOCKET socket = number->second;
  Watch& watch = gWatches.at(socket);
  const unsigned event = WSAGETSELECTEVENT(lParam);
  const int error = WSAGETSELECTERROR(lParam);
  if (watch.window != window || watch.closeDone || !(watch.events & event)) return false;
  // The connect notification comes alone, as on POSIX: what follows for the
  // socket waits for the next pump, so that the procedure has seen the
  // connection made (and its caller has seen the state) before it ends.
  if (event != FD_CONNECT && watch.connectPump == win32::PumpNumber()) {
    PostMessageA(watch.handle, watch.native, socket, lParam);
    return false;
  }
  message = watch.message;
  switch (event) {
    case FD_CONNECT:
      watch.connectPump = win32::PumpNumber();
      if (error != 0) watch.closeDone = true;  // a failed connect leaves a dead socket
      return true;
    case FD_READ:
      return TranslateRead(socket, watch, lParam);
    case FD_CLOSE:
      return TranslateClose(socket, watch, error, lParam);
    default:
      return true;
  }
}

void ForgetSocketsOfWindow(TWindow window) {
  std::lock_guard<std::mutex> hold(gLock);
  for (auto& [socket, watch] : gWatches) {
    if (watch.window != window) continue;
    WSAAsyncSelect(socket, watch.handle, 0, 0);
    watch.window = 0;
    watch.events = 0;
  }
}

}  // namespace win32

int SocketStartup(uint16_t versionRequested, TSocketStartupData& data) {
  WSADATA answer;
  int result = WSAStartup(versionRequested, &answer);
  if (result != 0) return result;
  EnsureWinsock();
  data.Version = answer.wVersion;
  data.HighVersion = answer.wHighVersion;
  data.Description = answer.szDescription;
  data.SystemStatus = answer.szSystemStatus;
  data.MaxSockets = answer.iMaxSockets;
  data.MaxUdpDatagram = answer.iMaxUdpDg;
  return 0;
}

int SocketCleanup() { return WSACleanup() == 0 ? 0 : FailWinsock(); }

int SocketLastError() { return tLastError; }
void SetSocketLastError(int error) { tLastError = error; }

uint16_t HostToNetworkShort(uint16_t value) { return htons(value); }

bool ProtocolNameByNumber(int number, std::string& name) {
  EnsureWinsock();
  if (const protoent* found = getprotobynumber(number)) {
    name = found->p_name;
    return true;
  }
  static const struct {
    int number;
    const char* name;
  } known[] = {{0, "ip"}, {6, "tcp"}, {17, "udp"}};
  for (const auto& k : known)
    if (k.number == number) return name = k.name, true;
  tLastError = WSANO_DATA;
  return false;
}

bool ServicePortByName(const std::string& service, const std::string& protocol, uint16_t& port) {
  EnsureWinsock();
  const servent* found = getservbyname(service.c_str(), protocol.c_str());
  if (found == nullptr) return false;
  port = static_cast<uint16_t>(found->s_port);
  return true;
}

bool ParseDottedAddress(const std::string& text, uint32_t& address) {
  EnsureWinsock();
  if (text.empty()) return false;
  unsigned long parsed = inet_addr(text.c_str());
  // INADDR_NONE is also the answer for the one address that spells it.
  if (parsed == INADDR_NONE && text != "255.255.255.255") return false;
  address = static_cast<uint32_t>(parsed);
  return true;
}

bool HostAddressByName(const std::string& host, uint32_t& address) {
  EnsureWinsock();
  addrinfo hints{}, *answer = nullptr;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  int result = getaddrinfo(host.c_str(), nullptr, &hints, &answer);
  if (result != 0) return Fail(ResolverError(result)), false;
  address = reinterpret_cast<sockaddr_in*>(answer->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(answer);
  return true;
}

TSocketHandle SocketCreate(int family, int type, int protocol) {
  if (!EnsureWinsock()) return Fail(WSANOTINITIALISED), InvalidSocket;
  if (family != AfInet) return Fail(WSAEAFNOSUPPORT), InvalidSocket;
  SOCKET socket = ::socket(AF_INET, type, protocol);
  if (socket == INVALID_SOCKET) return FailWinsock(), InvalidSocket;
  // Not handed to the programs this process starts.
  SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
  return static_cast<TSocketHandle>(socket);
}

int SocketAsyncSelect(TSocketHandle socket, TWindow window, unsigned message, unsigned events) {
  const SOCKET native = Native(socket);
  HWND handle = static_cast<HWND>(win32::NativeWindow(window));
  std::lock_guard<std::mutex> hold(gLock);
  auto it = gWatches.find(native);
  if (events == 0) {
    if (it != gWatches.end()) {
      WSAAsyncSelect(native, it->second.handle, 0, 0);
      it->second.events = 0;
    }
    u_long nonBlocking = 1;  // as after any select: the socket stays non-blocking
    return ioctlsocket(native, FIONBIO, &nonBlocking) == 0 ? 0 : FailWinsock();
  }
  if (handle == nullptr) return Fail(WSAEINVAL);
  if (it == gWatches.end()) {
    unsigned number = TakeMessageNumberLocked(native);
    if (number == 0) return Fail(WSAEMFILE);
    it = gWatches.emplace(native, Watch{}).first;
    it->second.native = number;
  }
  Watch& watch = it->second;
  watch.window = window;
  watch.handle = handle;
  watch.message = message;
  watch.events = events;
  // FdRead, FdConnect and FdClose are Winsock's own event bits.
  if (WSAAsyncSelect(native, handle, watch.native, static_cast<long>(events)) != 0)
    return FailWinsock();
  return 0;
}

int SocketSetOption(TSocketHandle socket, int level, int option, int32_t value) {
  if (level != SolSocket || option != SoOobInline) return Fail(WSAENOPROTOOPT);
  BOOL on = value != 0;
  if (setsockopt(Native(socket), SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char*>(&on),
                 sizeof on) != 0)
    return FailWinsock();
  return 0;
}

int SocketConnect(TSocketHandle socket, const TInetAddress& address) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = address.Port;
  peer.sin_addr.s_addr = address.Address;
  if (connect(Native(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return 0;
  return FailWinsock();  // a non-blocking connect under way is WSAEWOULDBLOCK
}

int SocketSend(TSocketHandle socket, const char* data, int length, int flags) {
  int sent = send(Native(socket), data, length, flags);
  return sent == SOCKET_ERROR ? FailWinsock() : sent;
}

int SocketReceive(TSocketHandle socket, char* buffer, int length, int flags) {
  int got = recv(Native(socket), buffer, length, flags);
  int error = got == SOCKET_ERROR ? WSAGetLastError() : 0;
  SocketWasRead(Native(socket));
  return got == SOCKET_ERROR ? Fail(error) : got;
}

void SocketWaitWritable(TSocketHandle socket, int timeoutMs) {
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(Native(socket), &writable);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  select(0, nullptr, &writable, nullptr, timeoutMs < 0 ? nullptr : &limit);
}

int SocketShutdown(TSocketHandle socket, int how) {
  // SD_RECEIVE, SD_SEND and SD_BOTH are 0, 1 and 2 as in the classic table.
  return shutdown(Native(socket), how) == 0 ? 0 : FailWinsock();
}

int SocketClose(TSocketHandle socket) {
  const SOCKET native = Native(socket);
  if (socket == InvalidSocket) return Fail(WSAENOTSOCK);
  // Under the lock: a notification being translated never peeks at the next
  // socket that gets this number.
  std::lock_guard<std::mutex> hold(gLock);
  ForgetLocked(native);
  return closesocket(native) == 0 ? 0 : FailWinsock();
}

int GetLocalHostName(char* buffer, int length) {
  EnsureWinsock();
  if (length <= 0 || gethostname(buffer, length) != 0) return FailWinsock();
  buffer[length - 1] = '\0';
  return 0;
}

bool LocalCanonicalHostName(std::string& name) {
  char host[256];
  if (GetLocalHostName(host, sizeof host) != 0) return false;
  addrinfo hints{}, *answer = nullptr;
  hints.ai_family = AF_INET;
  hints.ai_flags = AI_CANONNAME;
  int result = getaddrinfo(host, nullptr, &hints, &answer);
  if (result != 0) return Fail(ResolverError(result)), false;
  name = answer->ai_canonname != nullptr ? answer->ai_canonname : host;
  freeaddrinfo(answer);
  return true;
}

int SocketLocalAddress(TSocketHandle socket, TInetAddress& address) {
  sockaddr_in local{};
  int length = sizeof local;
  if (getsockname(Native(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0)
    return FailWinsock();
  if (local.sin_family != AF_INET) return Fail(WSAEAFNOSUPPORT);
  address.Address = local.sin_addr.s_addr;
  address.Port = local.sin_port;
  return 0;
}

}  // namespace pithorama
