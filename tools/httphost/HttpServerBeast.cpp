// The server half of the hosts on Boost.Beast (the Windows build, which has no
// libmicrohttpd): one thread accepts connections on 127.0.0.1 and a pool of
// threads serves them, one request per connection ("Connection: close"). The
// library reads the head and the whole body, raw (also a multipart one, which
// the in-process gateways decode themselves); the handler runs once and the
// answer goes out with the library's framing.
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tools/httphost/HttpHost.h"

namespace httphost {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr uint32_t kMaxHead = 64 * 1024;

void FillRequest(TRequest& request, const http::request<http::string_body>& from) {
  request.Method = std::string(from.method_string());
  request.Target = std::string(from.target());
  request.Version = from.version() == 10 ? "HTTP/1.0" : "HTTP/1.1";
  const size_t question = request.Target.find('?');
  request.Path = DecodePath(std::string_view(request.Target).substr(0, question));
  if (question != std::string::npos) request.QueryString = request.Target.substr(question + 1);
  for (const auto& field : from)  // in arrival order
    request.Headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  request.Body = from.body();
}

TAnswer Problem(int status, const std::string& text) {
  TAnswer answer;
  answer.Status = status;
  answer.AddHeader("Content-Type", "text/plain");
  answer.Write(text);
  return answer;
}

void SendAnswer(tcp::socket& socket, const TAnswer& answer, bool withBody) {
  http::response<http::string_body> response;
  response.version(11);
  response.result(static_cast<unsigned>(answer.Status));
  for (const auto& [name, value] : answer.Headers)
    if (!IsFramingHeader(name)) response.insert(name, value);
  response.keep_alive(false);
  response.content_length(answer.Body.size());
  beast::error_code error;
  if (withBody) {
    response.body() = answer.Body;
    http::write(socket, response, error);
  } else {
    http::response_serializer<http::string_body> serializer(response);
    http::write_header(socket, serializer, error);
  }
}

// Reads one request and answers it; any failure of the connection ends it.
void Serve(tcp::socket socket, uint16_t port, size_t maxBody, const THandler& handler) {
  beast::flat_buffer buffer;
  http::request_parser<http::string_body> parser;
  parser.header_limit(kMaxHead);
  parser.body_limit(maxBody);
  beast::error_code error;
  http::read_header(socket, buffer, parser, error);
  if (error) {
    if (error != http::error::end_of_stream)
      SendAnswer(socket, Problem(400, "Bad request\n"), true);
    return;
  }
  if (beast::iequals(parser.get()[http::field::expect], "100-continue")) {
    http::response<http::empty_body> goOn(http::status::continue_, 11);
    http::write(socket, goOn, error);
  }
  http::read(socket, buffer, parser, error);
  if (error) {
    const bool tooLarge = error == http::error::body_limit;
    SendAnswer(socket,
               tooLarge ? Problem(413, "Request body too large\n") : Problem(400, "Bad request\n"),
               true);
    return;
  }
  TRequest request;
  FillRequest(request, parser.get());
  const tcp::endpoint client = socket.remote_endpoint(error);
  if (!error) {
    request.ClientAddress = client.address().to_string();
    request.ClientPort = client.port();
  }
  request.ServerPort = port;
  TAnswer answer;
  try {
    handler(request, answer);
  } catch (const std::exception& failure) {
    answer = Problem(500, std::string("Internal error: ") + failure.what() + "\n");
  }
  SendAnswer(socket, answer, request.Method != "HEAD");
  socket.shutdown(tcp::socket::shutdown_send, error);
}

}  // namespace

struct THttpServer::TDaemon {
  asio::io_context Io;
  tcp::acceptor Acceptor{Io};
  uint16_t Port = 0;
  bool Stopping = false;
  std::mutex Mutex;
  std::condition_variable Arrived;
  std::deque<tcp::socket> Waiting;
  std::thread AcceptThread;
  std::vector<std::thread> Workers;

  void AcceptNext() {
    Acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
      if (error) {
        if (Acceptor.is_open()) AcceptNext();
        return;
      }
      {
        std::lock_guard<std::mutex> guard(Mutex);
        Waiting.push_back(std::move(socket));
      }
      Arrived.notify_one();
      AcceptNext();
    });
  }
};

THttpServer::THttpServer(int threads, THandler handler)
    : threads_(threads < 1 ? 1 : threads), handler_(std::move(handler)) {}

THttpServer::~THttpServer() { Stop(); }

uint16_t THttpServer::Start(uint16_t port) {
  Stop();
  auto daemon = std::make_unique<TDaemon>();
  beast::error_code error;
  const tcp::endpoint loopback(asio::ip::make_address_v4("127.0.0.1"), port);
  daemon->Acceptor.open(loopback.protocol(), error);
  if (!error) daemon->Acceptor.bind(loopback, error);
  if (!error) daemon->Acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) throw std::runtime_error("cannot listen on 127.0.0.1: " + error.message());
  daemon->Port = daemon->Acceptor.local_endpoint().port();

  TDaemon* state = daemon.get();
  state->AcceptNext();
  state->AcceptThread = std::thread([state] { state->Io.run(); });
  for (int i = 0; i < threads_; ++i)
    state->Workers.emplace_back([this, state] {
      for (;;) {
        std::unique_lock<std::mutex> lock(state->Mutex);
        state->Arrived.wait(lock, [state] { return state->Stopping || !state->Waiting.empty(); });
        if (state->Waiting.empty()) return;
        tcp::socket socket = std::move(state->Waiting.front());
        state->Waiting.pop_front();
        lock.unlock();
        Serve(std::move(socket), state->Port, MaxBody, handler_);
      }
    });
  daemon_ = std::move(daemon);
  return daemon_->Port;
}

// Requests in progress and those already accepted are answered first.
void THttpServer::Stop() {
  if (!daemon_) return;
  TDaemon* state = daemon_.get();
  asio::post(state->Io, [state] {
    beast::error_code ignored;
    state->Acceptor.close(ignored);
  });
  state->AcceptThread.join();
  {
    std::lock_guard<std::mutex> guard(state->Mutex);
    state->Stopping = true;
  }
  state->Arrived.notify_all();
  for (std::thread& worker : state->Workers) worker.join();
  daemon_.reset();
}

}  // namespace httphost
