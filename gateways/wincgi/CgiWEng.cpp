#include "pithorama/gateways/wincgi/CgiWEng.h"

#include <algorithm>
#include <optional>

#include "pithorama/engine/FormFields.h"
#include "pithorama/gateways/resident/QueueEntry.h"
#include "pithorama/platform/Environment.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/Threads.h"

namespace pithorama {

TCGIWinEngine* ActiveWinCGIEngine = nullptr;
bool WinCGIStart = false;

namespace {

TWinCgiThreadState& WinCgiState() { return ThreadLocal<TWinCgiThreadState>(); }
// The main thread's part in the queue (a client's entry, a server's queue file).
TServerData serverData;

// This process is the resident server of the Windows CGI gateway: a Windows
// CGI start without a profile.
bool IsServer = false;

// The sections that answer a request variable, in the order asked.
constexpr std::string_view kVariableSections[] = {"CGI", "SYSTEM", "EXTRA HEADERS", "ACCEPT"};

// Request variables whose key in the profile is not their CGI name. A name
// that starts with "HTTP " is a request header, which the profile lists under
// the header's own name.
struct TProfileName {
  std::string_view cgi;
  std::string_view profile;
};
constexpr TProfileName kProfileNames[] = {
    {"SERVER PROTOCOL", "REQUEST PROTOCOL"},
    {"GATEWAY INTERFACE", "CGI VERSION"},
    {"PATH INFO", "LOGICAL PATH"},
    {"PATH TRANSLATED", "PHYSICAL PATH"},
    {"REMOTE ADDR", "REMOTE ADDRESS"},
    {"AUTH TYPE", "AUTHENTICATION METHOD"},
    {"REMOTE USER", "AUTHENTICATED USERNAME"},
};

std::optional<std::string> ProfileNameOf(std::string_view key) {
  for (const TProfileName& name : kProfileNames)
    if (name.cgi == key) return std::string(name.profile);
  if (key.substr(0, 5) == "HTTP ") return std::string(key.substr(5));
  return std::nullopt;
}

std::optional<std::string> FindVariable(std::string_view key) {
  if (!WinCgiState().ProfileFile) return std::nullopt;
  for (std::string_view section : kVariableSections)
    if (auto value = WinCgiState().ProfileFile->Find(section, key)) return value;
  return std::nullopt;
}

// A [Form External] entry is "path length": the value is the file's first
// `length` bytes, or the bytes that are there when the file is shorter, up to
// the first zero byte.
std::string ReadExternalValue(const std::string& entry) {
  const size_t blank = entry.find(' ');
  if (blank == std::string::npos) return std::string(NotAvailable);
  int32_t length = 0;
  try {
    length = StrToInt(std::string_view(entry).substr(blank, 10));
  } catch (const EConvertError&) {
    return std::string(NotAvailable);
  }
  TFile file;
  if (!file.Open(MakeAbsolutePath(entry.substr(0, blank)), FileAccess::Read, FileShare::DenyNone,
                 FileCreate::OpenExisting))
    return std::string(NotAvailable);
  std::string value;
  char block[2048];
  while (static_cast<int64_t>(value.size()) < length) {
    const size_t due = static_cast<size_t>(length) - value.size();
    const int64_t n = file.Read(block, std::min(due, sizeof block));
    if (n < 0) return std::string(NotAvailable);
    if (n == 0) break;
    value.append(block, static_cast<size_t>(n));
  }
  const size_t zero = value.find('\0');
  if (zero != std::string::npos) value.resize(zero);
  return value;
}

THttpEngine* CreateWinEngine(TComponent* owner, const TGatewaySettings& settings) {
  return new TCGIWinEngine(owner, settings);
}

// Whatever the standard gateway did not take, and the start by hand, which
// makes the resident server for both flavours.
bool ClaimsWindowsCgiStart(const TStartFacts& start, bool engineCurrent) {
  if (start.FastCgi) return false;  // connections to serve: no Windows CGI start
  return !start.Library && (!engineCurrent || start.NoServerStart);
}

// The profile names the request: the server reads it where the web server
// wrote it. A name relative to this start's folder would mean another file in
// the server, so such a request is served here.
// No server took this start's request: it is served in this process.
bool serveHere = false;

std::string QueuedProfileName() {
  const std::string& name = WinCgiState().ProfileFileName;
  return HostPathStyle().isAbsolute(name) ? name : std::string();
}

// The server copy must choose Windows CGI again: a web server that names its
// software in the environment names the Windows CGI version there too.
std::vector<std::string> WinServerEnvironment() {
  std::vector<std::string> environment = ServerEnvironment(EnvironmentBlock());
  if (auto version = GetEnvironment("CGI_VERSION"))
    environment.push_back("CGI_VERSION=" + *version);
  return environment;
}

// The Windows CGI gateway's row of each difference between the two CGI
// gateways. The server writes the answer into the output file the web server
// reads, so a client only waits. Like the standard gateway's, the wait tests
// the queue file's age afresh on every pass, so that a long queue served by a
// live server is not given up; unlike it, no work files are ever deleted: the
// names in the work folder belong to requests of other starts.
TServerFlavour WindowsCgiFlavour() {
  TServerFlavour flavour;
  flavour.ServerStartArguments = {};
  flavour.CreateQueueBeforeStart = false;
  flavour.QueueAttemptsAfterStart = 21;
  flavour.QueueAttemptPauseMs = 200;
  flavour.ServerTimerMs = 60;
  flavour.TakesReqEntries = false;
  flavour.DeletesRequestFileAfterServing = false;
  flavour.AbortDeletesRequestFile = false;
  flavour.UpdatesServerWindowSeen = false;
  flavour.QueueAgeReadEachPass = true;
  flavour.LogsServerAborted = false;
  flavour.CleansWorkFiles = false;
  flavour.StaleQueuePauseMs = 0;
  flavour.QueueAppendAccess = FileAccess::Write;
  flavour.PrepareRequest = QueuedProfileName;
  flavour.ServerEnvironment = WinServerEnvironment;
  return flavour;
}

}  // namespace

TServerQueue& WinServerQueue() {
  static TServerQueue queue(WindowsCgiFlavour());
  return queue;
}

TWinCgiThreadState& WinCgiThreadState() { return WinCgiState(); }

std::string MakeAbsolutePath(std::string_view name, const PathStyle& style) {
  if (style.systemDrive.empty() || Contains(name, ":\\")) return std::string(name);
  return std::string(style.systemDrive) + std::string(name);
}

TCGIWinEngine::TCGIWinEngine(TComponent* owner, const TGatewaySettings& settings)
    : THttpEngine(owner) {
  ActiveWinCGIEngine = this;
  FirstRequest = true;
  AutoTerminate = true;
  SessionName = settings.SessionName;
  NoCache = settings.NoCache;
  if (Designing() || !WinCGIStart) return;

  ApplyGatewaySettings(*this, settings);
  ForceServer = settings.ForceServer;
  AutoTerminate = settings.AutoTerminate;
  CGIMode = ForceServer ? TCGIMode::ServerMode : settings.CGIMode;
  MakeCurrent();
  if (IsServer) {
    ServerTimer = std::make_unique<TResidentServer>(
        WinServerQueue(), CGIMode, [this](const std::string& name) {
          ServeQueued(name);
          return true;  // the answer went to the web server's own output file
        });
    return;
  }
  HandleRequestFile(MakeAbsolutePath(ParamStr(1)));
}

void TCGIWinEngine::HandleRequestFile(const std::string& name) {
  if (IsServer) {
    if (ServerTimer) ServerTimer->HandleRequestFile(name);
    return;
  }
  WinCgiState().ProfileFileName = name;
  WinCgiState().RequestContent.clear();
  // No server took the request at start: start one and hand it over. The
  // hand-over returns only when no server took it; then it is served here. A
  // profile that cannot be queued (a relative or over-long name) is served
  // here at once, without starting a server that could not take it.
  const std::string queued = QueuedProfileName();
  if (CGIMode != TCGIMode::NormalMode && !serveHere && !queued.empty() && FitsEntryFile(queued))
    WinServerQueue().HandOver(serverData);
  ServeInProcess();
}

void TCGIWinEngine::ServeInProcess() {
  RunRequest();
  if (AutoTerminate) TerminateProgram();
}

// FinishRequest closes the output file, so the answer is whole before the
// entry leaves the queue and the client ends.
void TCGIWinEngine::ServeQueued(const std::string& name) {
  WinCgiState().ProfileFileName = name;
  WinCgiState().RequestContent.clear();
  RunRequest();
}

void TCGIWinEngine::ExecRequest() {
  TWinCgiThreadState& state = WinCgiState();
  state.ProfileFile = TCGIIniFile::Create(state.ProfileFileName);
  state.OutputFileName = state.ProfileFile->ReadValue("System", "OUTPUT FILE", "");
  // Without an output file there is nowhere to answer: the request is skipped.
  if (state.OutputFileName.empty()) return;
  state.OutputFileName = MakeAbsolutePath(state.OutputFileName);
  OpenOutputFile();
  const std::string contentFile = GetVariable("Content File");
  if (!contentFile.empty()) ReadContentFile(MakeAbsolutePath(contentFile));
  try {
    FireEvents();
  } catch (...) {
    state.ContentStream.reset();
    if (AutoTerminate) state.OutputStream.reset();
    throw;
  }
}

// The output file may exist already (servers commonly create it empty to
// reserve its name); it is cut to nothing so that no bytes of an older answer
// trail this one.
void TCGIWinEngine::OpenOutputFile() {
  TWinCgiThreadState& state = WinCgiState();
  TFile file;
  if (!file.Open(state.OutputFileName, FileAccess::Write, FileShare::DenyNone,
                 FileCreate::CreateAlways))
    throw EFOpenError("Cannot open file " + state.OutputFileName);
  state.OutputStream = std::make_unique<TCgiOutput>(std::move(file));
}

// The content file goes through the multipart decoder whatever its type; a
// body that is not multipart gives no fields, and the form sections of the
// profile answer instead.
void TCGIWinEngine::ReadContentFile(const std::string& name) {
  auto content = std::make_unique<TFile>();
  if (!content->Open(name, FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting))
    throw EFOpenError("Cannot open file " + name);
  WinCgiState().ContentStream = std::move(content);
  WinCgiState().RequestContent = ReadMultipartInput();
}

void TCGIWinEngine::FireEvents() {
  if (FirstRequest && OnFirstExecRequest) {
    FirstRequest = false;
    OnFirstExecRequest(this);
  }
  if (OnExecRequest) OnExecRequest(this);
  if (OnLastExecRequest && !IsServer) OnLastExecRequest(this);
}

// Everything of the request goes with it: the answer is flushed and closed,
// and the profile and content file are released, so that a long-lived server
// process keeps nothing of earlier requests.
void TCGIWinEngine::FinishRequest() {
  TWinCgiThreadState& state = WinCgiState();
  THttpEngine::FinishRequest();
  state.OutputStream.reset();
  state.ContentStream.reset();
  state.ProfileFile.reset();
  state.RequestContent.clear();
}

int32_t TCGIWinEngine::GetContentLength() { return StrToIntDef(GetVariable("Content Length"), 0); }

std::string TCGIWinEngine::GetCookie() {
  if (!WinCgiState().ProfileFile) return std::string(NotAvailable);
  return WinCgiState().ProfileFile->ReadValue("EXTRA HEADERS", "COOKIE", NotAvailable);
}

// In the server's thread mode, the worker thread that serves the calling
// thread's request, as under the standard gateway; none elsewhere.
TObject* TCGIWinEngine::GetRequestThread() { return CurrentRequestThread(); }

void TCGIWinEngine::Write(std::string_view text) {
  THttpEngine::Write(text);
  if (!text.empty() && WinCgiState().OutputStream) WinCgiState().OutputStream->Write(text);
}

void TCGIWinEngine::WriteBuffer(const void* data, size_t count) {
  THttpEngine::WriteBuffer(data, count);
  if (WinCgiState().OutputStream)
    WinCgiState().OutputStream->Write(std::string_view(static_cast<const char*>(data), count));
}

int64_t TCGIWinEngine::ReadBuffer(void* buffer, size_t count) {
  if (!WinCgiState().ContentStream) return -1;
  return WinCgiState().ContentStream->Read(buffer, count);
}

// A header line goes out as text; no status line is ever written, so the
// output file starts with the header lines and the web server makes the
// status line. A status the program chose goes first as a "Status:" line.
// The line follows the engine's rules (HeaderLine): no line of a name that
// is no token, no CR or LF from the value.
void TCGIWinEngine::AddHeader(std::string_view name, std::string_view value) {
  const std::string line = HeaderLine(name, value);
  if (line.empty()) return;
  TRequestState& state = RequestState();
  if (state.HeaderStarted == 0) {
    state.HeaderStarted = 1;
    if (state.StatusCode != 0) TCGIWinEngine::Write("Status:" + StatusText() + "\r\n");
  }
  TCGIWinEngine::Write(line);
}

// The CGI name with blanks for underscores; the profile's own name where it
// differs, when the CGI name itself is found nowhere.
std::string TCGIWinEngine::GetVariable(std::string_view name) {
  std::string key = UpperCase(Trim(name));
  std::replace(key.begin(), key.end(), '_', ' ');
  if (key == "SCRIPT NAME") key = "EXECUTABLE PATH";
  if (auto value = FindVariable(key)) return *value;
  if (auto profileName = ProfileNameOf(key))
    if (auto value = FindVariable(*profileName)) return *value;
  return {};
}

std::string TCGIWinEngine::GetField(std::string_view name, std::string_view defaultValue) {
  if (!WinCgiState().RequestContent.empty())
    return GetFieldValue(name, WinCgiState().RequestContent, defaultValue);
  if (GetRequestMethod() == "GET") return GetFieldValue(name, GetQueryString(), defaultValue);
  std::string value = GetFormValue(name);
  if (value == NotAvailable) return std::string(defaultValue);
  // Further values of the field are numbered NAME_1, NAME_2, ...
  for (int n = 1;; ++n) {
    std::string more = GetFormValue(std::string(name) + "_" + std::to_string(n));
    if (more == NotAvailable) break;
    value += "\r\n" + more;
  }
  return value;
}

TStringList TCGIWinEngine::GetFieldValues(std::string_view name) {
  const std::string& content = WinCgiState().RequestContent;
  if (!content.empty()) return TFormFields(content).Values(name);
  if (GetRequestMethod() == "GET") return TFormFields(GetQueryString()).Values(name);
  TStringList values;
  std::string value = GetFormValue(name);
  for (int n = 1; value != NotAvailable; ++n) {
    values.push_back(value);
    value = GetFormValue(std::string(name) + "_" + std::to_string(n));
  }
  return values;
}

std::string TCGIWinEngine::GetFormValue(std::string_view name) {
  const TCGIIniFile* profile = WinCgiState().ProfileFile.get();
  if (profile == nullptr) return std::string(NotAvailable);
  if (auto literal = profile->Find("Form Literal", name)) return *literal;
  if (auto file = profile->Find("Form File", name)) return *file;
  if (auto external = profile->Find("Form External", name)) return ReadExternalValue(*external);
  return std::string(NotAvailable);
}

TStringList TCGIWinEngine::GetFieldNames() {
  TWinCgiThreadState& state = WinCgiState();
  if (!state.RequestContent.empty()) return ParseFieldNames(state.RequestContent);
  if (GetRequestMethod() != "POST") return ParseFieldNames(GetQueryString());
  return state.ProfileFile ? state.ProfileFile->GetFormFieldNames() : TStringList();
}

bool TCGIWinEngine::IsActiveGateway() { return WinCGIStart; }

TGatewayRecord WindowsCgiGateway() {
  return {"CgiWin", 50, ClaimsWindowsCgiStart, CreateWinEngine};
}

void CgiWEngStart() {
  RegisterGateway(WindowsCgiGateway());
  const TStartFacts start = ReadStartFacts();
  // A process given connections to serve is neither a Windows CGI start nor
  // its resident server, and leaves the server's files alone.
  WinCGIStart = !start.Library && !start.FastCgi &&
                ((!start.ServerSoftware && !start.CgiRequest) || start.WindowsCgiVersion);
  if (ParamCount() >= 1) WinCgiState().ProfileFileName = MakeAbsolutePath(ParamStr(1));
  IsServer = ParamCount() == 0 && !start.FastCgi;
  TServerQueue& queue = WinServerQueue();
  queue.IsServer = IsServer;
  if (!WinCGIStart) return;
  queue.ProgramStart(serverData);
  if (IsServer && !queue.IsServer) {
    WriteErrorLog("A resident server of this program runs already");
    Halt(0);
  }
  // A running server takes the request; WaitForAnswer ends the program, or
  // returns when no server took it.
  if (!IsServer && queue.QueueRequest(serverData) && !queue.WaitForAnswer(serverData))
    serveHere = true;
}

void CgiWEngEnd() {
  WinCgiState().OutputStream.reset();
  WinServerQueue().ProgramEnd(serverData);
}

}  // namespace pithorama
