// Listening stream sockets and their connections, for a program that takes a
// web server's connections itself (the FastCGI gateway). Every call blocks the
// calling thread; a connection is used by one reading thread and, under the
// caller's own lock, by writing threads.
//
//   TStreamListener listener;
//   if (!listener.Listen("127.0.0.1:9000", error)) ...;   // or "unix:/run/app.sock"
//   TStreamConnection connection;
//   while (listener.Accept(connection)) Serve(std::move(connection));
//   // another thread: listener.Stop() makes Accept answer false
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pithorama {

// A socket of the back end; InvalidStream is none.
using TStreamHandle = intptr_t;
constexpr TStreamHandle InvalidStream = -1;

// True when the standard input is a listening socket: a socket that has no
// peer. A web server that starts a program to serve its connections hands it
// the socket it should accept them on this way.
bool StandardInputIsListener();
// True when a service manager handed this process listening sockets
// (systemd's LISTEN_PID and LISTEN_FDS); the first one is taken.
bool HasHandedOverListener();

class TStreamConnection {
 public:
  TStreamConnection() = default;
  TStreamConnection(TStreamHandle handle, std::string peer);
  ~TStreamConnection();
  TStreamConnection(TStreamConnection&& other) noexcept;
  TStreamConnection& operator=(TStreamConnection&& other) noexcept;
  TStreamConnection(const TStreamConnection&) = delete;
  TStreamConnection& operator=(const TStreamConnection&) = delete;

  bool IsOpen() const { return handle_ != InvalidStream; }
  // Bytes received; 0 when the peer has closed its side, -1 on failure.
  int64_t Receive(void* buffer, size_t count);
  // Sends the pieces in order, as one gathered write where the system has
  // one. False when the connection failed; what was sent then is unknown.
  bool SendAll(const std::string_view* pieces, size_t count);
  // Ends the sending side: the peer reads the end after what was sent.
  void ShutdownSend();
  // Ends both sides: a Receive blocked in another thread returns.
  void ShutdownBoth();
  void Close();
  // The peer's address as text ("127.0.0.1", "::1"); empty for a local socket.
  const std::string& PeerAddress() const { return peer_; }

 private:
  TStreamHandle handle_ = InvalidStream;
  std::string peer_;
  // Set by the Windows back end's ShutdownBoth. Winsock does not wake a receive blocked in another
  // thread when the socket is shut down, so the Windows back end's Receive
  // waits in slices and looks at it; a move does not carry it.
  std::atomic<bool> receiveEnded_{false};
};

class TStreamListener {
 public:
  TStreamListener() = default;
  ~TStreamListener();
  TStreamListener(const TStreamListener&) = delete;
  TStreamListener& operator=(const TStreamListener&) = delete;

  // Listens on "host:port" (a dotted IPv4 address, a host name, or "[v6]"),
  // or on "unix:/path" (a stale socket file there is replaced, and removed
  // again when the listener ends). Port 0 takes a free port. False with a
  // reason in `error`.
  bool Listen(const std::string& address, std::string& error);
  // Takes the standard input's listening socket (see StandardInputIsListener).
  bool AdoptStandardInput();
  // Takes the first handed-over socket (see HasHandedOverListener).
  bool AdoptHandedOver();
  bool IsOpen() const { return handle_ != InvalidStream; }
  // Waits for the next connection. False once Stop was called, or when the
  // socket fails for good; passing failures (a connection that went before
  // it was taken, no descriptor free for a moment) are waited out.
  bool Accept(TStreamConnection& connection);
  // Makes a waiting and every later Accept answer false; from any thread.
  void Stop();
  // Where the listener listens: "127.0.0.1:9000", "unix:/path".
  std::string LocalAddress() const;

 private:
  void Close();
  bool OpenWake();
  TStreamHandle handle_ = InvalidStream;
  TStreamHandle wake_[2] = {InvalidStream, InvalidStream};  // Stop's wake-up, where used
  std::atomic<bool> stopped_{false};
  std::string unixPath_;  // the socket file this listener made
};

// A client connection to an address of the forms Listen takes; not open on
// failure. For tests and tools that play the web server's part.
TStreamConnection ConnectStream(const std::string& address);

}  // namespace pithorama
