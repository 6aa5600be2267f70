// The server half of the hosts on libmicrohttpd: one daemon, a thread per
// connection, and at most `threads` handlers running at once; each request's
// body is gathered across the library's upload calls, then the handler runs
// once and its answer is queued. A thread per connection, not a pool of
// polling threads each owning a share of the connections: a slow handler
// would make every later connection of its polling thread wait while other
// threads idle.
#include <microhttpd.h>
#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "tools/httphost/HttpHost.h"

namespace httphost {

namespace {

// What one connection may hold of a request's head.
constexpr size_t kHeadMemory = 256 * 1024;

// One request in progress; made when the request line arrives (the raw target
// is known only then) and freed when the request completes.
struct TExchange {
  TRequest Request;
  bool HeadSeen = false;
  bool TooLarge = false;
};

// Bounds the handlers running at once to the host's thread count.
class THandlerSlots {
 public:
  explicit THandlerSlots(int count) : free_(count) {}
  void Take() {
    std::unique_lock<std::mutex> hold(lock_);
    freed_.wait(hold, [this] { return free_ > 0; });
    --free_;
  }
  void Give() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      ++free_;
    }
    freed_.notify_one();
  }

 private:
  std::mutex lock_;
  std::condition_variable freed_;
  int free_;
};

struct TServerState {
  THandler* Handler;
  size_t* MaxBody;
  std::atomic<uint16_t> Port{0};  // known once the daemon listens
  std::unique_ptr<THandlerSlots> Slots;
};

void* OnRequestLine(void*, const char* uri, struct MHD_Connection*) {
  auto* exchange = new TExchange();
  exchange->Request.Target = uri;
  return exchange;
}

void OnCompleted(void*, struct MHD_Connection*, void** context, enum MHD_RequestTerminationCode) {
  delete static_cast<TExchange*>(*context);
  *context = nullptr;
}

enum MHD_Result CollectHeader(void* cls, enum MHD_ValueKind, const char* key, const char* value) {
  static_cast<THeaders*>(cls)->emplace_back(key, value != nullptr ? value : "");
  return MHD_YES;
}

// The dotted text of the client's IPv4 address, from the address record the
// library hands over.
void SetClient(TRequest& request, struct MHD_Connection* connection) {
  const union MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr || info->client_addr->sa_family != AF_INET)
    return;
  const auto* address = reinterpret_cast<const struct sockaddr_in*>(info->client_addr);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address->sin_addr);
  request.ClientAddress = std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
                          std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
  const auto* port = reinterpret_cast<const unsigned char*>(&address->sin_port);
  request.ClientPort = static_cast<uint16_t>(port[0] << 8 | port[1]);
}

void FillRequest(TRequest& request, struct MHD_Connection* connection, const char* method,
                 const char* version, uint16_t serverPort) {
  request.Method = method;
  request.Version = version;
  size_t question = request.Target.find('?');
  request.Path = DecodePath(std::string_view(request.Target).substr(0, question));
  if (question != std::string::npos) request.QueryString = request.Target.substr(question + 1);
  MHD_get_connection_values(connection, MHD_HEADER_KIND, CollectHeader, &request.Headers);
  SetClient(request, connection);
  request.ServerPort = serverPort;
}

