// The HTTP side of the stand-in hosts for the in-process server interfaces
// (isapi-host, nsapi-host): a small HTTP/1.1 server (on libmicrohttpd on Linux,
// on Boost.Beast in the Windows build) that listens on the loopback address only
// and hands every request, whole, to one handler on a pool of threads.
//
//   httphost::THttpServer server(4, [](httphost::TRequest& request, httphost::TAnswer& answer) {
//     answer.AddHeader("Content-Type", "text/plain");
//     answer.Write("Hello " + request.ClientAddress + "\n");
//   });
//   uint16_t port = server.Start(0);  // 0: any free port; raises std::runtime_error
//   ...
//   server.Stop();                    // waits for the requests in progress; also the destructor
//
// The API in short:
// - TRequest: Method, Target (the request target exactly as sent), Path (the
//   part before "?", percent-decoded), QueryString (the raw text after the
//   first "?", empty when there is none), Version ("HTTP/1.1"), Headers (in
//   arrival order, names as sent; Header() finds one by name in any case),
//   Body (all of it) with ReadBody() to read it in pieces, ClientAddress
//   (dotted), ClientPort, ServerPort, and HeadText(), the request line and
//   header lines as a client sends them.
// - TAnswer: Status (200 unless set), Headers, Body; SetStatus, AddHeader,
//   Write; SetFromProgramOutput() takes the answer of a program that writes
//   its own head (an optional "HTTP/1.x code reason" line, header lines, an
//   empty line, the body), as a CGI program or an ISAPI extension does.
//
// Threads and lifetime: the handler runs on one of the pool's threads, one
// request at a time per thread and several at once across threads. The
// request and answer belong to that call. The body is gathered in memory
// before the handler runs (larger than MaxBody: 413 without a call). The
// answer goes out when the handler returns; an exception from the handler
// answers 500. Keep-alive and the framing (Content-Length) are the server's:
// a handler's own Content-Length, Transfer-Encoding or Connection header is
// dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace httphost {

using THeaders = std::vector<std::pair<std::string, std::string>>;

struct TRequest {
  std::string Method;
  std::string Target;
  std::string Path;
  std::string QueryString;
  std::string Version;
  THeaders Headers;
  std::string Body;
  std::string ClientAddress;
  uint16_t ClientPort = 0;
  uint16_t ServerPort = 0;

  // The value of the first header of that name (any letter case); empty when none.
  std::string Header(std::string_view name) const;
  // Copies up to count bytes of the body not yet read; 0 at its end.
  size_t ReadBody(void* into, size_t count);
  // Counts the next count bytes of the body as read (a host that handed them over otherwise).
  void SkipBody(size_t count);
  // "METHOD target VERSION" CR LF, each header as "Name: value" CR LF, CR LF.
  std::string HeadText() const;

 private:
  size_t bodyRead_ = 0;
};

struct TAnswer {
  int Status = 200;
  THeaders Headers;
  std::string Body;

  void SetStatus(int status) { Status = status; }
  void AddHeader(std::string name, std::string value) {
    Headers.emplace_back(std::move(name), std::move(value));
  }
  void Write(std::string_view bytes) { Body.append(bytes); }
  // Replaces the answer by a program's output: an optional status line
  // ("HTTP/1.0 302 Found"), header lines "Name:value" up to the first empty
  // line (CR LF or LF), then the body. Output whose first line is neither a
  // status line nor a header line is all body, with status 200.
  void SetFromProgramOutput(std::string_view output);
};

using THandler = std::function<void(TRequest& request, TAnswer& answer)>;

class THttpServer {
 public:
  // threads: the size of the pool (at least 1).
  THttpServer(int threads, THandler handler);
  ~THttpServer();
  THttpServer(const THttpServer&) = delete;
  THttpServer& operator=(const THttpServer&) = delete;

  // The largest request body accepted, in bytes.
  size_t MaxBody = 64 * 1024 * 1024;

  // Listens on 127.0.0.1:port (0: a free port) and answers the port taken.
  uint16_t Start(uint16_t port);
  void Stop();

 private:
  struct TDaemon;
  std::unique_ptr<TDaemon> daemon_;
  int threads_;
  THandler handler_;
};

// Percent-decodes a URL path ("%2F" becomes "/"; "+" stays).
std::string DecodePath(std::string_view path);

// Content-Length, Transfer-Encoding, Connection (any letter case): the framing
// that the server sets itself, dropped from a handler's answer.
bool IsFramingHeader(std::string_view name);

}  // namespace httphost
