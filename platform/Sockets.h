// IPv4 sockets in the classic socket-library manner: calls answer SocketFailed
// (or InvalidSocket) and leave a socket error number for the calling thread in
// SocketLastError(); they never throw. The numbers are those of the classic
// socket error table (10035 "would block", 10061 "refused", 11001 "host not
// found", ...), whatever the operating system's own codes are; the mapping is
// made in one place of the back end.
//
//   TSocketHandle s = SocketCreate(AfInet, SockStream, 0);
//   SocketAsyncSelect(s, window, WmUser + 1, FdRead | FdConnect | FdClose);
//   if (SocketConnect(s, address) == SocketFailed && SocketLastError() != 10035) ...;
//   // the window gets WmUser + 1 with wParam = s and lParam = FdConnect | error << 16
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "pithorama/platform/Messages.h"

namespace pithorama {

// A socket handle; InvalidSocket (all bits set) is none.
using TSocketHandle = intptr_t;
constexpr TSocketHandle InvalidSocket = -1;
constexpr int SocketFailed = -1;

// Classic numbering of families, types, levels and options.
constexpr int AfInet = 2;
constexpr int SockStream = 1;
constexpr int SockRaw = 3;
constexpr int SolSocket = 0xFFFF;
constexpr int SoOobInline = 0x0100;
constexpr int SdSend = 1;

// Notification events of SocketAsyncSelect.
constexpr unsigned FdRead = 1;
constexpr unsigned FdConnect = 16;
constexpr unsigned FdClose = 32;

// Socket error numbers that callers test for by name.
constexpr int SocketWouldBlock = 10035;
constexpr int SocketInvalidArgument = 10022;
constexpr int SocketNotConnected = 10057;
constexpr int SocketNetworkDown = 10050;
constexpr int SocketHostNotFound = 11001;

// What start-up reports. Version words hold the major number in the low byte.
struct TSocketStartupData {
  uint16_t Version = 0;
  uint16_t HighVersion = 0;
  std::string Description;
  std::string SystemStatus;
  uint16_t MaxSockets = 0;
  uint16_t MaxUdpDatagram = 0;
};

// Starts the socket library for one user; answers 0 or an error number. Each
// successful start-up is matched by one SocketCleanup.
int SocketStartup(uint16_t versionRequested, TSocketStartupData& data);
int SocketCleanup();

// The calling thread's last socket error number.
int SocketLastError();
void SetSocketLastError(int error);

// An IPv4 address and port, both in network byte order.
struct TInetAddress {
  uint32_t Address = 0;
  uint16_t Port = 0;
};

uint16_t HostToNetworkShort(uint16_t value);
// The protocol database: the name of a protocol number ("tcp" for 6).
bool ProtocolNameByNumber(int number, std::string& name);
// The service database: the port (network order) of a service for a protocol.
bool ServicePortByName(const std::string& service, const std::string& protocol, uint16_t& port);
// Reads a dotted IPv4 address ("127.0.0.1"; the short classic forms too).
bool ParseDottedAddress(const std::string& text, uint32_t& address);
// Looks a host name up through the system's resolver and answers its first
// IPv4 address; on failure the last error is 11001 to 11004 (or 10055).
bool HostAddressByName(const std::string& host, uint32_t& address);

TSocketHandle SocketCreate(int family, int type, int protocol);
// Makes the socket non-blocking and has the events posted to the window's
// owning thread; events 0 stops the notifications. FdRead is posted once per
// arrival of data and again only after a receive; FdClose comes after the
// data has been read.
int SocketAsyncSelect(TSocketHandle socket, TWindow window, unsigned message, unsigned events);
int SocketSetOption(TSocketHandle socket, int level, int option, int32_t value);
int SocketConnect(TSocketHandle socket, const TInetAddress& address);
// Sends without raising a signal when the peer has gone.
int SocketSend(TSocketHandle socket, const char* data, int length, int flags);
int SocketReceive(TSocketHandle socket, char* buffer, int length, int flags);
// Blocks until the socket can take more data or timeoutMs passes.
void SocketWaitWritable(TSocketHandle socket, int timeoutMs);
int SocketShutdown(TSocketHandle socket, int how);
int SocketClose(TSocketHandle socket);

// The local host name into buffer (with its terminating zero); 0 or SocketFailed.
int GetLocalHostName(char* buffer, int length);
// The canonical name of the local host as the resolver knows it (the files of
// the name service first), which may or may not be fully qualified; false
// when the host name itself cannot be looked up.
bool LocalCanonicalHostName(std::string& name);
// The local address and port of a connected socket; 0 or SocketFailed.
int SocketLocalAddress(TSocketHandle socket, TInetAddress& address);

}  // namespace pithorama
