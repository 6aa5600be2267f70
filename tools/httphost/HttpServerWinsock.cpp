// The server half of the hosts on Winsock (the Windows build, which has no
// libmicrohttpd): one thread accepts connections on 127.0.0.1 and a pool of
// threads serves them, one request per connection ("Connection: close").
// A request's head is read up to its empty line, its body whole (by
// Content-Length or in chunks), then the handler runs once and the answer
// goes out with the server's own framing.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tools/httphost/HttpHost.h"

namespace httphost {

namespace {

constexpr size_t kMaxHead = 64 * 1024;
constexpr DWORD kReceiveTimeoutMs = 120000;

// One connection's bytes: what has arrived and not yet been taken.
class TConnection {
 public:
  explicit TConnection(SOCKET socket) : socket_(socket) {
    const DWORD timeout = kReceiveTimeoutMs;
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
  }
  ~TConnection() {
    shutdown(socket_, SD_SEND);
    closesocket(socket_);
  }
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  // The text up to `mark` (taken with the mark), false at the end or past `limit`.
  bool TakeUntil(std::string_view mark, size_t limit, std::string& text) {
    size_t at;
    while ((at = pending_.find(mark)) == std::string::npos) {
      if (pending_.size() > limit || !Fill()) return false;
    }
    text = pending_.substr(0, at);
    pending_.erase(0, at + mark.size());
    return true;
  }
  bool Take(size_t count, std::string& into) {
    while (pending_.size() < count)
      if (!Fill()) return false;
    into.append(pending_, 0, count);
    pending_.erase(0, count);
    return true;
  }
  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const int sent = send(socket_, bytes.data(), static_cast<int>(bytes.size()), 0);
      if (sent <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
  }

 private:
  bool Fill() {
    char buffer[16384];
    const int got = recv(socket_, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    pending_.append(buffer, static_cast<size_t>(got));
    return true;
  }
  SOCKET socket_;
  std::string pending_;
};

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 413:
      return "Payload Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    default:
      return "Status";
  }
}

bool SendAnswer(TConnection& connection, const TAnswer& answer, bool withBody) {
  std::string head =
      "HTTP/1.1 " + std::to_string(answer.Status) + " " + Reason(answer.Status) + "\r\n";
  for (const auto& [name, value] : answer.Headers)
    if (!IsFramingHeader(name)) head += name + ": " + value + "\r\n";
  head += "Content-Length: " + std::to_string(answer.Body.size()) + "\r\nConnection: close\r\n\r\n";
  return connection.Send(head) && (!withBody || connection.Send(answer.Body));
}

TAnswer Problem(int status, const char* text) {
  TAnswer answer;
  answer.Status = status;
  answer.Write(text);
  return answer;
}

// "METHOD target VERSION" and the header lines; false for a malformed head.
bool ParseHead(const std::string& head, TRequest& request) {
  size_t lineEnd = head.find("\r\n");
  const std::string line = head.substr(0, lineEnd);
  const size_t first = line.find(' '), last = line.rfind(' ');
  if (first == std::string::npos || last == first) return false;
  request.Method = line.substr(0, first);
  request.Target = line.substr(first + 1, last - first - 1);
  request.Version = line.substr(last + 1);
  const size_t question = request.Target.find('?');
  request.Path = DecodePath(std::string_view(request.Target).substr(0, question));
  if (question != std::string::npos) request.QueryString = request.Target.substr(question + 1);
  while (lineEnd != std::string::npos) {
    const size_t from = lineEnd + 2;
    lineEnd = head.find("\r\n", from);
    const std::string header =
        head.substr(from, lineEnd == std::string::npos ? std::string::npos : lineEnd - from);
    const size_t colon = header.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    size_t valueStart = header.find_first_not_of(" \t", colon + 1);
    std::string value = valueStart == std::string::npos ? "" : header.substr(valueStart);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    request.Headers.emplace_back(header.substr(0, colon), value);
  }
  return true;
}

// The body by its chunks: "size CR LF data CR LF" up to the chunk of size 0.
int ReadChunkedBody(TConnection& connection, TRequest& request, size_t maxBody) {
  for (;;) {
    std::string sizeLine;
    if (!connection.TakeUntil("\r\n", 1024, sizeLine)) return 400;
    const size_t size = std::strtoull(sizeLine.c_str(), nullptr, 16);
    if (size == 0) break;
    if (request.Body.size() + size > maxBody) return 413;
    std::string end;
    if (!connection.Take(size, request.Body) || !connection.Take(2, end)) return 400;
  }
  std::string trailer;
  do {
    if (!connection.TakeUntil("\r\n", kMaxHead, trailer)) return 400;
  } while (!trailer.empty());
  return 0;
}

// 0 when the body is read whole, else the status that refuses the request.
int ReadBody(TConnection& connection, TRequest& request, size_t maxBody) {
  if (request.Header("Expect") == "100-continue") connection.Send("HTTP/1.1 100 Continue\r\n\r\n");
  std::string encoding = request.Header("Transfer-Encoding");
  if (!encoding.empty())
    return encoding == "chunked" ? ReadChunkedBody(connection, request, maxBody) : 501;
  const std::string length = request.Header("Content-Length");
  if (length.empty()) return 0;
  if (length.find_first_not_of("0123456789") != std::string::npos || length.size() > 18) return 400;
  const size_t size = std::stoull(length);
  if (size > maxBody) return 413;
  return connection.Take(size, request.Body) ? 0 : 400;
}

}  // namespace

