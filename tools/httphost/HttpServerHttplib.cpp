// The server half of the hosts on cpp-httplib (the Windows build, where
// libmicrohttpd is not at hand): one listening thread hands connections to a
// pool of worker threads; each request's body is read whole, raw (also a
// multipart one), then the handler runs once and its answer is sent.
//
// The library keeps request headers sorted by name, so Headers (and
// HeadText) list them in that order rather than in arrival order.
#include <httplib.h>

#include <stdexcept>
#include <thread>

#include "tools/httphost/HttpHost.h"

namespace httphost {

namespace {

void FillRequest(TRequest& request, const httplib::Request& from, uint16_t serverPort) {
  request.Method = from.method;
  request.Target = from.target;
  request.Version = from.version;
  const size_t question = request.Target.find('?');
  request.Path = DecodePath(std::string_view(request.Target).substr(0, question));
  if (question != std::string::npos) request.QueryString = request.Target.substr(question + 1);
  for (const auto& [name, value] : from.headers)
    if (name != "REMOTE_ADDR" && name != "REMOTE_PORT" && name != "LOCAL_ADDR" &&
        name != "LOCAL_PORT")  // the library's own additions, not sent by the client
      request.Headers.emplace_back(name, value);
  request.ClientAddress = from.remote_addr;
  request.ClientPort = static_cast<uint16_t>(from.remote_port);
  request.ServerPort = serverPort;
}

void SendAnswer(const TAnswer& answer, httplib::Response& to) {
  to.status = answer.Status;
  for (const auto& [name, value] : answer.Headers)
    if (!IsFramingHeader(name)) to.headers.emplace(name, value);
  to.body = answer.Body;
}

TAnswer Serve(const THandler& handler, TRequest& request) {
  TAnswer answer;
  try {
    handler(request, answer);
  } catch (const std::exception& error) {
    answer = TAnswer();
    answer.Status = 500;
    answer.Write(std::string("Internal error: ") + error.what() + "\n");
  }
  return answer;
}

}  // namespace

struct THttpServer::TDaemon {
  httplib::Server Server;
  std::thread Listener;
  uint16_t Port = 0;
};

THttpServer::THttpServer(int threads, THandler handler)
    : threads_(threads < 1 ? 1 : threads), handler_(std::move(handler)) {}

THttpServer::~THttpServer() { Stop(); }

uint16_t THttpServer::Start(uint16_t port) {
  Stop();
  auto daemon = std::make_unique<TDaemon>();
  const size_t threads = static_cast<size_t>(threads_);
  daemon->Server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  daemon->Server.set_payload_max_length(MaxBody);
  daemon->Server.set_read_timeout(120, 0);

  TDaemon* state = daemon.get();
  auto serve = [this, state](const httplib::Request& from, httplib::Response& to,
                             const httplib::ContentReader& reader) {
    TRequest request;
    FillRequest(request, from, state->Port);
    reader([&request](const char* data, size_t size) {
      request.Body.append(data, size);
      return true;
    });
    SendAnswer(Serve(handler_, request), to);
  };
  auto serveWithoutBody = [this, state](const httplib::Request& from, httplib::Response& to) {
    TRequest request;
    FillRequest(request, from, state->Port);
    SendAnswer(Serve(handler_, request), to);
  };
  const std::string any = ".*";
  daemon->Server.Get(any, serveWithoutBody);
  daemon->Server.Options(any, serveWithoutBody);
  daemon->Server.Post(any, serve);
  daemon->Server.Put(any, serve);
  daemon->Server.Patch(any, serve);
  daemon->Server.Delete(any, serve);

  const int bound = port == 0 ? daemon->Server.bind_to_any_port("127.0.0.1")
                              : (daemon->Server.bind_to_port("127.0.0.1", port) ? port : -1);
  if (bound <= 0) throw std::runtime_error("cannot listen on 127.0.0.1");
  daemon->Port = static_cast<uint16_t>(bound);
  daemon->Listener = std::thread([state] { state->Server.listen_after_bind(); });
  daemon_ = std::move(daemon);
  return daemon_->Port;
}

void THttpServer::Stop() {
  if (!daemon_) return;
  daemon_->Server.stop();
  if (daemon_->Listener.joinable()) daemon_->Listener.join();
  daemon_.reset();
}

}  // namespace httphost
