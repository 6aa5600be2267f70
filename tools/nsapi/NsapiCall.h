// The records of one request as an NSAPI server hands them to a service
// function: the directive's parameter block, the session with its client
// block, socket and input buffer, and the request with its four blocks. The
// host fills them from the HTTP request; the stand-in server library's
// functions work on them.
//
//   NsapiCall call(connection);
//   call.SetRequestLine("POST", "/app", "a=1", "HTTP/1.1");
//   call.AddHeader("Content-Type", "application/x-www-form-urlencoded");
//   call.SetClient("127.0.0.1");
//   int status = service(call.pb, &call.session, &call.request);
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/nsapi/NsapiServer.h"

// The host's connections, found by the server library through nsapi_host_find.
// Registers a connection (the structure is copied) and answers its socket.
SYS_NETFD NsapiHostAttach(const nsapi_host_connection& connection);
void NsapiHostDetach(SYS_NETFD sd);

class NsapiCall {
 public:
  // Attaches the connection; the input buffer holds bufferSize bytes.
  explicit NsapiCall(const nsapi_host_connection& connection, int bufferSize = 8192);
  ~NsapiCall();
  NsapiCall(const NsapiCall&) = delete;
  NsapiCall& operator=(const NsapiCall&) = delete;

  // "method", "uri", "protocol", "clf-request", and "query" when not empty;
  // the working variable "ppath" (the partial path) is the uri.
  void SetRequestLine(std::string_view method, std::string_view uri, std::string_view query,
                      std::string_view protocol);
  // A request header under its lower-case name; a repeated header's values
  // are joined with ", ".
  void AddHeader(std::string_view name, std::string_view value);
  // "ip" and, when known, "dns" of the client block.
  void SetClient(std::string_view ip, std::string_view dns = {});

  pblock* pb;
  Session session{};
  Request request{};
  netbuf input{};

 private:
  std::vector<unsigned char> buffer_;
};
