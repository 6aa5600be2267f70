#include "pithorama/gateways/fastcgi/FcgiEng.h"

#include <algorithm>

#include "pithorama/engine/HttpText.h"
#include "pithorama/gateways/fastcgi/FcgiRequest.h"
#include "pithorama/gateways/fastcgi/FcgiServer.h"
#include "pithorama/platform/Listener.h"
#include "pithorama/platform/Signals.h"
#include "pithorama/platform/Threads.h"

namespace pithorama {

namespace {

TFcgiThreadState& FcgiState() { return ThreadLocal<TFcgiThreadState>(); }

constexpr unsigned kDefaultThreads = 8;
constexpr unsigned kMostThreads = 256;

bool ClaimsFastCgiStart(const TStartFacts& start, bool) { return start.FastCgi; }

THttpEngine* CreateFastCgiEngine(TComponent* owner, const TGatewaySettings& settings) {
  auto* engine = new TFastCgiEngine(owner, settings);
  engine->RunProcess(ReadStartFacts());
  return engine;
}

// The listener this start names: an address to listen on first, then a
// handed-over socket, then the standard input.
bool OpenListener(const TStartFacts& start, TStreamListener& listener, std::string& error) {
  if (!start.ListenAddress.empty()) return listener.Listen(start.ListenAddress, error);
  if (HasHandedOverListener()) return listener.AdoptHandedOver();
  error = "the standard input is no listening socket";
  return listener.AdoptStandardInput();
}

// Blocks until a termination signal other than the hang-up signal arrives.
// A hang-up re-opens nothing: the listening socket, the request threads and
// the open connections stay as they are, so no request is lost for it.
void WaitForEnd() {
  while (IsHangUpSignal(WaitForTerminationSignal())) {
  }
}

}  // namespace

TFcgiThreadState& FcgiThreadState() { return FcgiState(); }

unsigned FastCgiThreadCount() {
  const int count = StrToIntDef(GetEnvVar("PITHORAMA_FASTCGI_THREADS"), 0);
  if (count <= 0) return kDefaultThreads;
  return std::min(static_cast<unsigned>(count), kMostThreads);
}

TFastCgiEngine::TFastCgiEngine(TComponent* owner, const TGatewaySettings& settings)
    : THttpEngine(owner) {
  CGIMode = settings.CGIMode;
  ApplyGatewaySettings(*this, settings);
}

// ---- the process -----------------------------------------------------------------

void TFastCgiEngine::RunProcess(const TStartFacts& start) {
  if (Designing()) return;
  {
    TStreamListener listener;
    std::string error;
    if (!OpenListener(start, listener, error)) {
      WriteErrorLog("FastCGI: cannot listen: " + error);
    } else {
      // Taken on this thread only: the threads started from here on
      // inherit the block. A web server that hangs up makes a write fail
      // instead of ending the process.
      BlockTerminationSignals();
      IgnoreBrokenPipe();
      Serve(listener, FastCgiThreadCount(), WaitForEnd);
    }
  }
  TerminateProgram();
}

void TFastCgiEngine::Serve(TStreamListener& listener, unsigned threads,
                           const std::function<void()>& stop) {
  TFcgiServerSettings settings;
  settings.Threads = threads;
  settings.WebServerAddresses = ParseAddressList(GetEnvVar("FCGI_WEB_SERVER_ADDRS"));
  TFcgiServer server([this](TFcgiRequest& request) { ServeRequest(request); }, settings);
  server.Start(listener);
  stop();
  server.Stop();
  server.Wait();
  try {
    if (OnLastExecRequest) OnLastExecRequest(this);
  } catch (const std::exception& error) {
    WriteErrorLog(error.what());
  }
}

// ---- the request -----------------------------------------------------------------

void TFastCgiEngine::ServeRequest(TFcgiRequest& request) {
  TFcgiThreadState& state = FcgiState();
  state.Request = &request;
  state.RequestFields = TFormFields();
  struct TForget {
    TFcgiThreadState& state;
    ~TForget() {
      state.Request = nullptr;
      state.RequestFields = TFormFields();
    }
  } forget{state};
  RunRequest();
}

void TFastCgiEngine::ExecRequest() {
  FcgiState().RequestFields = TFormFields(ReadStandardContent());
  FireFirstExecRequest();
  if (OnExecRequest) OnExecRequest(this);
}

// The first request of the process fires the event; requests arriving
// meanwhile wait until it has run.
void TFastCgiEngine::FireFirstExecRequest() {
  std::exception_ptr failure;
  std::call_once(firstRequest_, [&] {
    try {
      if (OnFirstExecRequest) OnFirstExecRequest(this);
    } catch (...) {
      failure = std::current_exception();  // spent all the same: the event fires once
    }
  });
  if (failure) std::rethrow_exception(failure);
}

int64_t TFastCgiEngine::ReadBuffer(void* buffer, size_t count) {
  TFcgiRequest* request = FcgiState().Request;
  if (request == nullptr) return -1;
  size_t total = 0;
  while (total < count) {
    const int64_t n = request->ReadInput(static_cast<char*>(buffer) + total, count - total);
    if (n < 0) return total > 0 ? static_cast<int64_t>(total) : -1;
    if (n == 0) break;  // the body ended early: answer what arrived
    total += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(total);
}

// ---- the answer --------------------------------------------------------------------

// The web server makes the status line; an answer that names no "Status"
// line is a 200. A status the program chose goes out as a "Status:" line.
void TFastCgiEngine::WriteStatusLine() { WriteStatus(false); }

void TFastCgiEngine::AddHeader(std::string_view name, std::string_view value) {
  const TRequestState& state = RequestState();
  if (AutoHttpHeader && state.HeaderStarted == 0 && state.StatusCode == 0 &&
      UpperCase(name) == "LOCATION")
    WriteLine("Status: 302 Found");
  THttpEngine::AddHeader(name, value);
}

void TFastCgiEngine::Write(std::string_view text) {
  THttpEngine::Write(text);
  if (FcgiState().Request != nullptr) FcgiState().Request->WriteOutput(text);
}

void TFastCgiEngine::WriteBuffer(const void* data, size_t count) {
  THttpEngine::WriteBuffer(data, count);
  if (FcgiState().Request != nullptr)
    FcgiState().Request->WriteOutput(std::string_view(static_cast<const char*>(data), count));
}

// ---- variables and fields ------------------------------------------------------------

std::string TFastCgiEngine::GetVariable(std::string_view name) {
  const std::string key = CgiVariableName(name);
  const TFcgiRequest* request = FcgiState().Request;
  if (request == nullptr) return {};
  const std::string* value = request->Param(key);
  return value != nullptr ? *value : std::string();
}

std::string TFastCgiEngine::GetField(std::string_view name, std::string_view defaultValue) {
  return FcgiState().RequestFields.Value(name, defaultValue);
}

TStringList TFastCgiEngine::GetFieldNames() { return FcgiState().RequestFields.Names(); }

TStringList TFastCgiEngine::GetFieldValues(std::string_view name) {
  return FcgiState().RequestFields.Values(name);
}

// ---- the gateway record ----------------------------------------------------------------

// Before the CGI gateways: a process given connections to serve is theirs
// in no way.
TGatewayRecord FastCgiGateway() { return {"FastCgi", 30, ClaimsFastCgiStart, CreateFastCgiEngine}; }

void FcgiEngStart() { RegisterGateway(FastCgiGateway()); }

}  // namespace pithorama
