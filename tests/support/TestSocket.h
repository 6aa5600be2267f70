// Plain TCP sockets on the loopback address for scripted peers in the tests
// (peers that misbehave in ways a real server cannot be made to). One source
// file per system implements them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pithorama::test {

// A socket; kNoSocket when there is none.
using TTestSocket = std::intptr_t;
constexpr TTestSocket kNoSocket = -1;

// Listens on 127.0.0.1 at a free port, which it stores in `port`. A
// receiveBuffer above 0 sets the receive buffer before listening, so that an
// accepted connection offers a small window. Throws std::runtime_error.
TTestSocket ListenOnLoopback(int& port, int receiveBuffer = 0);
// The next connection within timeoutMs, or kNoSocket.
TTestSocket AcceptWithin(TTestSocket listener, int timeoutMs);
// Up to size bytes within timeoutMs (0: only what has arrived): the count,
// 0 when the peer closed, -1 when nothing came or the connection failed.
long ReceiveWithin(TTestSocket socket, char* buffer, size_t size, int timeoutMs);
// All of `bytes`; false when the connection failed.
bool SendAll(TTestSocket socket, const std::string& bytes);
void CloseSocket(TTestSocket socket);

}  // namespace pithorama::test
