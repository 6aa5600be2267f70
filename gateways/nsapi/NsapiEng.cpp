#include "pithorama/gateways/nsapi/NsapiEng.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstring>
#include <mutex>

#include "pithorama/platform/Library.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/ServerLibrary.h"
#include "pithorama/platform/Threads.h"

namespace pithorama {

namespace {

TNsapiThreadState& NsapiState() { return ThreadLocal<TNsapiThreadState>(); }

// The binding is made once per process, by whichever request comes first;
// afterwards the table is only read.
std::mutex bindMutex;
std::atomic<bool> bindingDone{false};
std::atomic<bool> serverBound{false};
std::atomic<bool> activeFlag{false};
TNsapiServerFunctions server;

std::atomic<TNSAPIEngine*> processEngine{nullptr};

// The bound server functions, or nullptr before a successful binding.
const TNsapiServerFunctions* Server() { return serverBound ? &server : nullptr; }

template <class Function>
void BindOne(Function& slot, const char* name, const TNsapiSymbolLookup& lookup,
             std::string& missing) {
  slot = reinterpret_cast<Function>(lookup(name));
  if (slot == nullptr) missing += missing.empty() ? name : std::string(", ") + name;
}

// The value of `name` in `block`, or nullptr when the block or the entry is absent.
const char* FindValue(const TNsapiServerFunctions& fn, const char* name, pblock* block) {
  return block != nullptr ? fn.pblock_findval(name, block) : nullptr;
}

// One entry of one of the request's blocks; empty when absent or outside a request.
enum class TBlock { RequestLine, Headers, ResponseHeaders, Client, Vars };
std::string BlockValue(TBlock which, const char* name) {
  const TNsapiServerFunctions* fn = Server();
  const TNsapiThreadState& state = NsapiState();
  if (fn == nullptr || state.ServerRequest == nullptr || state.ServerSession == nullptr) return {};
  pblock* block = nullptr;
  switch (which) {
    case TBlock::RequestLine:
      block = state.ServerRequest->reqpb;
      break;
    case TBlock::Headers:
      block = state.ServerRequest->headers;
      break;
    case TBlock::ResponseHeaders:
      block = state.ServerRequest->srvhdrs;
      break;
    case TBlock::Client:
      block = state.ServerSession->client;
      break;
    case TBlock::Vars:
      block = state.ServerRequest->vars;
      break;
  }
  const char* value = FindValue(*fn, name, block);
  return value != nullptr ? value : std::string();
}

// A name in the CGI spelling ("HTTP_REFERER", "HTTP REFERER", "REMOTE_ADDR",
// any case) read from the server's own entry for it: request headers by their
// lower-case names, the request line, the client block and the server's
// variables. The getters of the engine core ask in that spelling.
std::string CgiNamedValue(std::string_view name) {
  std::string key = UpperCase(name);
  std::replace(key.begin(), key.end(), ' ', '_');
  static const struct {
    const char* cgi;
    TBlock block;
    const char* entry;
  } kEntries[] = {
      {"REQUEST_METHOD", TBlock::RequestLine, "method"},
      {"QUERY_STRING", TBlock::RequestLine, "query"},
      {"SERVER_PROTOCOL", TBlock::RequestLine, "protocol"},
      {"SCRIPT_NAME", TBlock::RequestLine, "uri"},
      {"EXECUTABLE_PATH", TBlock::RequestLine, "uri"},
      {"REMOTE_ADDR", TBlock::Client, "ip"},
      {"REMOTE_HOST", TBlock::Client, "dns"},
      {"CONTENT_LENGTH", TBlock::Headers, "content-length"},
      {"CONTENT_TYPE", TBlock::Headers, "content-type"},
      {"REMOTE_USER", TBlock::Vars, "auth-user"},
      {"AUTH_TYPE", TBlock::Vars, "auth-type"},
  };
  for (const auto& e : kEntries)
    if (key == e.cgi) return BlockValue(e.block, e.entry);
  if (key.rfind("HTTP_", 0) != 0 || key.size() == 5) return {};
  std::string header = key.substr(5);
  for (char& c : header) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::replace(header.begin(), header.end(), '_', '-');
  return BlockValue(TBlock::Headers, header.c_str());
}

}  // namespace

TNsapiThreadState& NsapiThreadState() { return NsapiState(); }

bool BindNsapiServer(const TNsapiSymbolLookup& lookup, std::string_view origin) {
  std::lock_guard<std::mutex> guard(bindMutex);
  serverBound = false;
  TNsapiServerFunctions found;
  std::string missing;
  BindOne(found.param_create, "param_create", lookup, missing);
  BindOne(found.param_free, "param_free", lookup, missing);
  BindOne(found.pblock_create, "pblock_create", lookup, missing);
  BindOne(found.pblock_free, "pblock_free", lookup, missing);
  BindOne(found.pblock_fr, "_pblock_fr", lookup, missing);
  BindOne(found.pblock_findval, "pblock_findval", lookup, missing);
  BindOne(found.pblock_nvinsert, "pblock_nvinsert", lookup, missing);
  BindOne(found.pblock_nninsert, "pblock_nninsert", lookup, missing);
  BindOne(found.pblock_pinsert, "pblock_pinsert", lookup, missing);
  BindOne(found.pblock_pblock2str, "pblock_pblock2str", lookup, missing);
  BindOne(found.pblock_str2pblock, "pblock_str2pblock", lookup, missing);
  BindOne(found.request_header, "request_header", lookup, missing);
  BindOne(found.http_status, "http_status", lookup, missing);
  BindOne(found.http_start_response, "http_start_response", lookup, missing);
  BindOne(found.net_write, "net_write", lookup, missing);
  BindOne(found.netbuf_next, "netbuf_next", lookup, missing);
  BindOne(found.crit_init, "crit_init", lookup, missing);
  BindOne(found.crit_enter, "crit_enter", lookup, missing);
  BindOne(found.crit_exit, "crit_exit", lookup, missing);
  BindOne(found.crit_terminate, "crit_terminate", lookup, missing);
  bindingDone = true;
  activeFlag = true;
  if (!missing.empty()) {
    WriteErrorLog("NSAPI server functions missing in " + std::string(origin) + " : " + missing);
    return false;
  }
  server = found;
  serverBound = true;
  return true;
}

bool EnsureNsapiBound() {
  if (bindingDone) return serverBound;
  static std::mutex loadMutex;
  std::lock_guard<std::mutex> guard(loadMutex);
  if (bindingDone) return serverBound;
  activeFlag = IsLibrary();
  if (!activeFlag) return false;
  const std::string path =
      ServerLibraryPath("ns-httpd20.dll", "libnsapi-server.so", "NSAPI_SERVER_LIBRARY");
  // The server's library stays loaded for the life of the process, even after
  // this library is unloaded: the bound functions must never point into code
  // that is gone, and the server still uses what it made through them.
  static TDynamicLibrary* library = new TDynamicLibrary();
  if (!library->Load(path)) {
    bindingDone = true;
    WriteErrorLog("NSAPI server library cannot be loaded : " + library->ErrorText());
    return false;
  }
  return BindNsapiServer([](const char* name) { return library->Symbol(name); }, path);
}

TNSAPIEngine::TNSAPIEngine(TComponent* owner) : THttpEngine(owner) {
  Loaded = activeFlag.load();
  if (Designing()) return;
  processEngine = this;
  if (activeFlag) MakeCurrent();
}

TNSAPIEngine::TNSAPIEngine(TComponent* owner, const TGatewaySettings& settings)
    : TNSAPIEngine(owner) {
  ApplyGatewaySettings(*this, settings);
}

TNSAPIEngine::~TNSAPIEngine() {
  TNSAPIEngine* self = this;
  processEngine.compare_exchange_strong(self, nullptr);
}

TNSAPIEngine* TNSAPIEngine::Instance() { return processEngine; }

bool TNSAPIEngine::IsActiveGateway() { return activeFlag; }

void TNSAPIEngine::ExecRequest() {
  // The service function does not run the cycle without a bound server; this
  // guards any other caller.
  if (!EnsureNsapiBound()) throw Exception("NSAPI server functions are not bound");
  if (IsLibrary() && !Loaded.exchange(true)) FormLoaded();
  ReadInput();
  // Two first requests at once still fire the event once.
  if (FirstRequest.exchange(false) && OnFirstExecRequest) OnFirstExecRequest(this);
  if (OnExecRequest) OnExecRequest(this);
}

// ---- input ---------------------------------------------------------------------

void TNSAPIEngine::ReadInput() {
  std::string& content = NsapiState().RequestContent;
  content.clear();
  NsapiState().RequestFields.reset();
  const std::string method = GetRequestMethod();
  if (method != "POST") {
    if (method == "GET") content = GetQueryString();
    return;
  }
  const std::string lengthText = GetVariable("content-length");
  int32_t length = 0;
  try {
    length = StrToInt(lengthText);
  } catch (const EConvertError&) {
    WriteErrorLog("POST without a usable content-length : '" + lengthText + "'");
    return;
  }
  if (length > AutoReadLimit) {
    WriteErrorLog("Content length exceeds AutoReadLimit");
    return;
  }
  if (length <= 0) return;
  // Servers keep request headers under lower-case names, where the CGI name
  // finds nothing; the header's own name is asked next.
  std::string type = GetVariable("CONTENT_TYPE");
  if (type.empty()) type = GetVariable("content-type");
  if (Contains(UpperCase(type), "MULTIPART/FORM-DATA;"))
    content = ReadMultipartInput();
  else
    content = ReadUrlEncodedBody(length);
}

// The body as text: up to `length` bytes, ended early by the end of the input,
// a read error or a zero byte (the text stops before it).
std::string TNSAPIEngine::ReadUrlEncodedBody(int32_t length) {
  std::string text(static_cast<size_t>(length), '\0');
  bool failed = false;
  const size_t got = TakeInput(text.data(), text.size(), true, failed);
  text.resize(got);
  const size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  return text;
}

size_t TNSAPIEngine::TakeInput(char* out, size_t count, bool stopAtZero, bool& failed) {
  failed = false;
  const TNsapiServerFunctions* fn = Server();
  Session* session = NsapiState().ServerSession;
  netbuf* input = session != nullptr ? session->inbuf : nullptr;
  if (fn == nullptr || input == nullptr) return 0;
  size_t taken = 0;
  while (taken < count) {
    if (input->pos >= input->cursize) {
      // Refill without taking a byte: a zero data byte and the end of the
      // input would otherwise answer the same value.
      const int result = fn->netbuf_next(input, 0);
      if (input->pos < input->cursize) continue;
      failed = result == IO_ERROR;
      break;
    }
    size_t run = std::min(count - taken, static_cast<size_t>(input->cursize - input->pos));
    const unsigned char* from = input->inbuf + input->pos;
    bool zeroSeen = false;
    if (stopAtZero) {
      if (const void* zero = std::memchr(from, 0, run)) {
        run = static_cast<size_t>(static_cast<const unsigned char*>(zero) - from) + 1;
        zeroSeen = true;
      }
    }
    std::memcpy(out + taken, from, run);
    input->pos += static_cast<int>(run);
    taken += run;
    if (zeroSeen) break;
  }
  return taken;
}

int64_t TNSAPIEngine::ReadBuffer(void* buffer, size_t count) {
  bool failed = false;
  const size_t got = TakeInput(static_cast<char*>(buffer), count, false, failed);
  return failed ? -1 : static_cast<int64_t>(got);
}

// ---- variables -----------------------------------------------------------------

std::string TNSAPIEngine::GetServerProtocol() {
  return BlockValue(TBlock::RequestLine, "protocol");
}
std::string TNSAPIEngine::GetRequestMethod() { return BlockValue(TBlock::RequestLine, "method"); }
std::string TNSAPIEngine::GetQueryString() { return BlockValue(TBlock::RequestLine, "query"); }
std::string TNSAPIEngine::GetExecutablePath() { return BlockValue(TBlock::RequestLine, "uri"); }
std::string TNSAPIEngine::GetScriptName() { return GetExecutablePath(); }
std::string TNSAPIEngine::GetUserAgent() { return BlockValue(TBlock::Headers, "user-agent"); }
std::string TNSAPIEngine::GetCookie() { return BlockValue(TBlock::Headers, "cookie"); }
std::string TNSAPIEngine::GetReferer() { return BlockValue(TBlock::Headers, "referer"); }
std::string TNSAPIEngine::GetContentType() {
  return BlockValue(TBlock::ResponseHeaders, "content-type");
}
std::string TNSAPIEngine::GetRemoteAddr() { return BlockValue(TBlock::Client, "ip"); }
std::string TNSAPIEngine::GetRemoteHost() { return BlockValue(TBlock::Client, "dns"); }
int32_t TNSAPIEngine::GetContentLength() { return StrToIntDef(GetVariable("content-length"), 0); }

std::string TNSAPIEngine::GetVariable(std::string_view name) {
  const TNsapiServerFunctions* fn = Server();
  TNsapiThreadState& state = NsapiState();
  Request* request = state.ServerRequest;
  Session* session = state.ServerSession;
  if (fn == nullptr || request == nullptr || session == nullptr) return {};
  const std::string key(name);
  for (pblock* block : {request->reqpb, request->vars, request->headers, request->srvhdrs,
                        session->client, state.ParameterBlock}) {
    if (const char* value = FindValue(*fn, key.c_str(), block)) return value;
  }
  char* value = nullptr;
  fn->request_header(key.c_str(), &value, session, request);
  if (value != nullptr) return value;
  return CgiNamedValue(name);
}

std::string TNSAPIEngine::GetField(std::string_view name, std::string_view defaultValue) {
  std::optional<TFormFields>& fields = NsapiState().RequestFields;
  if (!fields) fields.emplace(NsapiState().RequestContent);
  return fields->Value(name, defaultValue);
}

TStringList TNSAPIEngine::GetFieldNames() {
  std::optional<TFormFields>& fields = NsapiState().RequestFields;
  if (!fields) fields.emplace(NsapiState().RequestContent);
  return fields->Names();
}

TStringList TNSAPIEngine::GetFieldValues(std::string_view name) {
  std::optional<TFormFields>& fields = NsapiState().RequestFields;
  if (!fields) fields.emplace(NsapiState().RequestContent);
  return fields->Values(name);
}

// ---- the answer ----------------------------------------------------------------

void TNSAPIEngine::SendBytes(const char* data, size_t count) {
  const TNsapiServerFunctions* fn = Server();
  Session* session = NsapiState().ServerSession;
  if (fn == nullptr || session == nullptr) return;
  while (count > 0) {
    const int chunk = static_cast<int>(std::min<size_t>(count, INT_MAX));
    if (fn->net_write(session->csd, data, chunk) == IO_ERROR) return;  // the client has gone
    data += chunk;
    count -= static_cast<size_t>(chunk);
  }
}

void TNSAPIEngine::Write(std::string_view text) {
  THttpEngine::Write(text);
  if (!text.empty()) SendBytes(text.data(), text.size());
}

void TNSAPIEngine::WriteBuffer(const void* data, size_t count) {
  THttpEngine::WriteBuffer(data, count);
  if (count > 0) SendBytes(static_cast<const char*>(data), count);
}

void TNSAPIEngine::AddHeader(std::string_view name, std::string_view value) {
  const TNsapiServerFunctions* fn = Server();
  Request* request = NsapiState().ServerRequest;
  if (fn == nullptr || request == nullptr || request->srvhdrs == nullptr) return;
  const std::string key(name);
  if (pb_param* old = fn->pblock_fr(key.c_str(), request->srvhdrs, 1)) fn->param_free(old);
  fn->pblock_nvinsert(key.c_str(), std::string(value).c_str(), request->srvhdrs);
}

void TNSAPIEngine::EndHeaders() {
  const TNsapiServerFunctions* fn = Server();
  TNsapiThreadState& state = NsapiState();
  if (fn == nullptr || state.ServerRequest == nullptr || state.ServerSession == nullptr) return;
  // The status the program chose, else 200 with the server's own phrase.
  const TRequestState& request = RequestState();
  if (request.StatusCode != 0)
    fn->http_status(state.ServerSession, state.ServerRequest, request.StatusCode,
                    request.StatusReason.c_str());
  else
    fn->http_status(state.ServerSession, state.ServerRequest, PROTOCOL_OK, nullptr);
  fn->http_start_response(state.ServerSession, state.ServerRequest);
}

// ---- locks ---------------------------------------------------------------------

TLock* TNSAPIEngine::CreateLock() {
  if (const TNsapiServerFunctions* fn = Server()) return new TNsapiLock(fn->crit_init());
  return THttpEngine::CreateLock();
}

// A server lock exists only once the server is bound, so its functions are there.
void TNSAPIEngine::EnterLock(TLock* lock) {
  if (auto* serverLock = dynamic_cast<TNsapiLock*>(lock))
    server.crit_enter(serverLock->Section);
  else
    THttpEngine::EnterLock(lock);
}

void TNSAPIEngine::LeaveLock(TLock* lock) {
  if (auto* serverLock = dynamic_cast<TNsapiLock*>(lock))
    server.crit_exit(serverLock->Section);
  else
    THttpEngine::LeaveLock(lock);
}

void TNSAPIEngine::DestroyLock(TLock* lock) {
  if (auto* serverLock = dynamic_cast<TNsapiLock*>(lock))
    server.crit_terminate(serverLock->Section);
  THttpEngine::DestroyLock(lock);
}

}  // namespace pithorama
