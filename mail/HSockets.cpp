#include "pithorama/mail/HSockets.h"

#include <iterator>

#include "pithorama/platform/Strings.h"

namespace pithorama {
namespace {

constexpr uint16_t RequestedVersion = 0x0101;  // 1.1
constexpr int SendWaitMs = 20;
constexpr int SendMaxFailedAttempts = 500;
constexpr int SocketTimedOut = 10060;

struct ErrorEntry {
  int code;
  const char* text;
};

constexpr ErrorEntry ErrorTable[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on nonsocket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references:can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name is too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory is not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disk quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unusable"},
    {10092, "Winsock DLL cannot support this application"},
    {10093, "Winsock not initialized"},
    {11001, "Host not found"},
    {11002, "Non authoritative - host not found"},
    {11003, "Non recoverable error"},
    {11004, "Valid name, no data record of requested type"},
};

}  // namespace

// ---- TCustomWSocket ----

TCustomWSocket::TCustomWSocket(TComponent* owner) : TComponent(owner) {
  TSocketStartupData data;
  int result = SocketStartup(RequestedVersion, data);
  if (result != 0) {
    SocketError(result);
    return;
  }
  socketState_ = SocketIdle;
  lastError_ = 0;
  WinsockVersion = std::to_string(data.Version >> 8) + "." + std::to_string(data.Version & 0xFF);
  WinsockDescription = data.Description;
  WinsockSystemStatus = data.SystemStatus;
  MaxSockets = data.MaxSockets;
  MaxUdpDatagram = data.MaxUdpDatagram;
}

TCustomWSocket::~TCustomWSocket() {
  if (socketHandle_ != InvalidSocket) SocketClose(socketHandle_);
  // No event handler runs from a destructor: the owner may be half gone.
  OnError = nullptr;
  if (socketState_ != SocketNotStarted && SocketCleanup() != 0) SocketError(SocketLastError());
}

bool TCustomWSocket::ResolveAddress(const std::string& Host, const std::string& Port,
                                    TInetAddress& address) {
  std::string protocolName;
  if (!ProtocolNameByNumber(Protocol, protocolName)) {
    SocketError(SocketLastError());
    return false;
  }
  uint16_t port = 0;
  if (!ServicePortByName(Port, protocolName, port)) {
    int32_t number = StrToInt(Port);  // raises EConvertError for text that is no number
    if (number < 0 || number > 0xFFFF) {
      // A port outside 16 bits would silently reach another port.
      SocketError(SocketInvalidArgument);
      return false;
    }
    port = HostToNetworkShort(static_cast<uint16_t>(number));
  }
  uint32_t host = 0;
  if (!ParseDottedAddress(Host, host) && !HostAddressByName(Host, host)) {
    SocketError(SocketLastError());
    return false;
  }
  address.Address = host;
  address.Port = port;
  return true;
}

void TCustomWSocket::ShutdownSocket(TSocketHandle& handle, TWindow window) {
  if (handle == InvalidSocket) return;
  if (SocketAsyncSelect(handle, window, SocketNotifyMessage, 0) != 0) {
    SocketError(SocketLastError());
    return;
  }
  if (SocketShutdown(handle, SdSend) != 0 && SocketLastError() != SocketNotConnected) {
    SocketError(SocketLastError());
    return;
  }
  while (SocketReceive(handle, ReceiveBuffer.data(), ReceiveBuffer.size(), 0) > 0) {
  }
  if (SocketClose(handle) == 0)
    handle = InvalidSocket;
  else
    SocketError(SocketLastError());
}

bool TCustomWSocket::SendData(TSocketHandle handle, int flags, const std::string& text) {
  size_t sent = 0;
  int failedAttempts = 0;
  while (sent < text.size()) {
    int chunk = static_cast<int>(std::min<size_t>(text.size() - sent, 1 << 30));
    int result = SocketSend(handle, text.data() + sent, chunk, flags);
    if (result > 0) {
      sent += static_cast<size_t>(result);
      failedAttempts = 0;  // the limit is on time without progress, not on the mail's size
      continue;
    }
    int error = SocketLastError();
    if (error != SocketWouldBlock) {
      SocketError(error);
      return false;
    }
    if (++failedAttempts > SendMaxFailedAttempts) {
      SocketError(SocketWouldBlock);  // reported: a cut message must not pass as sent
      return false;
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(sendDeadline_ -
                                                             std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      SocketError(SocketTimedOut);
      return false;
    }
    SocketWaitWritable(handle, static_cast<int>(std::min<long long>(left.count(), SendWaitMs)));
  }
  return true;
}

std::string TCustomWSocket::ReceiveData(TSocketHandle handle, int flags) {
  receiveEnded_ = false;
  int got = SocketReceive(handle, ReceiveBuffer.data(), ReceiveBuffer.size(), flags);
  if (got > 0) return std::string(ReceiveBuffer.data(), static_cast<size_t>(got));
  if (got == 0) {
    receiveEnded_ = true;
  } else if (SocketLastError() != SocketWouldBlock) {
    receiveEnded_ = true;
    SocketError(SocketLastError());
  }
  return std::string();
}

void TCustomWSocket::SocketError(int code) {
  lastError_ = code;
  if (OnError) OnError(this, code, GetErrorText());
}

std::string TCustomWSocket::GetErrorText() const { return ErrorText(lastError_); }

std::string TCustomWSocket::ErrorText(int code) {
  for (const ErrorEntry& entry : ErrorTable)
    if (entry.code == code) return entry.text;
  return std::string();
}

// ---- TTCPClient ----

TTCPClient::TTCPClient(TComponent* owner) : TCustomWSocket(owner) {
  notifyWindow_ = CreateMessageWindow([this](unsigned message, uintptr_t wParam, intptr_t lParam) {
    return HandleMessage(message, wParam, lParam);
  });
  Protocol = 6;
  SocketType = SockStream;
}

TTCPClient::~TTCPClient() {
  OnError = nullptr;
  OnClose = nullptr;
  Close();
  DestroyMessageWindow(notifyWindow_);
}

void TTCPClient::Connect() {
  if (socketState_ != SocketIdle) return;
  connectFailed_ = false;
  TInetAddress address;
  if (!ResolveAddress(RemoteHost, RemotePort, address)) return;
  socketHandle_ = SocketCreate(AfInet, SocketType, 0);
  if (socketHandle_ == InvalidSocket) {
    SocketError(SocketLastError());
    return;
  }
  bool started =
      SocketAsyncSelect(socketHandle_, notifyWindow_, SocketNotifyMessage,
                        FdRead | FdConnect | FdClose) == 0 &&
      SocketSetOption(socketHandle_, SolSocket, SoOobInline, -1) == 0 &&
      (SocketConnect(socketHandle_, address) == 0 || SocketLastError() == SocketWouldBlock);
  if (!started) {
    SocketError(SocketLastError());
    SocketClose(socketHandle_);
    socketHandle_ = InvalidSocket;
    return;
  }
  socketState_ = SocketConnecting;
}

void TTCPClient::Close() {
  if (socketState_ == SocketNotStarted || socketState_ == SocketIdle) return;
  ShutdownSocket(socketHandle_, notifyWindow_);
  if (socketHandle_ == InvalidSocket) socketState_ = SocketIdle;
}

bool TTCPClient::SendString(const std::string& text) {
  if (text.empty()) return true;
  return SendData(socketHandle_, 0, text);
}

std::string TTCPClient::ReceiveString() { return ReceiveData(socketHandle_, 0); }

intptr_t TTCPClient::HandleMessage(unsigned message, uintptr_t wParam, intptr_t lParam) {
  if (message != SocketNotifyMessage) return DefWindowProcedure(message, wParam, lParam);
  if (socketState_ == SocketIdle) return 0;  // late news of a socket already closed
  auto socket = static_cast<TSocketHandle>(wParam);
  unsigned event = static_cast<unsigned>(lParam) & 0xFFFF;
  int error = static_cast<int>((static_cast<unsigned>(lParam) >> 16) & 0xFFFF);
  switch (event) {
    case FdConnect:
      HandleConnectEvent(socket, error);
      break;
    case FdRead:
      if (error != 0)
        SocketError(error);
      else if (OnRead)
        OnRead(this, socket);
      break;
    case FdClose:
      HandleCloseEvent(socket, error);
      break;
    default:
      if (error != 0) SocketError(error);
  }
  return 0;
}

void TTCPClient::HandleConnectEvent(TSocketHandle socket, int error) {
  if (error != 0) {
    connectFailed_ = true;
    SocketError(error);  // stays connecting: the waiting caller decides when to give up
    return;
  }
  if (SocketAsyncSelect(socketHandle_, notifyWindow_, SocketNotifyMessage, FdRead | FdClose) != 0) {
    SocketError(SocketLastError());
    return;
  }
  if (OnConnect) OnConnect(this, socket);
  socketState_ = SocketConnected;
}

void TTCPClient::HandleCloseEvent(TSocketHandle socket, int error) {
  if (error == SocketNetworkDown) {
    SocketError(error);
    return;
  }
  if (OnClose) OnClose(this, socket);
  Close();
}

}  // namespace pithorama
