// Sockets on POSIX. Every errno and resolver code becomes a socket error
// number here (SocketErrorFromErrno, ResolverError) and nowhere else.
#include "pithorama/platform/Sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "pithorama/platform/posix/SocketWatch.h"

namespace pithorama {
namespace {

thread_local int tLastError = 0;
std::atomic<int> gStartups{0};

int Fail(int error) {
  tLastError = error;
  return SocketFailed;
}

int FailErrno() { return Fail(posix::SocketErrorFromErrno(errno)); }

int ResolverError(int code) {
  switch (code) {
    case EAI_NONAME:
      return 11001;
    case EAI_AGAIN:
      return 11002;
    case EAI_FAIL:
      return 11003;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return 11004;
#endif
    case EAI_MEMORY:
      return 10055;
    case EAI_SYSTEM:
      return posix::SocketErrorFromErrno(errno);
    default:
      return 11003;
  }
}

int Descriptor(TSocketHandle socket) {
  return socket < 0 || socket > INT32_MAX ? -1 : static_cast<int>(socket);
}

}  // namespace

namespace posix {

int SocketErrorFromErrno(int errnoValue) {
  switch (errnoValue) {
    case 0:
      return 0;
    case EINTR:
      return 10004;
    case EBADF:
      return 10009;
    case EACCES:
    case EPERM:
      return 10013;
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
    case ENFILE:
      return 10024;
    case EAGAIN:
      return 10035;  // EWOULDBLOCK is the same number on Linux
    case EINPROGRESS:
      return 10036;
    case EALREADY:
      return 10037;
    case ENOTSOCK:
      return 10038;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case ESOCKTNOSUPPORT:
      return 10044;
    case EOPNOTSUPP:
      return 10045;
    case EPFNOSUPPORT:
      return 10046;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
      return 10053;
    case ECONNRESET:
      return 10054;
    case ENOBUFS:
    case ENOMEM:
      return 10055;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return 10057;
    case ESHUTDOWN:
    case EPIPE:
      return 10058;
    case ETOOMANYREFS:
      return 10059;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case ELOOP:
      return 10062;
    case ENAMETOOLONG:
      return 10063;
    case EHOSTDOWN:
      return 10064;
    case EHOSTUNREACH:
      return 10065;
    case ENOTEMPTY:
      return 10066;
    case EUSERS:
      return 10068;
    case EDQUOT:
      return 10069;
    case ESTALE:
      return 10070;
    case EREMOTE:
      return 10071;
    default:
      return 10022;  // no closer number in the table
  }
}

}  // namespace posix

int SocketStartup(uint16_t versionRequested, TSocketStartupData& data) {
  // Version 1.1 is what this layer offers; a request below it cannot be met.
  if ((versionRequested & 0xFF) < 1) return 10092;
  rlimit files{};
  uint64_t maxSockets = ::getrlimit(RLIMIT_NOFILE, &files) == 0 ? files.rlim_cur : 1024;
  data.Version = 0x0101;
  data.HighVersion = 0x0101;
  data.Description = "POSIX sockets";
  data.SystemStatus = "Running";
  data.MaxSockets = static_cast<uint16_t>(std::min<uint64_t>(maxSockets, 0xFFFF));
  data.MaxUdpDatagram = 65507;  // the largest IPv4 UDP payload
  ++gStartups;
  return 0;
}

int SocketCleanup() {
  if (gStartups.load() <= 0) return Fail(10093);
  --gStartups;
  return 0;
}

int SocketLastError() { return tLastError; }
void SetSocketLastError(int error) { tLastError = error; }

uint16_t HostToNetworkShort(uint16_t value) { return htons(value); }

bool ProtocolNameByNumber(int number, std::string& name) {
  protoent entry{}, *found = nullptr;
  char buffer[1024];
  if (::getprotobynumber_r(number, &entry, buffer, sizeof buffer, &found) == 0 && found) {
    name = found->p_name;
    return true;
  }
  // Without a protocol database (no /etc/protocols) the numbers that never
  // change still have their names.
  static const struct {
    int number;
    const char* name;
  } known[] = {{0, "ip"}, {6, "tcp"}, {17, "udp"}};
  for (const auto& k : known)
    if (k.number == number) return name = k.name, true;
  tLastError = 11004;
  return false;
}

bool ServicePortByName(const std::string& service, const std::string& protocol, uint16_t& port) {
  servent entry{}, *found = nullptr;
  char buffer[4096];
  if (::getservbyname_r(service.c_str(), protocol.c_str(), &entry, buffer, sizeof buffer, &found) !=
          0 ||
      !found)
    return false;
  port = static_cast<uint16_t>(found->s_port);
  return true;
}

bool ParseDottedAddress(const std::string& text, uint32_t& address) {
  in_addr parsed{};
  if (text.empty() || ::inet_aton(text.c_str(), &parsed) == 0) return false;
  address = parsed.s_addr;
  return true;
}

bool HostAddressByName(const std::string& host, uint32_t& address) {
  addrinfo hints{}, *answer = nullptr;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &answer);
  if (result != 0) return Fail(ResolverError(result)), false;
  address = reinterpret_cast<sockaddr_in*>(answer->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(answer);
  return true;
}

TSocketHandle SocketCreate(int family, int type, int protocol) {
  if (family != AfInet) return Fail(10047), InvalidSocket;
  int nativeType = type == SockStream ? SOCK_STREAM : type == SockRaw ? SOCK_RAW : SOCK_DGRAM;
  int fd = ::socket(AF_INET, nativeType | SOCK_CLOEXEC, protocol);
  if (fd < 0) return FailErrno(), InvalidSocket;
  return fd;
}

int SocketAsyncSelect(TSocketHandle socket, TWindow window, unsigned message, unsigned events) {
  int fd = Descriptor(socket);
  if (fd < 0) return Fail(10038);
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return FailErrno();
  if (!posix::WatchSocket(fd, window, message, events)) return Fail(10022);
  return 0;
}

int SocketSetOption(TSocketHandle socket, int level, int option, int32_t value) {
  if (level != SolSocket || option != SoOobInline) return Fail(10042);
  int on = value != 0;
  if (::setsockopt(Descriptor(socket), SOL_SOCKET, SO_OOBINLINE, &on, sizeof on) != 0)
    return FailErrno();
  return 0;
}

int SocketConnect(TSocketHandle socket, const TInetAddress& address) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = address.Port;
  peer.sin_addr.s_addr = address.Address;
  if (::connect(Descriptor(socket), reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) return 0;
  // A non-blocking connect under way is "would block" in the classic numbering.
  if (errno == EINPROGRESS) return Fail(SocketWouldBlock);
  return FailErrno();
}

int SocketSend(TSocketHandle socket, const char* data, int length, int flags) {
  ssize_t sent =
      ::send(Descriptor(socket), data, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
  if (sent < 0) return FailErrno();
  return static_cast<int>(sent);
}

int SocketReceive(TSocketHandle socket, char* buffer, int length, int flags) {
  int fd = Descriptor(socket);
  ssize_t got = ::recv(fd, buffer, static_cast<size_t>(length), flags);
  int savedErrno = errno;
  if (fd >= 0) posix::SocketWasRead(fd);
  if (got < 0) return Fail(posix::SocketErrorFromErrno(savedErrno));
  return static_cast<int>(got);
}

void SocketWaitWritable(TSocketHandle socket, int timeoutMs) {
  pollfd fd{Descriptor(socket), POLLOUT, 0};
  ::poll(&fd, 1, timeoutMs);
}

int SocketShutdown(TSocketHandle socket, int how) {
  int nativeHow = how == 0 ? SHUT_RD : how == SdSend ? SHUT_WR : SHUT_RDWR;
  if (::shutdown(Descriptor(socket), nativeHow) != 0) return FailErrno();
  return 0;
}

int SocketClose(TSocketHandle socket) {
  int fd = Descriptor(socket);
  if (fd < 0) return Fail(10038);
  posix::WatchSocket(fd, 0, 0, 0);  // the number may be reused by the next socket
  if (::close(fd) != 0) return FailErrno();
  return 0;
}

int GetLocalHostName(char* buffer, int length) {
  if (length <= 0 || ::gethostname(buffer, static_cast<size_t>(length)) != 0) return FailErrno();
  buffer[length - 1] = '\0';
  return 0;
}

bool LocalCanonicalHostName(std::string& name) {
  char host[256];
  if (GetLocalHostName(host, sizeof host) != 0) return false;
  addrinfo hints{}, *answer = nullptr;
  hints.ai_family = AF_INET;
  hints.ai_flags = AI_CANONNAME;
  int result = ::getaddrinfo(host, nullptr, &hints, &answer);
  if (result != 0) return Fail(ResolverError(result)), false;
  name = answer->ai_canonname != nullptr ? answer->ai_canonname : host;
  ::freeaddrinfo(answer);
  return true;
}

int SocketLocalAddress(TSocketHandle socket, TInetAddress& address) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(Descriptor(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0)
    return FailErrno();
  if (local.sin_family != AF_INET) return Fail(10047);
  address.Address = local.sin_addr.s_addr;
  address.Port = local.sin_port;
  return 0;
}

}  // namespace pithorama
