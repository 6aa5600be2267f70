// isapi-host: serves an ISAPI library over HTTP on the loopback address, the
// way an ISAPI web server would, so that such a library runs on this system.
//
//   isapi-host [--port N] [--threads N] [--script /path] [--root DIR]
//              [--preload BYTES] LIBRARY
//
// It loads LIBRARY, asks GetExtensionVersion (and GetFilterVersion, when the
// library has one) and listens on 127.0.0.1:N (N = 0: a free port). Once it
// listens it prints the port on a line of its own. Each request whose path is
// the script path (default "/" and the library's file name) or lies below it
// goes through HttpFilterProc with the raw request data when the filter asked
// for it, then through HttpExtensionProc, on one of N threads (default 4). On
// SIGTERM, SIGINT or SIGHUP it finishes the requests in progress, calls
// TerminateExtension and unloads the library.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pithorama/platform/Library.h"
#include "pithorama/platform/Paths.h"
#include "pithorama/platform/Signals.h"
#include "tools/isapi-host/IsapiCall.h"

using namespace pithorama;
using namespace pithorama::isapi;

namespace {

struct TOptions {
  int Port = 0;
  int Threads = 4;
  std::string Library;
  isapihost::THostSettings Settings;
};

[[noreturn]] void Usage(const char* problem) {
  std::fprintf(stderr,
               "isapi-host: %s\nusage: isapi-host [--port N] [--threads N] [--script /path] "
               "[--root DIR] [--preload BYTES] LIBRARY\n",
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
    else if (arg == "--script" && hasValue)
      options.Settings.ScriptName = argv[++i];
    else if (arg == "--root" && hasValue)
      options.Settings.Root = argv[++i];
    else if (arg == "--preload" && hasValue)
      options.Settings.Preload = static_cast<uint32_t>(Number(argv[++i], 0, 1 << 30));
    else if (arg.rfind("--", 0) == 0 || !options.Library.empty())
      Usage("unknown argument");
    else
      options.Library = arg;
  }
  if (options.Library.empty()) Usage("no library named");
  if (options.Settings.ScriptName.empty())
    options.Settings.ScriptName = '/' + ExtractFileName(options.Library);
  return options;
}

template <class Proc>
Proc Entry(const TDynamicLibrary& library, const char* name) {
  return reinterpret_cast<Proc>(library.Symbol(name));
}

}  // namespace

int main(int argc, char** argv) {
  const TOptions options = ReadOptions(argc, argv);
  BlockTerminationSignals();  // before the library or the server start threads

  TDynamicLibrary library;
  if (!library.Load(options.Library)) {
    std::fprintf(stderr, "isapi-host: %s\n", library.ErrorText().c_str());
    return 1;
  }
  auto getExtensionVersion = Entry<TGetExtensionVersionProc>(library, "GetExtensionVersion");
  auto terminateExtension = Entry<TTerminateExtensionProc>(library, "TerminateExtension");
  auto getFilterVersion = Entry<TGetFilterVersionProc>(library, "GetFilterVersion");
  isapihost::TEntryPoints entries;
  entries.HttpExtensionProc = Entry<THttpExtensionProcProc>(library, "HttpExtensionProc");
  entries.HttpFilterProc = Entry<THttpFilterProcProc>(library, "HttpFilterProc");
  if (getExtensionVersion == nullptr || entries.HttpExtensionProc == nullptr) {
    std::fprintf(stderr, "isapi-host: %s is no ISAPI extension\n", options.Library.c_str());
    return 1;
  }

  THSE_VERSION_INFO version{};
  if (!getExtensionVersion(&version)) {
    std::fprintf(stderr, "isapi-host: the extension refused to load\n");
    return 1;
  }
  std::fprintf(stderr, "isapi-host: extension %u.%u \"%.*s\"\n", version.dwExtensionVersion >> 16,
               version.dwExtensionVersion & 0xFFFF, static_cast<int>(HSE_MAX_EXT_DLL_NAME_LEN),
               version.lpszExtensionDesc);
  THTTP_FILTER_VERSION filter{};
  filter.dwServerFilterVersion = MakeVersion(6, 0);
  if (getFilterVersion != nullptr && entries.HttpFilterProc != nullptr && getFilterVersion(&filter))
    entries.FilterFlags = filter.dwFlags;

  const isapihost::THostSettings settings = options.Settings;
  httphost::THttpServer server(options.Threads,
                               [&](httphost::TRequest& request, httphost::TAnswer& answer) {
                                 isapihost::ServeRequest(entries, settings, request, answer);
                               });
  try {
    const uint16_t port = server.Start(static_cast<uint16_t>(options.Port));
    std::printf("%u\n", port);
    std::fflush(stdout);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "isapi-host: %s\n", error.what());
    return 1;
  }

  WaitForTerminationSignal();
  server.Stop();
  if (terminateExtension != nullptr) terminateExtension(HSE_TERM_MUST_UNLOAD);
  library.Unload();
  return 0;
}
