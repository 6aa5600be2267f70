// The FastCGI gateway (responder role): the program serves a web server's
// connections itself and stays running. Each request runs the request cycle
// on a request thread of the server (FcgiServer.h) with that thread's own
// request state, as under the in-process gateways; its variables come from
// the request's params records, its body from its standard-input records,
// and the answer goes out as standard-output records.
//
// A start is the gateway's own when the process was given connections to
// serve (TStartFacts::FastCgi): its standard input is a listening socket (a
// web server such as lighttpd or spawn-fcgi started it), a service manager
// handed it one, or "--fastcgi ADDRESS" or PITHORAMA_FASTCGI names where to
// listen ("127.0.0.1:9000", "unix:/run/app.sock"). PITHORAMA_FASTCGI_THREADS
// sets the number of request threads (default 8); FCGI_WEB_SERVER_ADDRS
// limits the peers of TCP connections.
#pragma once

#include <mutex>

#include "pithorama/engine/FormFields.h"
#include "pithorama/engine/GenEng.h"
#include "pithorama/engine/HttpEng.h"

namespace pithorama {

class TFcgiRequest;
class TStreamListener;

class TFastCgiEngine : public THttpEngine {
 public:
  TFastCgiEngine(TComponent* owner, const TGatewaySettings& settings);

  // Serves one request on the calling request thread.
  void ServeRequest(TFcgiRequest& request);
  // The process's server: listens where the start says, serves until a
  // termination signal (the hang-up signal is ignored), lets the requests in
  // flight finish, fires OnLastExecRequest and ends the program.
  void RunProcess(const TStartFacts& start);
  // Serves the listener's connections until `stop` returns, then finishes
  // the requests in flight and fires OnLastExecRequest. `stop` runs on the
  // calling thread and blocks until it is time to end.
  void Serve(TStreamListener& listener, unsigned threads, const std::function<void()>& stop);

  void ExecRequest() override;
  void WriteStatusLine() override;
  // A Location line that opens the answer comes with "Status: 302 Found"
  // unless the program chose a status: some web servers (Apache's
  // mod_proxy_fcgi) make no redirect of a Location line alone.
  void AddHeader(std::string_view name, std::string_view value) override;
  void Write(std::string_view text) override;
  void WriteBuffer(const void* data, size_t count) override;
  int64_t ReadBuffer(void* buffer, size_t count) override;
  std::string GetVariable(std::string_view name) override;
  std::string GetField(std::string_view name, std::string_view defaultValue) override;
  TStringList GetFieldNames() override;
  TStringList GetFieldValues(std::string_view name) override;
  bool IsActiveGateway() override { return true; }

 private:
  void FireFirstExecRequest();

  std::once_flag firstRequest_;
};

// The request state of the gateway on a request thread.
struct TFcgiThreadState {
  TFcgiRequest* Request = nullptr;
  TFormFields RequestFields;
};
TFcgiThreadState& FcgiThreadState();

// The number of request threads: PITHORAMA_FASTCGI_THREADS (1 to 256), else 8.
unsigned FastCgiThreadCount();

// The FastCGI gateway's record in the gateway selection.
TGatewayRecord FastCgiGateway();

// Module step: registers the gateway with the facade.
void FcgiEngStart();

}  // namespace pithorama
