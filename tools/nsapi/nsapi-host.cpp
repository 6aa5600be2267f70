// nsapi-host: serves a library built on the NSAPI gateway over HTTP on a
// loopback port, as an NSAPI web server would. The server's functions are
// those of the stand-in server library (libnsapi-server.so), which the gateway
// finds beside itself or through NSAPI_SERVER_LIBRARY.
//
//   nsapi-host [--port N] [--threads N] [--function NAME] LIBRARY
//
// It loads LIBRARY and listens on 127.0.0.1:N (N = 0: a free port); once it
// listens it prints the port on a line of its own. For each request it fills
// the server's records (request line values, request headers under lower-case
// names, the client address, the working variables, the directive's parameter
// block), calls the service function NAME (default NsapiService) on one of N
// threads (default 4), and sends the status and the response header block
// when the library calls http_start_response. It ends on SIGTERM, SIGINT or
// SIGHUP after the requests in progress, with the library still loaded.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pithorama/platform/Library.h"
#include "pithorama/platform/Signals.h"
#include "tools/httphost/HttpHost.h"
#include "tools/nsapi/NsapiCall.h"

using namespace pithorama;

namespace {

struct TOptions {
  int Port = 0;
  int Threads = 4;
  std::string Function = "NsapiService";
  std::string Library;
};

[[noreturn]] void Usage(const char* problem) {
  std::fprintf(stderr,
               "nsapi-host: %s\nusage: nsapi-host [--port N] [--threads N] [--function NAME] "
               "LIBRARY\n",
               problem);
  std::exit(2);
}

long Number(const char* text, long low, long high) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) Usage("bad number");
  return value;
}

TOptions ReadOptions(int argc, char** argv) {
  TOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--port" && hasValue)
      options.Port = static_cast<int>(Number(argv[++i], 0, 65535));
    else if (arg == "--threads" && hasValue)
      options.Threads = static_cast<int>(Number(argv[++i], 1, 1024));
    else if (arg == "--function" && hasValue)
      options.Function = argv[++i];
    else if (arg.rfind("--", 0) == 0 || !options.Library.empty())
      Usage("unknown argument");
    else
      options.Library = arg;
  }
  if (options.Library.empty()) Usage("no library named");
  return options;
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
  const TOptions options = ReadOptions(argc, argv);
  BlockTerminationSignals();  // before the library or the server start threads

  // An NSAPI server keeps the libraries it loaded until it ends; so does the
  // host (the library is never unloaded, its end runs when the process ends).
  static TDynamicLibrary* library = new TDynamicLibrary();
  if (!library->Load(options.Library)) {
    std::fprintf(stderr, "nsapi-host: %s\n", library->ErrorText().c_str());
    return 1;
  }
  auto service = reinterpret_cast<nsapi_service_fn>(library->Symbol(options.Function.c_str()));
  if (service == nullptr) {
    std::fprintf(stderr, "nsapi-host: %s has no function %s\n", options.Library.c_str(),
                 options.Function.c_str());
    return 1;
  }
  httphost::THttpServer server(options.Threads,
                               [service](httphost::TRequest& request, httphost::TAnswer& answer) {
                                 Serve(service, request, answer);
                               });
  try {
    const uint16_t port = server.Start(static_cast<uint16_t>(options.Port));
    std::printf("%u\n", port);
    std::fflush(stdout);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "nsapi-host: %s\n", error.what());
    return 1;
  }

  WaitForTerminationSignal();
  server.Stop();
  return 0;
}
