// Listening stream sockets on POSIX: TCP over IPv4 or IPv6 and Unix sockets.
#include "pithorama/platform/Listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace pithorama {
namespace {

constexpr int kBacklog = 1024;
constexpr int kHandedOverFirst = 3;  // the first descriptor a service manager hands over
constexpr int kBusyPauseMs = 100;    // the wait after running out of descriptors

int Fd(TStreamHandle handle) { return static_cast<int>(handle); }

// "unix:/path", or host and port of "host:port" and "[v6]:port".
struct TAddressParts {
  bool Unix = false;
  std::string Host;
  std::string Port;
};

bool SplitAddress(const std::string& address, TAddressParts& parts, std::string& error) {
  if (address.rfind("unix:", 0) == 0) {
    parts.Unix = true;
    parts.Host = address.substr(5);
    if (parts.Host.empty() || parts.Host.size() >= sizeof(sockaddr_un::sun_path)) {
      error = "unusable socket path in " + address;
      return false;
    }
    return true;
  }
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon + 1 == address.size()) {
    error = "no port in " + address;
    return false;
  }
  parts.Host = address.substr(0, colon);
  parts.Port = address.substr(colon + 1);
  if (parts.Host.size() >= 2 && parts.Host.front() == '[' && parts.Host.back() == ']')
    parts.Host = parts.Host.substr(1, parts.Host.size() - 2);
  return true;
}

sockaddr_un UnixAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// The text of an IP address; an IPv4 address mapped into IPv6 reads as IPv4.
std::string AddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &in4.sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr))
      inet_ntop(AF_INET, &in6.sin6_addr.s6_addr[12], text, sizeof text);
    else
      inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
  }
  return text;
}

uint16_t PortOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
}

void SetCloseOnExec(int fd) { ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC); }

// Resolves `parts` and calls `use` with each address until it answers a descriptor.
template <class Use>
int EachAddress(const TAddressParts& parts, bool passive, std::string& error, Use use) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  addrinfo* found = nullptr;
  const char* host = parts.Host.empty() ? nullptr : parts.Host.c_str();
  const int code = ::getaddrinfo(host, parts.Port.c_str(), &hints, &found);
  if (code != 0) {
    error = "cannot resolve " + parts.Host + ": " + ::gai_strerror(code);
    return -1;
  }
  int fd = -1;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) fd = use(*a);
  ::freeaddrinfo(found);
  return fd;
}

bool WaitReadable(int fd, int wakeFd, int timeoutMs) {
  pollfd watched[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  return ::poll(watched, wakeFd >= 0 ? 2 : 1, timeoutMs) > 0 && watched[0].revents != 0 &&
         (wakeFd < 0 || watched[1].revents == 0);
}

}  // namespace

bool StandardInputIsListener() {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  return ::getpeername(0, reinterpret_cast<sockaddr*>(&peer), &length) != 0 && errno == ENOTCONN;
}

bool HasHandedOverListener() {
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  return pid != nullptr && fds != nullptr && std::atol(pid) == static_cast<long>(::getpid()) &&
         std::atoi(fds) >= 1;
}

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