enum MHD_Result Send(struct MHD_Connection* connection, const TAnswer& answer) {
  struct MHD_Response* response = MHD_create_response_from_buffer(
      answer.Body.size(), const_cast<char*>(answer.Body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  for (const auto& [name, value] : answer.Headers)
    if (!IsFramingHeader(name)) MHD_add_response_header(response, name.c_str(), value.c_str());
  enum MHD_Result result =
      MHD_queue_response(connection, static_cast<unsigned>(answer.Status), response);
  MHD_destroy_response(response);
  return result;
}

TAnswer Serve(TServerState& state, TRequest& request) {
  TAnswer answer;
  state.Slots->Take();
  try {
    (*state.Handler)(request, answer);
  } catch (const std::exception& error) {
    answer = TAnswer();
    answer.Status = 500;
    answer.Write(std::string("Internal error: ") + error.what() + "\n");
  }
  state.Slots->Give();
  return answer;
}

enum MHD_Result OnRequest(void* cls, struct MHD_Connection* connection, const char*,
                          const char* method, const char* version, const char* uploadData,
                          size_t* uploadSize, void** context) {
  auto& state = *static_cast<TServerState*>(cls);
  auto* exchange = static_cast<TExchange*>(*context);
  if (exchange == nullptr) return MHD_NO;
  if (!exchange->HeadSeen) {
    exchange->HeadSeen = true;
    FillRequest(exchange->Request, connection, method, version, state.Port);
    return MHD_YES;  // the body, if any, follows in further calls
  }
  if (*uploadSize > 0) {
    if (exchange->Request.Body.size() + *uploadSize > *state.MaxBody)
      exchange->TooLarge = true;
    else
      exchange->Request.Body.append(uploadData, *uploadSize);
    *uploadSize = 0;
    return MHD_YES;
  }
  TAnswer answer;
  if (exchange->TooLarge) {
    answer.Status = 413;
    answer.Write("Request body too large\n");
  } else {
    answer = Serve(state, exchange->Request);
  }
  return Send(connection, answer);
}

}  // namespace

struct THttpServer::TDaemon {
  struct MHD_Daemon* Daemon = nullptr;
  TServerState State;
};

THttpServer::THttpServer(int threads, THandler handler)
    : threads_(threads < 1 ? 1 : threads), handler_(std::move(handler)) {}

THttpServer::~THttpServer() { Stop(); }

uint16_t THttpServer::Start(uint16_t port) {
  Stop();
  auto daemon = std::make_unique<TDaemon>();
  daemon->State.Handler = &handler_;
  daemon->State.MaxBody = &MaxBody;
  daemon->State.Port = port;
  daemon->State.Slots = std::make_unique<THandlerSlots>(threads_);

  struct sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  auto* portBytes = reinterpret_cast<unsigned char*>(&address.sin_port);
  portBytes[0] = static_cast<unsigned char>(port >> 8);
  portBytes[1] = static_cast<unsigned char>(port & 0xFF);
  auto* addressBytes = reinterpret_cast<unsigned char*>(&address.sin_addr);
  addressBytes[0] = 127;
  addressBytes[3] = 1;

  // The request head (request line, query arguments, header lines) must fit
  // the connection's memory; one that does not is answered 414 or 431 by the
  // library. The default (32 KiB) ran out while the library split a query of
  // a few hundred arguments, which it then never answered.
  const unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION |
                         MHD_USE_POLL | MHD_USE_ERROR_LOG;
  daemon->Daemon = MHD_start_daemon(
      flags, port, nullptr, nullptr, OnRequest, &daemon->State, MHD_OPTION_SOCK_ADDR,
      reinterpret_cast<struct sockaddr*>(&address), MHD_OPTION_URI_LOG_CALLBACK, OnRequestLine,
      nullptr, MHD_OPTION_NOTIFY_COMPLETED, OnCompleted, nullptr, MHD_OPTION_CONNECTION_TIMEOUT,
      120u, MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(kHeadMemory), MHD_OPTION_END);
  if (daemon->Daemon == nullptr) throw std::runtime_error("cannot listen on 127.0.0.1");
  const union MHD_DaemonInfo* info = MHD_get_daemon_info(daemon->Daemon, MHD_DAEMON_INFO_BIND_PORT);
  daemon->State.Port = info != nullptr ? info->port : port;
  daemon_ = std::move(daemon);
  return daemon_->State.Port;
}

void THttpServer::Stop() {
  if (daemon_ && daemon_->Daemon != nullptr) MHD_stop_daemon(daemon_->Daemon);
  daemon_.reset();
}

}  // namespace httphost
