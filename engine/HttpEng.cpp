#include "pithorama/engine/HttpEng.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "pithorama/engine/HUtils.h"
#include "pithorama/engine/Scramble.h"
#include "pithorama/engine/multipart/FormDecoder.h"
#include "pithorama/platform/Files.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/Random.h"
#include "pithorama/platform/Signals.h"
#include "pithorama/platform/Threads.h"

namespace pithorama {

namespace {

// The process-wide lock that serialises whole requests of a library in
// ServerMode; created once, by whichever first request needs it.
std::once_flag requestLockOnce;
TLock* requestLock = nullptr;

constexpr int32_t kSessionCookieKey = 417;
constexpr int32_t kSessionFileKey = 6173;

}  // namespace

TRequestState& RequestState() { return ThreadLocal<TRequestState>(); }
THttpEngine* CurrentEngine() { return RequestState().CurrentEngine; }

THttpEngine::THttpEngine(TComponent* owner) : TComponent(owner) {
  if (!Designing() && Application != nullptr) Application->ShowMainForm = false;
}

THttpEngine::~THttpEngine() {
  if (RequestState().CurrentEngine == this) RequestState().CurrentEngine = nullptr;
}

void THttpEngine::FormLoaded() {
  if (Designing() || !IsActiveGateway() || Owner() == nullptr) return;
  if (auto* form = dynamic_cast<TForm*>(Owner())) {
    form->WindowState = TWindowState::wsMinimized;
    form->Hide();
  }
  MakeCurrent();
}

void THttpEngine::MakeCurrent() { RequestState().CurrentEngine = this; }

namespace {

// Holds the request lock (none: nothing) and leaves it once, at the latest
// when the request cycle is left by any way.
class TRequestLockHold {
 public:
  TRequestLockHold(THttpEngine& engine, TLock* lock) : engine_(engine), lock_(lock) {
    engine_.EnterLock(lock_);
  }
  ~TRequestLockHold() { Leave(); }
  TRequestLockHold(const TRequestLockHold&) = delete;
  TRequestLockHold& operator=(const TRequestLockHold&) = delete;
  void Leave() {
    if (lock_ == nullptr) return;
    engine_.LeaveLock(std::exchange(lock_, nullptr));
  }

 private:
  THttpEngine& engine_;
  TLock* lock_;
};

void DeleteTempFiles() {
  std::unique_ptr<TStringList> files = std::move(RequestState().TempFiles);
  if (!files) return;
  for (const std::string& name : *files) {
    if (FileExists(name)) DeleteFile(name);
    KeepOnTermination(name);
  }
}

// Session cookie and lines live for one request only.
void ReleaseSession() {
  TRequestState& state = RequestState();
  delete state.SessionCookie;
  state.SessionCookie = nullptr;
  state.SessionLines.reset();
}

// Deletes the upload files and frees the session objects when the request
// cycle is left without reaching FinishRequest: a failure that is not an
// error of the request, or one raised by OnRequestError itself.
class TRequestEndGuard {
 public:
  TRequestEndGuard() = default;
  TRequestEndGuard(const TRequestEndGuard&) = delete;
  TRequestEndGuard& operator=(const TRequestEndGuard&) = delete;
  ~TRequestEndGuard() {
    if (!armed_) return;
    DeleteTempFiles();
    ReleaseSession();
  }
  void Dismiss() { armed_ = false; }

