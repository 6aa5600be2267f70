#include "gateways/CgiSEng.h"

#include "platform/Environment.h"
#include "platform/Module.h"

namespace pithorama {

TCGIStdEngine* ActiveCGIEngine = nullptr;
bool IsServer = false;

namespace {

thread_local TCgiThreadState cgiState;

bool WindowsCgiStart() { return Contains(UpperCase(GetEnvVar("CGI_VERSION")), "WIN"); }

THttpEngine* CreateStdEngine(TComponent* owner, const TGatewaySettings& settings) {
  return new TCGIStdEngine(owner, settings);
}

}  // namespace

TCgiThreadState& CgiThreadState() { return cgiState; }

bool TCGIStdEngine::IsActive() {
  if (IsLibrary()) return false;
  return (!GetEnvVar("SERVER_SOFTWARE").empty() || IsServer) && !WindowsCgiStart();
}

TCGIStdEngine::TCGIStdEngine(TComponent* owner, const TGatewaySettings& settings)
    : THttpEngine(owner) {
  ForceServer = settings.ForceServer;
  CGIMode = settings.ForceServer ? TCGIMode::ServerMode : settings.CGIMode;
  AutoTerminate = settings.AutoTerminate;
  NoCache = settings.NoCache;
  TempDir = settings.TempDir;
  SessionName = settings.SessionName;
  AutoReadLimit = settings.AutoReadLimit;
  AutoReadInput = settings.AutoReadInput;
  AutoContentType = settings.AutoContentType;
  AutoHttpHeader = settings.AutoHttpHeader;
  OnRequestError = settings.OnRequestError;
  OnLastExecRequest = settings.OnLastExecRequest;
  OnExecRequest = settings.OnExecRequest;
  OnFirstExecRequest = settings.OnFirstExecRequest;
  ActiveCGIEngine = this;
  FirstRequest = true;

  if (Designing() || !IsActive()) return;
  MakeCurrent();
  if (IsServer) {
    // GAP: the resident CGI server is not part of this build. A program
    // started by hand has no request to serve and ends here.
    WriteErrorLog("CGI server mode is not available in this build");
    if (AutoTerminate) TerminateProgram();
    return;
  }
  HandleRequestFile("_C_" + cgiState.RequestId + "_REQ");
}

void TCGIStdEngine::HandleRequestFile(const std::string& name) {
  cgiState.RequestFileName = name;
  RunRequest();
  if (AutoTerminate) TerminateProgram();
}

void TCGIStdEngine::ExecRequest() {
  cgiState.RequestFields = TFormFields(ReadContent());
  if (FirstRequest && OnFirstExecRequest) {
    FirstRequest = false;
    OnFirstExecRequest(this);
  }
  if (OnExecRequest) OnExecRequest(this);
  if (OnLastExecRequest && CGIMode == TCGIMode::NormalMode) OnLastExecRequest(this);
}

std::string TCGIStdEngine::ReadContent() {
  if (!cgiState.InputStream) return {};
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

  // The body in blocks; a body that ends early is what arrived. The content
  // is the text up to the first zero byte. Its room grows by doubling but
  // never past the announced length, so a large body is not held twice over.
  std::string body;
  char block[16384];
  for (size_t due = static_cast<size_t>(length); due > 0;) {
    int64_t n = cgiState.InputStream->Read(block, std::min(due, sizeof block));
    if (n <= 0) break;
    GrowRoom(body, body.size() + static_cast<size_t>(n), static_cast<size_t>(length));
    body.append(block, static_cast<size_t>(n));
    due -= static_cast<size_t>(n);
  }
  size_t zero = body.find('\0');
  if (zero != std::string::npos) body.resize(zero);
  return body;
}

void TCGIStdEngine::FinishRequest() {
  THttpEngine::FinishRequest();
  if (!AutoTerminate) {
    if (cgiState.OutputStream) cgiState.OutputStream->Flush();
    return;
  }
  cgiState.OutputStream.reset();  // sends what is left
  cgiState.InputStream.reset();
  if (!IsServer) TerminateProgram();
}

TObject* TCGIStdEngine::GetRequestThread() { return nullptr; }

void TCGIStdEngine::WriteStatusLine() {
  const std::string software = UpperCase(GetServerSoftware());
  if (!Contains(software, "NETSCAPE") && !Contains(software, "APACHE"))
    WriteLine("HTTP/1.0 200 OK");
}

void TCGIStdEngine::Write(std::string_view text) {
  THttpEngine::Write(text);
  if (!text.empty() && cgiState.OutputStream) cgiState.OutputStream->Write(text);
}

void TCGIStdEngine::WriteBuffer(const void* data, size_t count) {
  THttpEngine::WriteBuffer(data, count);
  if (cgiState.OutputStream)
    cgiState.OutputStream->Write(std::string_view(static_cast<const char*>(data), count));
}

int64_t TCGIStdEngine::ReadBuffer(void* buffer, size_t count) {
  if (!cgiState.InputStream) return -1;
  size_t total = 0;
  while (total < count) {
    int64_t n = cgiState.InputStream->Read(static_cast<char*>(buffer) + total, count - total);
    if (n < 0) return total > 0 ? static_cast<int64_t>(total) : -1;
    if (n == 0) break;  // standard input ended early: answer what arrived
    total += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(total);
}

void TCGIStdEngine::EndHeaders() {
  THttpEngine::Write("\r\n");
  if (cgiState.OutputStream) cgiState.OutputStream->Write("\r\n");
}

std::string TCGIStdEngine::GetVariable(std::string_view name) {
  std::string key = UpperCase(name);
  for (char& c : key)
    if (c == ' ') c = '_';
  if (key == "EXECUTABLE_PATH") key = "SCRIPT_NAME";
  if (!cgiState.VariableList) return GetEnvVar(key);
  const std::string prefix = key + "=";
  for (const std::string& line : *cgiState.VariableList)
    if (UpperCase(line).rfind(prefix, 0) == 0) return line.substr(prefix.size(), 255);
  return {};
}

std::string TCGIStdEngine::GetField(std::string_view name, std::string_view defaultValue) {
  return cgiState.RequestFields.Value(name, defaultValue);
}

TStringList TCGIStdEngine::GetFieldNames() { return cgiState.RequestFields.Names(); }

bool TCGIStdEngine::IsActiveGateway() { return IsActive(); }

void CgiSEngStart() {
  RegisterGateway(TGatewayKind::CgiStd, CreateStdEngine);
  IsServer = (ParamCount() == 0 && GetEnvVar("SERVER_SOFTWARE").empty()) ||
             ParamStr(1) == "START_SERVER";
  if (!TCGIStdEngine::IsActive()) return;
  if (!IsServer) {
    cgiState.OutputStream = std::make_unique<TCgiOutput>(TFile::StandardOutput());
    cgiState.InputStream = std::make_unique<TFile>(TFile::StandardInput());
  }
}

void CgiSEngEnd() {
  if (cgiState.OutputStream) cgiState.OutputStream->Flush();
}

}  // namespace pithorama
