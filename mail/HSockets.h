// Socket client components. TCustomWSocket starts the socket library,
// resolves addresses, sends, receives and names errors; TTCPClient connects
// without blocking and learns of connect, read and close through messages
// posted to its hidden window, which arrive only while its thread pumps
// (DispatchMessages). Neither raises for a network failure: it records a
// socket error number in LastError() and calls OnError.
//
//   TTCPClient client(owner);
//   client.RemoteHost = "127.0.0.1";
//   client.RemotePort = "smtp";
//   client.OnConnect = [](TObject*, TSocketHandle) { ... };
//   client.Connect();                       // SocketState() becomes 4
//   while (client.SocketState() == 4) { WaitForMessage(100); DispatchMessages(); }
//
// Thread: a component is used on the thread that created it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "pithorama/platform/Component.h"
#include "pithorama/platform/Sockets.h"

namespace pithorama {

// The message by which socket events reach the notify window: wParam is the
// socket, the low 16 bits of lParam the event, the high 16 bits the error.
constexpr unsigned SocketNotifyMessage = WmUser + 1;

// SocketState values. 3 is not used.
constexpr uint8_t SocketNotStarted = 0;
constexpr uint8_t SocketIdle = 1;
constexpr uint8_t SocketConnected = 2;
constexpr uint8_t SocketConnecting = 4;

using TSocketErrorEvent =
    std::function<void(TObject* Sender, int ErrorCode, const std::string& ErrorText)>;
using TSocketEvent = std::function<void(TObject* Sender, TSocketHandle Socket)>;

class TCustomWSocket : public TComponent {
 public:
  explicit TCustomWSocket(TComponent* owner);
  ~TCustomWSocket() override;

  // Start-up figures: version "1.1", the library's two texts and limits.
  std::string WinsockVersion;
  std::string WinsockDescription;
  std::string WinsockSystemStatus;
  int32_t MaxSockets = 0;
  int32_t MaxUdpDatagram = 0;
  // The protocol number for service look-ups and the type of new sockets.
  int32_t Protocol = 0;
  int32_t SocketType = SockRaw;
  TSocketErrorEvent OnError;

  TSocketHandle SocketHandle() const { return socketHandle_; }
  uint8_t SocketState() const { return socketState_; }
  int32_t LastError() const { return lastError_; }

  // Fills address from a dotted address or host name and a service name or
  // decimal port. False (after SocketError) when a look-up fails; a port that
  // is neither a known service nor a number raises EConvertError.
  bool ResolveAddress(const std::string& Host, const std::string& Port, TInetAddress& address);
  // Stops notifications, shuts the sending side, drains what the peer sent and
  // closes; handle becomes InvalidSocket when the close succeeded.
  void ShutdownSocket(TSocketHandle& handle, TWindow window);
  // Sends all of text, waiting while the socket is full. A send that makes no
  // progress for about ten seconds (500 waits of 20 ms) gives up, and so does
  // one still waiting when the send deadline passes (10060). Answers true
  // when every byte went out; otherwise the failure went through SocketError.
  bool SendData(TSocketHandle handle, int flags, const std::string& text);
  // The moment after which sends stop waiting for room; none by default. A
  // dialogue sets its own deadline here, so that a peer that reads slowly
  // cannot stretch it.
  void SetSendDeadline(std::chrono::steady_clock::time_point deadline) { sendDeadline_ = deadline; }
  // One receive of at most 1024 bytes: what is there now, possibly nothing.
  std::string ReceiveData(TSocketHandle handle, int flags);
  // True when the last ReceiveData found that nothing more will come: the
  // peer's orderly end or a failure of the connection.
  bool ReceiveEnded() const { return receiveEnded_; }
  void SocketError(int code);
  // The text of LastError(); empty for 0 and numbers not in the table.
  std::string GetErrorText() const;
  static std::string ErrorText(int code);

 protected:
  std::array<char, 1024> ReceiveBuffer{};
  TSocketHandle socketHandle_ = InvalidSocket;
  uint8_t socketState_ = SocketNotStarted;
  int32_t lastError_ = 0;
  bool receiveEnded_ = false;
  std::chrono::steady_clock::time_point sendDeadline_ =
      std::chrono::steady_clock::time_point::max();
};

class TTCPClient : public TCustomWSocket {
 public:
  explicit TTCPClient(TComponent* owner);
  ~TTCPClient() override;

  std::string RemoteHost;
  std::string RemotePort;
  TSocketEvent OnRead;
  TSocketEvent OnConnect;
  TSocketEvent OnClose;

  TWindow NotifyWindow() const { return notifyWindow_; }
  // True when the connect notification of the last Connect carried an error.
  bool ConnectFailed() const { return connectFailed_; }
  // Starts a non-blocking connect; only in state 1 (idle).
  void Connect();
  // Shuts the connection down; nothing in states 0 and 1.
  void Close();
  virtual bool SendString(const std::string& text);
  std::string ReceiveString();

 protected:
  intptr_t HandleMessage(unsigned message, uintptr_t wParam, intptr_t lParam);

 private:
  void HandleConnectEvent(TSocketHandle socket, int error);
  void HandleCloseEvent(TSocketHandle socket, int error);

  TWindow notifyWindow_ = 0;
  bool connectFailed_ = false;
};

}  // namespace pithorama
