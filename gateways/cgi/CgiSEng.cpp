#include "pithorama/gateways/cgi/CgiSEng.h"

#include <cstring>

#include "pithorama/engine/HttpText.h"
#include "pithorama/gateways/resident/AnswerCopy.h"
#include "pithorama/gateways/resident/Liveness.h"
#include "pithorama/gateways/resident/QueueEntry.h"
#include "pithorama/gateways/resident/RequestFile.h"
#include "pithorama/platform/Environment.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/Signals.h"
#include "pithorama/platform/Threads.h"

namespace pithorama {

TCGIStdEngine* ActiveCGIEngine = nullptr;
bool IsServer = false;

namespace {

TCgiThreadState& CgiState() { return ThreadLocal<TCgiThreadState>(); }
// The main thread's part in the queue (a client's entry, a server's queue file).
TServerData serverData;

// A request for the standard gateway: from a web server that is no Windows
// CGI server, or tried by hand with the CGI variables set. A process given
// connections to serve is none, whatever variables it inherited.
bool IsStandardCgiRequest(const TStartFacts& start) {
  return (start.ServerSoftware || start.CgiRequest) && !start.WindowsCgiVersion && !start.FastCgi;
}

std::string RequestFileNameOf(const std::string& requestId) {
  return TServerQueue::GetServerFilePrefix() + "_C_" + requestId + "_REQ";
}

// The request's input: body bytes kept back from a failed request file
// first, then the stream.
int64_t ReadInput(void* buffer, size_t count) {
  TCgiThreadState& state = CgiState();
  std::string& pending = state.PendingBody;
  if (!pending.empty()) {
    const size_t n = std::min(count, pending.size());
    std::memcpy(buffer, pending.data(), n);
    pending.erase(0, n);
    return static_cast<int64_t>(n);
  }
  return state.InputStream ? state.InputStream->Read(buffer, count) : -1;
}

// Copies the body announced by CONTENT_LENGTH from standard input. On a
// failed write the body read so far (what the file took and the block it
// refused) is kept in PendingBody, so the request can still be served here.
bool CopyBody(TFile& to, int64_t bodyStart) {
  TCgiThreadState& state = CgiState();
  int32_t due = StrToIntDef(GetEnvVar("CONTENT_LENGTH"), 0);
  char block[16384];
  int64_t written = 0;
  while (due > 0 && state.InputStream) {
    int64_t got = state.InputStream->Read(block, std::min<size_t>(sizeof block, due));
    if (got <= 0) break;  // the body ended early: the server gets what arrived
    if (!to.Write(block, static_cast<size_t>(got))) {
      std::string kept(static_cast<size_t>(written), '\0');
      if (written > 0 && (!to.Seek(bodyStart) || to.Read(kept.data(), kept.size()) != written))
        kept.clear();
      kept.append(block, static_cast<size_t>(got));
      state.PendingBody = std::move(kept);
      return false;
    }
    written += got;
    due -= static_cast<int32_t>(got);
  }
  return true;
}

// The client's WriteRequestFile: the environment, the debug line and the
// body, in a new file that only the owner may read. Written once per start,
// after the client's lock is taken, so that nobody takes the file of a
// client that is still writing it for a leftover.
std::string WriteRequestFile() {
  TCgiThreadState& state = CgiState();
  if (state.RequestFileWritten) return state.RequestFileName;
  if (state.RequestId.empty()) state.RequestId = MakeRequestId();
  const std::string name = RequestFileNameOf(state.RequestId);
  state.RequestFileName = name;
  if (!FitsEntryFile(name) || !state.PendingBody.empty()) return {};
  if (!TakeClientLock(name.substr(0, name.size() - 3))) {
    WriteErrorLog("Can not lock the request of " + name);
    return {};
  }
  TFile file;
  const std::string head = RequestFileHead(EnvironmentBlock());
  bool written =
      file.Open(name, FileAccess::ReadWrite, FileShare::DenyNone, FileCreate::CreateNew) &&
      file.Write(head) && CopyBody(file, static_cast<int64_t>(head.size()));
  if (!written) {
    WriteErrorLog("Can not write file " + name + " : " + SystemErrorText(file.LastError()));
    if (file.IsOpen()) DeleteFile(name);
    return {};
  }
  state.RequestFileWritten = true;
  return name;
}

// The client's relay of the answer file to standard output; the file goes after.
bool RelayAnswer() {
  const std::string name =
      TServerQueue::GetServerFilePrefix() + "_C_" + CgiState().RequestId + "_OUT";
  TFile file;
  if (!file.Open(name, FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting))
    return false;
  bool copied = CopyAnswer(
      file.Size(), [&file](char* buffer, size_t count) { return file.Read(buffer, count); },
      [](std::string_view bytes) {
        if (CgiState().OutputStream) CgiState().OutputStream->Write(bytes);
      });
  file.Close();
  DeleteFile(name);
  return copied;
}

// The standard gateway's row of each difference between the two CGI gateways.
TServerFlavour StandardCgiFlavour() {
  TServerFlavour flavour;
  flavour.ServerStartArguments = {"START_SERVER"};
  flavour.CreateQueueBeforeStart = true;
  flavour.QueueAttemptsAfterStart = 6;
  flavour.QueueAttemptPauseMs = 500;
  flavour.ServerTimerMs = 50;
  flavour.TakesReqEntries = true;
  flavour.DeletesRequestFileAfterServing = true;
  flavour.AbortDeletesRequestFile = true;
  flavour.UpdatesServerWindowSeen = true;
  flavour.QueueAgeReadEachPass = true;
  flavour.LogsServerAborted = true;
  flavour.CleansWorkFiles = true;
  flavour.StaleQueuePauseMs = 300;
  flavour.QueueAppendAccess = FileAccess::ReadWrite;
  flavour.MayQueue = [] { return IsStandardCgiRequest(ReadStartFacts()); };
  flavour.PrepareRequest = WriteRequestFile;
  flavour.RelayAnswer = RelayAnswer;
  flavour.DeleteRequestFile = [] { DeleteFile(CgiState().RequestFileName); };
  return flavour;
}

THttpEngine* CreateStdEngine(TComponent* owner, const TGatewaySettings& settings) {
  return new TCGIStdEngine(owner, settings);
}

// A web server's CGI start (or a CGI request tried by hand), unless it is a
// Windows CGI server's; and the start by hand, which makes the resident
// server. Not when another engine already serves this thread.
// True when `line` is "NAME=value" for the upper-case `key`, the name in any
// letter case; compared in place, with no copy of the line.
bool StartsWithVariable(std::string_view line, std::string_view key) {
  if (line.size() <= key.size() || line[key.size()] != '=') return false;
  for (size_t i = 0; i < key.size(); ++i) {
    const char c = line[i];
    if ((c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c) != key[i]) return false;
  }
  return true;
}

bool ClaimsStandardCgiStart(const TStartFacts& start, bool engineCurrent) {
  if (start.Library || engineCurrent) return false;
  return start.NoServerStart || (IsStandardCgiRequest(start));
}

}  // namespace

TCgiThreadState& CgiThreadState() { return CgiState(); }

TServerQueue& StdServerQueue() {
  static TServerQueue queue(StandardCgiFlavour());
  return queue;
}

bool TCGIStdEngine::IsActive() {
  const TStartFacts start = ReadStartFacts();
  if (start.Library) return false;
  return (IsServer && !start.WindowsCgiVersion) || IsStandardCgiRequest(start);
}

TCGIStdEngine::TCGIStdEngine(TComponent* owner, const TGatewaySettings& settings)
    : THttpEngine(owner) {
  ForceServer = settings.ForceServer;
  CGIMode = settings.ForceServer ? TCGIMode::ServerMode : settings.CGIMode;
  AutoTerminate = settings.AutoTerminate;
  ApplyGatewaySettings(*this, settings);
  ActiveCGIEngine = this;
  FirstRequest = true;

  if (Designing() || !IsActive()) return;
  MakeCurrent();
  if (IsServer) {
    ServerTimer = std::make_unique<TResidentServer>(
        StdServerQueue(), CGIMode, [this](const std::string& name) { return ServeQueued(name); });
    return;
  }
  HandleRequestFile(RequestFileNameOf(CgiState().RequestId));
}

void TCGIStdEngine::HandleRequestFile(const std::string& name) {
  if (IsServer) {
    if (ServerTimer) ServerTimer->HandleRequestFile(name);
    return;
  }
  TCgiThreadState& state = CgiState();
  if (CGIMode != TCGIMode::NormalMode) {
    // No server took the request at start: start one and hand it over. A
    // request whose file name would not fit a queue entry is served here.
    if (state.RequestId.empty()) state.RequestId = MakeRequestId();
    if (FitsEntryFile(RequestFileNameOf(state.RequestId)) && !state.ServeHere)
      StdServerQueue().HandOver(serverData);
  }
  if (!state.RequestFileWritten) state.RequestFileName = name;
  ServeInProcess();
}

void TCGIStdEngine::ServeInProcess() {
  TCgiThreadState& state = CgiState();
  // A request file written for a server that never took it holds the body,
  // which standard input no longer has.
  if (state.RequestFileWritten) {
    auto file = std::make_unique<TFile>();
    if (file->Open(state.RequestFileName, FileAccess::Read, FileShare::DenyNone,
                   FileCreate::OpenExisting)) {
      ReadVariableBlock(*file);
      state.InputStream = std::move(file);
    }
    DeleteFile(state.RequestFileName);
    state.RequestFileWritten = false;
  }
  try {
    RunRequest();
  } catch (...) {
    // A failure that is no error of the request passes on (RunRequest has
    // done the rest of its end); the answer written so far still goes out.
    if (state.OutputStream) state.OutputStream->Flush();
    throw;
  }
  if (AutoTerminate) TerminateProgram();
}

bool TCGIStdEngine::ServeQueued(const std::string& name) {
  TCgiThreadState& state = CgiState();
  state.RequestFileName = name;
  state.AnswerFailed = false;
  OpenRequestFiles(name);
  RunRequest();
  // The answer must be whole in its file before the entry goes, whatever
  // AutoTerminate says, and a long-lived server must not keep the files open.
  CloseAnswer();
  state.InputStream.reset();
  state.VariableList.reset();
  if (!state.AnswerFailed) return true;
  // An answer cut short is no answer: the client serves the request itself.
  WriteErrorLog("Can not write the answer of " + name);
  DeleteFile(name.substr(0, name.size() - 3) + "OUT");
  return false;
}

void TCGIStdEngine::CloseAnswer() {
  TCgiThreadState& state = CgiState();
  if (!state.OutputStream) return;
  state.OutputStream->Flush();
  state.AnswerFailed = state.AnswerFailed || state.OutputStream->Failed();
  state.OutputStream.reset();
}

void TCGIStdEngine::OpenRequestFiles(const std::string& name) {
  TCgiThreadState& state = CgiState();
  const std::string base = name.substr(0, name.size() - 3);
  auto input = std::make_unique<TFile>();
  TStringList variables;
  if (input->Open(base + "REQ", FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting))
    variables = ReadVariableBlock(*input);
  state.InputStream = std::move(input);
  // The answer holds what the request did: owner only, like the request.
  TFile output;
  output.Open(base + "OUT", FileAccess::Write, FileShare::DenyNone, FileCreate::CreatePrivate);
  state.OutputStream = std::make_unique<TCgiOutput>(std::move(output));
  state.VariableList = std::move(variables);
}

void TCGIStdEngine::ExecRequest() {
  CgiState().RequestFields = TFormFields(ReadContent());
  if (FirstRequest && OnFirstExecRequest) {
    FirstRequest = false;
    OnFirstExecRequest(this);
  }
  if (OnExecRequest) OnExecRequest(this);
  if (OnLastExecRequest && CGIMode == TCGIMode::NormalMode) OnLastExecRequest(this);
}

std::string TCGIStdEngine::ReadContent() {
  if (!CgiState().InputStream) return {};
  return ReadStandardContent();
}

void TCGIStdEngine::FinishRequest() {
  TCgiThreadState& state = CgiState();
  THttpEngine::FinishRequest();
  if (!AutoTerminate) {
    if (state.OutputStream) state.OutputStream->Flush();
    return;
  }
  CloseAnswer();  // sends what is left
  if (!IsServer) DiscardUnreadContent();
  state.InputStream.reset();
  if (!IsServer) TerminateProgram();
}

// A web server may still be writing a body the program did not read (one
// over AutoReadLimit, say); a program that ends first makes that write fail,
// and some servers then throw the whole answer away (fcgiwrap behind nginx
// answers 502). The rest of the body is read and dropped, after the answer
// is out; the server ends the input with the body, and the announced length
// bounds the reading.
void TCGIStdEngine::DiscardUnreadContent() {
  if (!CgiState().InputStream) return;
  const std::string lengthText = GetVariable("CONTENT_LENGTH");
  int64_t due = lengthText.empty() ? 0 : StrToIntDef(lengthText, 0);
  char block[16384];
  while (due > 0) {
    const int64_t n = CgiState().InputStream->Read(
        block, static_cast<size_t>(std::min<int64_t>(due, sizeof block)));
    if (n <= 0) break;
    due -= n;
  }
}

TObject* TCGIStdEngine::GetRequestThread() { return CurrentRequestThread(); }

void TCGIStdEngine::WriteStatusLine() {
  const std::string software = UpperCase(GetServerSoftware());
  const bool statusLine = !Contains(software, "NETSCAPE") && !Contains(software, "APACHE");
  WriteStatus(statusLine);
  // A status the program chose also goes as a "Status:" line: servers that
  // take no status line from a CGI program (nginx through fcgiwrap) would
  // otherwise answer 200.
  if (statusLine && RequestState().StatusCode != 0) WriteStatus(false);
}

void TCGIStdEngine::Write(std::string_view text) {
  THttpEngine::Write(text);
  if (!text.empty() && CgiState().OutputStream) CgiState().OutputStream->Write(text);
}

void TCGIStdEngine::WriteBuffer(const void* data, size_t count) {
  THttpEngine::WriteBuffer(data, count);
  if (CgiState().OutputStream)
    CgiState().OutputStream->Write(std::string_view(static_cast<const char*>(data), count));
}

int64_t TCGIStdEngine::ReadBuffer(void* buffer, size_t count) {
  if (!CgiState().InputStream) return -1;
  size_t total = 0;
  while (total < count) {
    int64_t n = ReadInput(static_cast<char*>(buffer) + total, count - total);
    if (n < 0) return total > 0 ? static_cast<int64_t>(total) : -1;
    if (n == 0) break;  // standard input ended early: answer what arrived
    total += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(total);
}

void TCGIStdEngine::EndHeaders() {
  THttpEngine::Write("\r\n");
  if (CgiState().OutputStream) CgiState().OutputStream->Write("\r\n");
}

std::string TCGIStdEngine::GetVariable(std::string_view name) {
  const std::string key = CgiVariableName(name);
  if (!CgiState().VariableList) return GetEnvVar(key);
  for (const std::string& line : *CgiState().VariableList)
    if (StartsWithVariable(line, key)) return line.substr(key.size() + 1, 255);
  return {};
}

std::string TCGIStdEngine::GetField(std::string_view name, std::string_view defaultValue) {
  return CgiState().RequestFields.Value(name, defaultValue);
}

TStringList TCGIStdEngine::GetFieldNames() { return CgiState().RequestFields.Names(); }

TStringList TCGIStdEngine::GetFieldValues(std::string_view name) {
  return CgiState().RequestFields.Values(name);
}

bool TCGIStdEngine::IsActiveGateway() { return IsActive(); }

bool IsServerStart() {
  // Apache hands the words of a query without "=" (an ISINDEX query such as
  // "?START_SERVER") to the program as its arguments, so an argument alone
  // proves nothing: a start that carries a CGI request is never the server.
  // SERVER_SOFTWARE alone is no request: a client hands it on to the server
  // it starts, so that the copy chooses the standard gateway.
  // A process given connections to serve is never the server either.
  const TStartFacts start = ReadStartFacts();
  if (start.CgiRequest || start.FastCgi) return false;
  return start.NoServerStart || ParamStr(1) == "START_SERVER";
}

TGatewayRecord StandardCgiGateway() {
  return {"CgiStd", 40, ClaimsStandardCgiStart, CreateStdEngine};
}

void CgiSEngStart() {
  RegisterGateway(StandardCgiGateway());
  IsServer = IsServerStart();
  TServerQueue& queue = StdServerQueue();
  queue.IsServer = IsServer;
  if (!TCGIStdEngine::IsActive()) return;
  // A client that hangs up makes writes fail; the program still finishes its
  // request (mail, log line) instead of dying in the middle of it.
  IgnoreBrokenPipe();
  queue.ProgramStart(serverData);
  if (IsServer && !queue.IsServer) {
    // Another copy of this program serves the folder: there is one server only.
    WriteErrorLog("A resident server of this program runs already");
    Halt(0);
  }
  if (IsServer) return;
  // A server that gives up on the request (its client hung up) ends the
  // program with a signal: the upload files of the request go with it.
  SetTerminationAction(TTerminationAction::RemoveFilesAndEnd);
  TCgiThreadState& state = CgiState();
  state.OutputStream = std::make_unique<TCgiOutput>(TFile::StandardOutput());
  state.InputStream = std::make_unique<TFile>(TFile::StandardInput());
  // A running server takes the request; WaitForAnswer ends the program, or
  // returns when no server took it.
  if (queue.QueueRequest(serverData) && !queue.WaitForAnswer(serverData)) state.ServeHere = true;
}

void CgiSEngEnd() {
  // A client that ends, answered or not, is gone for the server: a request
  // of its that is still waiting is dropped, an answer made for it deleted.
  // The lock goes before the answer's last bytes do: a web server that has
  // the whole answer (its length is given) may end the program at once,
  // before any later step could delete the lock's file.
  DropClientLock();
  if (CgiState().OutputStream) CgiState().OutputStream->Flush();
  StdServerQueue().ProgramEnd(serverData);
}

}  // namespace pithorama