 private:
  bool armed_ = true;
};

}  // namespace

void THttpEngine::RunRequest() {
  TRequestState& state = RequestState();
  state.TempFiles.reset();
  state.PictureKind = TPictureKind::None;
  if (state.RequestNumber == 0) state.RequestNumber = static_cast<int32_t>(Random(1000));

  TLock* lock = nullptr;
  if (IsLibrary() && CGIMode == TCGIMode::ServerMode) {
    std::call_once(requestLockOnce, [this] { requestLock = CreateLock(); });
    lock = requestLock;
  }
  TRequestEndGuard endGuard;
  TRequestLockHold hold(*this, lock);
  try {
    ServeGuarded();
    hold.Leave();
  } catch (const std::exception& error) {
    // Every error of the standard library's kind is an error of the request,
    // whoever raised it (a std::stoi on a bad field as much as our own).
    hold.Leave();
    ReportRequestError(error);
  }
  endGuard.Dismiss();
  FinishRequest();
  state.RequestNumber = 0;
}

// The guarded part of the request cycle.
void THttpEngine::ServeGuarded() {
  TRequestState& state = RequestState();
  state.CurrentEngine = this;
  state.HeaderSent = 0;
  state.HeaderStarted = 0;
  state.StatusCode = 0;
  state.StatusReason.clear();
  if (IsActiveGateway()) {
    PrepareSession();
    state.SessionLines = std::make_unique<TStringList>();
  }
  ExecRequest();
  if (AutoHttpHeader && state.HeaderSent == 0) {
    AddHeader("content-type", AutoContentType);
    EndHeaders();
    state.HeaderSent = 1;
  }
}

void THttpEngine::ReportRequestError(const std::exception& error) {
  const auto* own = dynamic_cast<const Exception*>(&error);
  const std::string message = own != nullptr ? own->Message() : std::string(error.what());
  if (!OnRequestError)
    WriteErrorLog("Unhandled exception : " + message);
  else if (own != nullptr)
    OnRequestError(this, *own);
  else
    OnRequestError(this, Exception(message));
}

void THttpEngine::FinishRequest() {
  DeleteTempFiles();
  SaveSession();
  ReleaseSession();
}

// ---- request variables -------------------------------------------------------

std::string THttpEngine::GetServerName() { return GetVariable("SERVER NAME"); }
std::string THttpEngine::GetServerSoftware() { return GetVariable("SERVER SOFTWARE"); }
std::string THttpEngine::GetGatewayInterface() { return GetVariable("GATEWAY INTERFACE"); }
std::string THttpEngine::GetServerProtocol() { return GetVariable("SERVER PROTOCOL"); }
std::string THttpEngine::GetServerPort() { return GetVariable("SERVER PORT"); }
bool THttpEngine::IsServerPortSecure() { return GetVariable("SERVER PORT SECURE") == "1"; }
std::string THttpEngine::GetRequestMethod() { return GetVariable("REQUEST METHOD"); }
std::string THttpEngine::GetPathInfo() { return GetVariable("PATH INFO"); }
std::string THttpEngine::GetPathTranslated() { return GetVariable("PATH TRANSLATED"); }
std::string THttpEngine::GetScriptName() { return GetVariable("SCRIPT NAME"); }
std::string THttpEngine::GetQueryString() {
  std::string value = GetVariable("QUERY STRING");
  return value == NotAvailable ? std::string() : value;
}
std::string THttpEngine::GetRemoteHost() { return GetVariable("REMOTE HOST"); }
std::string THttpEngine::GetRemoteAddr() { return GetVariable("REMOTE ADDR"); }
std::string THttpEngine::GetAuthType() { return GetVariable("AUTH TYPE"); }
std::string THttpEngine::GetRemoteUser() { return GetVariable("REMOTE USER"); }
std::string THttpEngine::GetRemoteIdent() { return GetVariable("REMOTE IDENT"); }
std::string THttpEngine::GetContentType() { return GetVariable("CONTENT TYPE"); }
int32_t THttpEngine::GetContentLength() { return StrToIntDef(GetVariable("CONTENT LENGTH"), 0); }
std::string THttpEngine::GetUrl() {
  std::string url = GetVariable("URL");
  if (url.empty()) url = GetExecutablePath();
  if (url.empty()) url = GetScriptName();
  return url;
}
std::string THttpEngine::GetUserAgent() { return GetVariable("HTTP USER AGENT"); }
std::string THttpEngine::GetCookie() { return GetVariable("HTTP COOKIE"); }
std::string THttpEngine::GetReferer() { return GetVariable("HTTP REFERER"); }
std::string THttpEngine::GetExecutablePath() { return GetVariable("EXECUTABLE PATH"); }
TObject* THttpEngine::GetRequestThread() { return nullptr; }

// ---- the answer and its auto header --------------------------------------------

void THttpEngine::WriteStatusLine() {
  WriteStatus(!Contains(UpperCase(GetServerSoftware()), "NETSCAPE"));
}

void THttpEngine::WriteStatus(bool statusLine) {
  if (statusLine)
    WriteLine("HTTP/1.0 " + StatusText());
  else if (RequestState().StatusCode != 0)
    WriteLine("Status:" + StatusText());
}

std::string THttpEngine::StatusText() const {
  const TRequestState& state = RequestState();
  if (state.StatusCode == 0) return "200 OK";
  return std::to_string(state.StatusCode) + " " + state.StatusReason;
}

bool THttpEngine::SetStatus(int32_t code, std::string_view reason) {
  TRequestState& state = RequestState();
  const std::string what = "Status " + std::to_string(code) + " refused: ";
  if (code < 100 || code > 599) {
    WriteErrorLog(what + "no HTTP status code");
    return false;
  }
  if (!AutoHttpHeader || state.HeaderStarted != 0 || state.HeaderSent != 0) {
    WriteErrorLog(what + "the header is the program's own or has begun");
    return false;
  }
  state.StatusCode = code;
  state.StatusReason = reason.empty() ? std::string(HttpReasonPhrase(code)) : std::string();
  // Control characters would end the status line early.
  for (char c : reason)
    if (static_cast<unsigned char>(c) >= 32 && c != 127) state.StatusReason.push_back(c);
  return true;
}

bool THttpEngine::Redirect(std::string_view url, int32_t code) {
  if (code < 300 || code > 399) {
    WriteErrorLog("Redirect with status " + std::to_string(code) + " refused: no redirect code");
    return false;
  }
  // Header lines of its own (cookies) go after a status the program chose
  // first; the redirect then follows them.
  TRequestState& state = RequestState();
  const bool chosen = state.StatusCode == code && state.HeaderSent == 0;
  if (!chosen && !SetStatus(code)) return false;
  AddHeader("Location", url);
  // A gateway whose server sends the redirect itself marks the header sent.
  if (state.HeaderSent == 0) {
    state.HeaderSent = 1;
    EndHeaders();
  }
  return true;
}

void THttpEngine::Write(std::string_view text) {
  TRequestState& state = RequestState();
  if (!AutoHttpHeader || state.HeaderSent != 0 || text.empty() || text[0] != '<') return;
  state.HeaderSent = 1;  // first, so that the header lines below do not start it again
  AddHeader("content-type", AutoContentType);
  if (NoCache) {
    AddHeader("Pragma", "no-cache");
    AddHeader("Cache-Control", "no-cache");
    // Expires only: a name with a blank ("Document Expires") is no HTTP
    // token, and servers refuse the whole answer for it.
    AddHeader("Expires", HttpDate(Now() - 1000));
  }
  EndHeaders();
}

void THttpEngine::WriteBuffer(const void*, size_t) {
  TRequestState& state = RequestState();
  if (!AutoHttpHeader || state.HeaderSent != 0) return;
  switch (state.PictureKind) {
    case TPictureKind::Gif:
      AddHeader("content-type", "image/gif");
      break;
    case TPictureKind::Jpeg:
      AddHeader("content-type", "image/jpeg");
      break;
    default:
      AddHeader("content-type", AutoContentType);
      break;
  }
  EndHeaders();
  state.HeaderSent = 1;
}

int64_t THttpEngine::ReadBuffer(void*, size_t) { return 0; }

std::string THttpEngine::HeaderLine(std::string_view name, std::string_view value) {
  // A line that servers would refuse, or that would let request text add
  // lines of its own, is never written.
  if (!IsHttpToken(name)) {
    WriteErrorLog("Header line refused, its name is no HTTP token: " + std::string(name));
    return {};
  }
  std::string line;
  line.reserve(name.size() + value.size() + 3);
  line.append(name).append(":");
  for (char c : value)
    if (c != '\r' && c != '\n') line.push_back(c);
  line.append("\r\n");
  return line;
}

void THttpEngine::AddHeader(std::string_view name, std::string_view value) {
  const std::string line = HeaderLine(name, value);
  if (line.empty()) return;
  TRequestState& state = RequestState();
  if (AutoHttpHeader && state.HeaderStarted == 0) {
    state.HeaderStarted = 1;
    // A redirect goes out without a status line: the server makes its own;
    // unless the program chose the status itself.
    if (std::string_view("LOCATION").find(UpperCase(name)) == std::string_view::npos ||
        state.StatusCode != 0)
      WriteStatusLine();
  }
  Write(line);
}

void THttpEngine::EndHeaders() { WriteLine(""); }

void THttpEngine::WriteLine(std::string_view text) {
  std::string line(text);
  line += "\r\n";
  Write(line);
}

// ---- locks ---------------------------------------------------------------------

TLock* THttpEngine::CreateLock() { return new TLock(); }
void THttpEngine::EnterLock(TLock* lock) {
  if (lock != nullptr) lock->Enter();
}
void THttpEngine::LeaveLock(TLock* lock) {
  if (lock != nullptr) lock->Leave();
}
void THttpEngine::DestroyLock(TLock* lock) { delete lock; }

// ---- form input ----------------------------------------------------------------

TStringList THttpEngine::ParseFieldNames(std::string_view text) {
  TStringList names;
  ForEachFieldPiece(text, [&](std::string_view encodedName, std::string_view) {
    std::string name = UrlDecode(encodedName);
    if (names.empty() || names.back() != name) names.push_back(std::move(name));
  });
  return names;
}

namespace {

// The body as the gateway delivers it.
class TEngineBody : public TByteSource {
 public:
  explicit TEngineBody(THttpEngine& engine) : engine_(engine) {}
  int64_t Read(void* buffer, size_t count) override { return engine_.ReadBuffer(buffer, count); }