struct THttpServer::TDaemon {
  SOCKET Listener = INVALID_SOCKET;
  uint16_t Port = 0;
  std::atomic<bool> Stopping{false};
  std::mutex Mutex;
  std::condition_variable Arrived;
  std::deque<std::pair<SOCKET, sockaddr_in>> Waiting;
  std::thread Acceptor;
  std::vector<std::thread> Workers;
};

namespace {

void Serve(SOCKET socket, const sockaddr_in& client, uint16_t port, size_t maxBody,
           const THandler& handler) {
  TConnection connection(socket);
  TRequest request;
  std::string head;
  if (!connection.TakeUntil("\r\n\r\n", kMaxHead, head)) return;
  if (!ParseHead(head, request)) {
    SendAnswer(connection, Problem(400, "Bad request\n"), true);
    return;
  }
  char address[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &client.sin_addr, address, sizeof address);
  request.ClientAddress = address;
  request.ClientPort = ntohs(client.sin_port);
  request.ServerPort = port;
  if (int refused = ReadBody(connection, request, maxBody)) {
    SendAnswer(connection,
               Problem(refused, refused == 413 ? "Request body too large\n" : "Bad request\n"),
               true);
    return;
  }
  TAnswer answer;
  try {
    handler(request, answer);
  } catch (const std::exception& error) {
    answer = Problem(500, (std::string("Internal error: ") + error.what() + "\n").c_str());
  }
  SendAnswer(connection, answer, request.Method != "HEAD");
}

}  // namespace

THttpServer::THttpServer(int threads, THandler handler)
    : threads_(threads < 1 ? 1 : threads), handler_(std::move(handler)) {}

THttpServer::~THttpServer() { Stop(); }

uint16_t THttpServer::Start(uint16_t port) {
  Stop();
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("cannot start Winsock");
  auto daemon = std::make_unique<TDaemon>();
  daemon->Listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  int length = sizeof address;
  if (daemon->Listener == INVALID_SOCKET ||
      bind(daemon->Listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(daemon->Listener, SOMAXCONN) != 0 ||
      getsockname(daemon->Listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (daemon->Listener != INVALID_SOCKET) closesocket(daemon->Listener);
    WSACleanup();
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  daemon->Port = ntohs(address.sin_port);

  TDaemon* state = daemon.get();
  daemon->Acceptor = std::thread([state] {
    for (;;) {
      sockaddr_in client{};
      int size = sizeof client;
      SOCKET socket = accept(state->Listener, reinterpret_cast<sockaddr*>(&client), &size);
      if (socket == INVALID_SOCKET) {
        if (state->Stopping) return;
        continue;
      }
      std::lock_guard<std::mutex> guard(state->Mutex);
      state->Waiting.emplace_back(socket, client);
      state->Arrived.notify_one();
    }
  });
  for (int i = 0; i < threads_; ++i)
    daemon->Workers.emplace_back([this, state] {
      for (;;) {
        std::unique_lock<std::mutex> lock(state->Mutex);
        state->Arrived.wait(lock, [state] { return state->Stopping || !state->Waiting.empty(); });
        if (state->Waiting.empty()) return;
        auto [socket, client] = state->Waiting.front();
        state->Waiting.pop_front();
        lock.unlock();
        Serve(socket, client, state->Port, MaxBody, handler_);
      }
    });
  daemon_ = std::move(daemon);
  return daemon_->Port;
}

// Requests in progress and those already accepted are answered first.
void THttpServer::Stop() {
  if (!daemon_) return;
  {
    std::lock_guard<std::mutex> guard(daemon_->Mutex);
    daemon_->Stopping = true;
  }
  closesocket(daemon_->Listener);
  daemon_->Acceptor.join();
  daemon_->Arrived.notify_all();
  for (std::thread& worker : daemon_->Workers) worker.join();
  daemon_.reset();
  WSACleanup();
}

}  // namespace httphost
