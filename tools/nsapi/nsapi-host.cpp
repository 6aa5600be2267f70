// nsapi-host: serves a library built on the NSAPI gateway over HTTP on a
// loopback port, as an NSAPI web server would. The server's functions are
// those of the stand-in server library (libnsapi-server.so), which the gateway
// finds beside itself or through NSAPI_SERVER_LIBRARY.
//
//   nsapi-host --library build/lib/echo.so [--port 0] [--threads 8]
//              [--function NsapiService]
//
// With --port 0 it takes a free port and prints it on a line of its own once
// it listens. For each request it fills the server's records (request line
// values, request headers under lower-case names, the client address, the
// working variables, the directive's parameter block), calls the service
// function on one of its threads, and sends the status and the response
// header block when the library calls http_start_response. It ends on SIGTERM
// or SIGINT.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "platform/Library.h"
#include "tools/httphost/HttpHost.h"
#include "tools/nsapi/NsapiCall.h"

namespace {

std::atomic<bool> stopRequested{false};
extern "C" void RequestStop(int) { stopRequested = true; }

struct TOptions {
  std::string library;
  std::string function = "NsapiService";
  int port = 8080;
  int threads = 8;
};

bool ParseOptions(int argc, char** argv, TOptions& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--library") options.library = value;
    else if (name == "--function") options.function = value;
    else if (name == "--port") options.port = std::atoi(value.c_str());
    else if (name == "--threads") options.threads = std::atoi(value.c_str());
    else return false;
  }
  return argc % 2 == 1 && !options.library.empty() && options.port >= 0 && options.port < 65536 &&
         options.threads > 0;
}

// One request's connection: the body is read from the gathered request, the
// answer gathered into the host's answer.
struct TExchange {
  httphost::TRequest& request;
  httphost::TAnswer& answer;
  bool started = false;

  nsapi_host_connection Connection() { return {this, Read, Write, Start}; }

  static int Read(void* context, unsigned char* buffer, int size) {
    auto* self = static_cast<TExchange*>(context);
    return static_cast<int>(self->request.ReadBody(buffer, static_cast<size_t>(size)));
  }
  static int Write(void* context, const char* data, int size) {
    static_cast<TExchange*>(context)->answer.Write(std::string_view(data, size));
    return size;
  }
  static int Start(void* context, const char* status, pblock* headers) {
    auto* self = static_cast<TExchange*>(context);
    self->started = true;
    self->answer.SetStatus(std::atoi(status));
    nsapi_host_each_param(
        headers,
        [](void* to, const pb_param* pp) {
          if (std::string_view(pp->name) != "status")
            static_cast<httphost::TAnswer*>(to)->AddHeader(pp->name, pp->value);
        },
        &self->answer);
    return 0;
  }
};

void Serve(nsapi_service_fn service, httphost::TRequest& request, httphost::TAnswer& answer) {
  TExchange exchange{request, answer};
  NsapiCall call(exchange.Connection());
  call.SetRequestLine(request.Method, request.Path, request.QueryString, request.Version);
  for (const auto& [name, value] : request.Headers) call.AddHeader(name, value);
  call.SetClient(request.ClientAddress);
  const int result = service(call.pb, &call.session, &call.request);
  if (exchange.started) return;
  if (result == REQ_PROCEED && !answer.Body.empty()) {
    // Bytes written without the response header carry their own head.
    const std::string output = std::move(answer.Body);
    answer.Body.clear();
    answer.SetFromProgramOutput(output);
    return;
  }
  if (result != REQ_PROCEED) {
    answer.Body.clear();
    answer.SetStatus(PROTOCOL_SERVER_ERROR);
    answer.AddHeader("Content-Type", "text/plain");
    answer.Write("Server Error\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  if (!ParseOptions(argc, argv, options)) {
    std::cerr << "usage: nsapi-host --library FILE [--port N] [--threads N] [--function NAME]\n";
    return 2;
  }
  pithorama::TDynamicLibrary library;
  if (!library.Load(options.library)) {
    std::cerr << "nsapi-host: " << library.ErrorText() << "\n";
    return 1;
  }
  auto service = reinterpret_cast<nsapi_service_fn>(library.Symbol(options.function.c_str()));
  if (service == nullptr) {
    std::cerr << "nsapi-host: " << options.library << " has no function " << options.function
              << "\n";
    return 1;
  }
  std::signal(SIGTERM, RequestStop);
  std::signal(SIGINT, RequestStop);
  httphost::THttpServer server(options.threads,
                               [service](httphost::TRequest& request, httphost::TAnswer& answer) {
                                 Serve(service, request, answer);
                               });
  try {
    const uint16_t port = server.Start(static_cast<uint16_t>(options.port));
    std::cout << port << std::endl;
  } catch (const std::exception& error) {
    std::cerr << "nsapi-host: " << error.what() << "\n";
    return 1;
  }
  while (!stopRequested) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  server.Stop();
  return 0;
}