 private:
  THttpEngine& engine_;
};

}  // namespace

TStringList THttpEngine::GetFieldValues(std::string_view name) {
  const std::string joined = GetField(name, NotAvailable);
  TStringList values;
  if (joined == NotAvailable) return values;
  size_t from = 0;
  for (size_t at; (at = joined.find("\r\n", from)) != std::string::npos; from = at + 2)
    values.push_back(joined.substr(from, at - from));
  values.push_back(joined.substr(from));
  return values;
}

std::string THttpEngine::ReadMultipartInput() {
  RequestState().TempFiles = std::make_unique<TStringList>();
  std::string result;
  TEngineBody body(*this);
  DecodeMultipart(body, GetContentLength(), GetContentType(), TempDir, *RequestState().TempFiles,
                  result);
  return result;
}

// The content as the standard gateways read it: the query string of a
// request without a body; a body within AutoReadLimit when AutoReadInput is
// set, a multipart one through the form decoder. A body that ends early is
// what arrived, and the content is the text up to its first zero byte. Its
// room grows by doubling but never past the announced length, so a large
// body is not held twice over.
std::string THttpEngine::ReadStandardContent() {
  const std::string lengthText = GetVariable("CONTENT_LENGTH");
  const int32_t length = lengthText.empty() ? 0 : StrToInt(lengthText);
  if (length <= 0) return GetQueryString();
  if (length > AutoReadLimit) {
    WriteErrorLog("Content length exceeds AutoReadLimit");
    return {};
  }
  if (!AutoReadInput) return {};
  if (Contains(UpperCase(GetVariable("CONTENT_TYPE")), "MULTIPART/FORM-DATA;"))
    return ReadMultipartInput();
  std::string body;
  char block[16384];
  for (size_t due = static_cast<size_t>(length); due > 0;) {
    const int64_t n = ReadBuffer(block, std::min(due, sizeof block));
    if (n <= 0) break;
    GrowRoom(body, body.size() + static_cast<size_t>(n), static_cast<size_t>(length));
    body.append(block, static_cast<size_t>(n));
    due -= static_cast<size_t>(n);
  }
  const size_t zero = body.find('\0');
  if (zero != std::string::npos) body.resize(zero);
  return body;
}

// ---- the session ---------------------------------------------------------------

void THttpEngine::PrepareSession() {
  // Freed by the request that made it. Not owned by the engine: the request
  // threads of a server would otherwise change the engine's list of owned
  // components at the same time.
  auto* cookie = new THttpCookie(nullptr);
  cookie->CookieName = SessionName;
  cookie->Coded = true;
  cookie->CodeKey = kSessionCookieKey;
  RequestState().SessionCookie = cookie;
}

void THttpEngine::SaveSession() {
  TRequestState& state = RequestState();
  if (state.SessionFile.empty()) return;
  std::string text;
  if (state.SessionLines)
    for (const std::string& line : *state.SessionLines)
      text += UrlEncode(ScrambleString(line, kSessionFileKey)) + "\r\n";
  for (int attempt = 0; attempt < 11; ++attempt) {
    TFile file;
    if (file.Open(state.SessionFile, FileAccess::Write, FileShare::Exclusive,
                  FileCreate::CreateAlways) &&
        file.Write(text) && file.Close())
      break;
    SleepMs(100);
  }
  SetFileDate(state.SessionFile, state.SessionFileDate);
}

// ---- module routines -----------------------------------------------------------

void TerminateProgram() {
  if (IsLibrary()) return;
  if (Application != nullptr) {
    std::vector<TComponent*> owned = Application->Components();
    for (auto it = owned.rbegin(); it != owned.rend(); ++it)
      if (dynamic_cast<TForm*>(*it) != nullptr || dynamic_cast<TDataModule*>(*it) != nullptr)
        delete *it;
  }
  Halt(0);
}

void EngineWrite(std::string_view text) {
  if (THttpEngine* engine = CurrentEngine()) engine->Write(text);
}
std::string EngineGetVariable(std::string_view name) {
  THttpEngine* engine = CurrentEngine();
  return engine ? engine->GetVariable(name) : std::string();
}
std::string EngineGetField(std::string_view name, std::string_view defaultValue) {
  THttpEngine* engine = CurrentEngine();
  return engine ? engine->GetField(name, defaultValue) : std::string();
}
void EngineDestroyLock(TLock* lock) {
  if (THttpEngine* engine = CurrentEngine()) engine->DestroyLock(lock);
}
std::string EngineGetRemoteHost() {
  THttpEngine* engine = CurrentEngine();
  return engine ? engine->GetRemoteHost() : std::string();
}
std::string EngineGetRemoteAddr() {
  THttpEngine* engine = CurrentEngine();
  return engine ? engine->GetRemoteAddr() : std::string();
}
std::string EngineGetRemoteIdent() {
  THttpEngine* engine = CurrentEngine();
  return engine ? engine->GetRemoteIdent() : std::string();
}
std::string EngineGetReferer() {
  THttpEngine* engine = CurrentEngine();
  return engine ? engine->GetReferer() : std::string();
}

void HttpEngStart() {
  RandomizeFromClock();
  RequestState().RequestNumber = 0;
  RequestState().SessionFile.clear();
}

void HttpEngEnd() {
  if (requestLock != nullptr) {
    EngineDestroyLock(requestLock);
    requestLock = nullptr;
  }
}

}  // namespace pithorama