int64_t TStreamConnection::Receive(void* buffer, size_t count) {
  if (!IsOpen()) return -1;
  for (;;) {
    const ssize_t n = ::recv(Fd(handle_), buffer, count, 0);
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

bool TStreamConnection::SendAll(const std::string_view* pieces, size_t count) {
  if (!IsOpen()) return false;
  std::vector<iovec> parts;
  for (size_t i = 0; i < count; ++i)
    if (!pieces[i].empty())
      parts.push_back({const_cast<char*>(pieces[i].data()), pieces[i].size()});
  size_t first = 0;
  while (first < parts.size()) {
    msghdr message{};
    message.msg_iov = parts.data() + first;
    message.msg_iovlen = parts.size() - first;
    ssize_t sent = ::sendmsg(Fd(handle_), &message, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    // Drops the pieces that went whole and cuts the one that went in part.
    while (first < parts.size() && static_cast<size_t>(sent) >= parts[first].iov_len)
      sent -= static_cast<ssize_t>(parts[first++].iov_len);
    if (first < parts.size()) {
      parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + sent;
      parts[first].iov_len -= static_cast<size_t>(sent);
    }
  }
  return true;
}

void TStreamConnection::ShutdownSend() {
  if (IsOpen()) ::shutdown(Fd(handle_), SHUT_WR);
}

void TStreamConnection::ShutdownBoth() {
  if (IsOpen()) ::shutdown(Fd(handle_), SHUT_RDWR);
}

void TStreamConnection::Close() {
  if (IsOpen()) ::close(Fd(std::exchange(handle_, InvalidStream)));
}

TStreamConnection ConnectStream(const std::string& address) {
  TAddressParts parts;
  std::string error;
  if (!SplitAddress(address, parts, error)) return {};
  if (parts.Unix) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un to = UnixAddress(parts.Host);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
      return TStreamConnection(fd, "");
    if (fd >= 0) ::close(fd);
    return {};
  }
  const int fd = EachAddress(parts, false, error, [](const addrinfo& a) {
    const int s = ::socket(a.ai_family, a.ai_socktype | SOCK_CLOEXEC, a.ai_protocol);
    if (s >= 0 && ::connect(s, a.ai_addr, a.ai_addrlen) == 0) return s;
    if (s >= 0) ::close(s);
    return -1;
  });
  return fd >= 0 ? TStreamConnection(fd, parts.Host) : TStreamConnection();
}

// ---- listeners -----------------------------------------------------------------

TStreamListener::~TStreamListener() { Close(); }

bool TStreamListener::Listen(const std::string& address, std::string& error) {
  Close();
  TAddressParts parts;
  if (!SplitAddress(address, parts, error)) return false;
  int fd = -1;
  if (parts.Unix) {
    struct stat info {};
    // A socket file left by an earlier run is replaced; any other file is not.
    if (::lstat(parts.Host.c_str(), &info) == 0 && S_ISSOCK(info.st_mode))
      ::unlink(parts.Host.c_str());
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un at = UnixAddress(parts.Host);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(fd, kBacklog) != 0) {
      error = ErrnoText("cannot listen on " + address);
      if (fd >= 0) ::close(fd);
      return false;
    }
    unixPath_ = parts.Host;
  } else {
    fd = EachAddress(parts, true, error, [&](const addrinfo& a) {
      const int s = ::socket(a.ai_family, a.ai_socktype | SOCK_CLOEXEC, a.ai_protocol);
      const int on = 1;
      if (s >= 0) ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      if (s >= 0 && ::bind(s, a.ai_addr, a.ai_addrlen) == 0 && ::listen(s, kBacklog) == 0) return s;
      error = ErrnoText("cannot listen on " + address);
      if (s >= 0) ::close(s);
      return -1;
    });
    if (fd < 0) return false;
  }
  handle_ = fd;
  return OpenWake();
}

bool TStreamListener::AdoptStandardInput() {
  Close();
  if (!StandardInputIsListener()) return false;
  handle_ = 0;
  SetCloseOnExec(0);
  return OpenWake();
}

bool TStreamListener::AdoptHandedOver() {
  Close();
  if (!HasHandedOverListener()) return false;
  handle_ = kHandedOverFirst;
  SetCloseOnExec(kHandedOverFirst);
  return OpenWake();
}

bool TStreamListener::Accept(TStreamConnection& connection) {
  if (!IsOpen()) return false;
  const int wakeFd = static_cast<int>(wake_[0]);
  while (!stopped_) {
    if (!WaitReadable(Fd(handle_), wakeFd, -1)) {
      if (stopped_) break;
      continue;
    }
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd =
        ::accept4(Fd(handle_), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd >= 0) {
      // A connection inherits a non-blocking listener's mode on some systems.
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      // Records go out as they are made: a small last record must not wait
      // for the peer's acknowledgement of the one before.
      if (peer.ss_family == AF_INET || peer.ss_family == AF_INET6) {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      }
      connection = TStreamConnection(fd, AddressText(peer));
      return true;
    }
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
      WaitReadable(wakeFd, -1, kBusyPauseMs);
    else if (errno == EBADF || errno == EINVAL || errno == ENOTSOCK || errno == EOPNOTSUPP)
      return false;
    // Anything else concerns only the connection that was being taken.
  }
  return false;
}

// The pipe that wakes a waiting Accept, made before any thread may call Stop.
bool TStreamListener::OpenWake() {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  wake_[0] = pipeFds[0];
  wake_[1] = pipeFds[1];
  return true;
}

void TStreamListener::Stop() {
  stopped_ = true;
  if (wake_[1] != InvalidStream) {
    const char byte = 1;
    ssize_t written = ::write(static_cast<int>(wake_[1]), &byte, 1);
    (void)written;  // a full pipe already wakes the waiter
  }
}

std::string TStreamListener::LocalAddress() const {
  if (!unixPath_.empty()) return "unix:" + unixPath_;
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (!IsOpen() || ::getsockname(Fd(handle_), reinterpret_cast<sockaddr*>(&local), &length) != 0)
    return {};
  if (local.ss_family == AF_UNIX)
    return "unix:" + std::string(reinterpret_cast<const sockaddr_un&>(local).sun_path);
  const std::string host = AddressText(local);
  const std::string port = std::to_string(PortOf(local));
  return local.ss_family == AF_INET6 ? "[" + host + "]:" + port : host + ":" + port;
}

void TStreamListener::Close() {
  if (IsOpen()) ::close(Fd(std::exchange(handle_, InvalidStream)));
  if (!unixPath_.empty()) ::unlink(std::exchange(unixPath_, std::string()).c_str());
  for (TStreamHandle& fd : wake_)
    if (fd != InvalidStream) ::close(static_cast<int>(std::exchange(fd, InvalidStream)));
}

}  // namespace pithorama
