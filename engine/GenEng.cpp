#include "pithorama/engine/GenEng.h"

#include "pithorama/platform/Environment.h"
#include "pithorama/platform/Module.h"

namespace pithorama {

namespace {

// Runs `call` on the calling thread's engine, or answers `fallback`.
template <class Result, class Call>
Result Forward(Call call, Result fallback = Result()) {
  THttpEngine* engine = CurrentEngine();
  return engine != nullptr ? call(*engine) : fallback;
}

}  // namespace

void ApplyGatewaySettings(THttpEngine& engine, const TGatewaySettings& settings) {
  engine.NoCache = settings.NoCache;
  engine.TempDir = settings.TempDir;
  engine.SessionName = settings.SessionName;
  engine.AutoReadLimit = settings.AutoReadLimit;
  engine.AutoReadInput = settings.AutoReadInput;
  engine.AutoContentType = settings.AutoContentType;
  engine.AutoHttpHeader = settings.AutoHttpHeader;
  engine.OnRequestError = settings.OnRequestError;
  engine.OnLastExecRequest = settings.OnLastExecRequest;
  engine.OnExecRequest = settings.OnExecRequest;
  engine.OnFirstExecRequest = settings.OnFirstExecRequest;
}

TGeneralHttpEngine::TGeneralHttpEngine(TComponent* owner) : TGeneralHttpComponent(owner) {}

THttpEngine* TGeneralHttpEngine::CreateGateway(const TGatewayRecord& gateway,
                                               const TStartFacts& start) {
  TGatewaySettings settings = settings_;
  settings.Facade = this;
  settings.ForceServer = start.NoServerStart;
  settings.CGIMode = CGIMode;
  settings.AutoTerminate = CgiAutoTerminate;
  THttpEngine* engine = gateway.Create(Owner(), settings);
  engines_.emplace_back(gateway.Name, engine);
  return engine;
}

THttpEngine* TGeneralHttpEngine::GatewayEngine(std::string_view name) const {
  for (const auto& [gateway, engine] : engines_)
    if (gateway == name) return engine;
  return nullptr;
}

// The selection: every registered gateway, in its order, is asked whether
// this start is its own, and makes its engine when it is. A CGI engine serves
// its request inside its constructor, so a later gateway sees whether an
// earlier one made itself current.
void TGeneralHttpEngine::FormLoaded() {
  TGeneralHttpComponent::FormLoaded();
  if (Application != nullptr) Application->ShowMainForm = false;
  if (auto* form = dynamic_cast<TForm*>(Owner())) {
    form->WindowState = TWindowState::wsMinimized;
    form->Hide();
  }
  if (Designing()) return;
  const TStartFacts start = ReadStartFacts();
  for (const TGatewayRecord& gateway : RegisteredGateways())
    if (gateway.Claims(start, CurrentEngine() != nullptr)) CreateGateway(gateway, start);
  // A start that no gateway of this build serves would otherwise wait in the
  // message loop for a request that never comes.
  if (!start.Library && engines_.empty() && CurrentEngine() == nullptr) {
    WriteErrorLog("No gateway of this program serves this start");
    TerminateProgram();
  }
}

// ---- setters ---------------------------------------------------------------------

void TGeneralHttpEngine::SetAutoHttpHeader(bool value) {
  settings_.AutoHttpHeader = value;
  if (THttpEngine* engine = CurrentEngine()) engine->AutoHttpHeader = value;
}
void TGeneralHttpEngine::SetAutoContentType(const std::string& value) {
  settings_.AutoContentType = value;
  if (THttpEngine* engine = CurrentEngine()) engine->AutoContentType = value;
}
void TGeneralHttpEngine::SetAutoReadInput(bool value) {
  settings_.AutoReadInput = value;
  if (THttpEngine* engine = CurrentEngine()) engine->AutoReadInput = value;
}
void TGeneralHttpEngine::SetAutoReadLimit(int32_t value) {
  settings_.AutoReadLimit = value;
  if (THttpEngine* engine = CurrentEngine()) engine->AutoReadLimit = value;
}
void TGeneralHttpEngine::SetTempDir(const std::string& value) {
  settings_.TempDir = value;
  if (THttpEngine* engine = CurrentEngine()) engine->TempDir = value;
}
void TGeneralHttpEngine::SetSessionName(const std::string& value) {
  settings_.SessionName = value;
  if (THttpEngine* engine = CurrentEngine()) engine->SessionName = value;
}
void TGeneralHttpEngine::SetNoCache(bool value) {
  settings_.NoCache = value;
  if (THttpEngine* engine = CurrentEngine()) engine->NoCache = value;
}
void TGeneralHttpEngine::SetOnExecRequest(TExecRequestEvent handler) {
  settings_.OnExecRequest = handler;
  if (THttpEngine* engine = CurrentEngine()) engine->OnExecRequest = std::move(handler);
}
void TGeneralHttpEngine::SetOnFirstExecRequest(TFirstExecRequestEvent handler) {
  settings_.OnFirstExecRequest = handler;
  if (THttpEngine* engine = CurrentEngine()) engine->OnFirstExecRequest = std::move(handler);
}
void TGeneralHttpEngine::SetOnLastExecRequest(TLastExecRequestEvent handler) {
  settings_.OnLastExecRequest = handler;
  if (THttpEngine* engine = CurrentEngine()) engine->OnLastExecRequest = std::move(handler);
}
void TGeneralHttpEngine::SetOnRequestError(TRequestErrorEvent handler) {
  settings_.OnRequestError = handler;
  if (THttpEngine* engine = CurrentEngine()) engine->OnRequestError = std::move(handler);
}

// ---- forwards --------------------------------------------------------------------

#define PITHORAMA_FORWARD_TEXT(Name)                                      \
  std::string TGeneralHttpEngine::Name() {                                \
    return Forward<std::string>([](THttpEngine& e) { return e.Name(); }); \
  }
PITHORAMA_FORWARD_TEXT(GetServerName)
PITHORAMA_FORWARD_TEXT(GetServerSoftware)
PITHORAMA_FORWARD_TEXT(GetGatewayInterface)
PITHORAMA_FORWARD_TEXT(GetServerProtocol)
PITHORAMA_FORWARD_TEXT(GetServerPort)
PITHORAMA_FORWARD_TEXT(GetRequestMethod)
PITHORAMA_FORWARD_TEXT(GetPathInfo)
PITHORAMA_FORWARD_TEXT(GetPathTranslated)
PITHORAMA_FORWARD_TEXT(GetScriptName)
PITHORAMA_FORWARD_TEXT(GetRemoteHost)
PITHORAMA_FORWARD_TEXT(GetRemoteAddr)
PITHORAMA_FORWARD_TEXT(GetAuthType)
PITHORAMA_FORWARD_TEXT(GetRemoteIdent)
PITHORAMA_FORWARD_TEXT(GetContentType)
PITHORAMA_FORWARD_TEXT(GetUrl)
PITHORAMA_FORWARD_TEXT(GetUserAgent)
PITHORAMA_FORWARD_TEXT(GetCookie)
PITHORAMA_FORWARD_TEXT(GetReferer)
PITHORAMA_FORWARD_TEXT(GetExecutablePath)
#undef PITHORAMA_FORWARD_TEXT

bool TGeneralHttpEngine::IsServerPortSecure() {
  return Forward<bool>([](THttpEngine& e) { return e.IsServerPortSecure(); });
}

std::string TGeneralHttpEngine::GetQueryString() {
  std::string value = Forward<std::string>([](THttpEngine& e) { return e.GetQueryString(); });
  return value == NotAvailable ? std::string() : value;
}

// Asks the variable look-up in this mixed case instead of the engine's getter.
std::string TGeneralHttpEngine::GetRemoteUser() {
  return Forward<std::string>([](THttpEngine& e) { return e.GetVariable("Remote User"); });
}

int32_t TGeneralHttpEngine::GetContentLength() {
  try {
    return Forward<int32_t>([](THttpEngine& e) { return e.GetContentLength(); });
  } catch (const std::exception&) {
    return 0;
  }
}

void TGeneralHttpEngine::Write(std::string_view text) {
  if (THttpEngine* engine = CurrentEngine()) engine->Write(text);
}
void TGeneralHttpEngine::WriteBuffer(const void* data, size_t count) {
  if (THttpEngine* engine = CurrentEngine()) engine->WriteBuffer(data, count);
}
void TGeneralHttpEngine::AddHeader(std::string_view name, std::string_view value) {
  if (THttpEngine* engine = CurrentEngine()) engine->AddHeader(name, value);
}
int64_t TGeneralHttpEngine::ReadBuffer(void* buffer, size_t count) {
  return Forward<int64_t>([&](THttpEngine& e) { return e.ReadBuffer(buffer, count); });
}
void TGeneralHttpEngine::EndHeaders() {
  if (THttpEngine* engine = CurrentEngine()) engine->EndHeaders();
}
std::string TGeneralHttpEngine::GetVariable(std::string_view name) {
  return Forward<std::string>([&](THttpEngine& e) { return e.GetVariable(name); });
}
std::string TGeneralHttpEngine::GetField(std::string_view name, std::string_view defaultValue) {
  return Forward<std::string>([&](THttpEngine& e) { return e.GetField(name, defaultValue); });
}
TStringList TGeneralHttpEngine::GetFieldNames() {
  return Forward<TStringList>([](THttpEngine& e) { return e.GetFieldNames(); });
}
TLock* TGeneralHttpEngine::CreateLock() {
  return Forward<TLock*>([](THttpEngine& e) { return e.CreateLock(); }, nullptr);
}
void TGeneralHttpEngine::EnterLock(TLock* lock) {
  if (THttpEngine* engine = CurrentEngine()) engine->EnterLock(lock);
}
void TGeneralHttpEngine::LeaveLock(TLock* lock) {
  if (THttpEngine* engine = CurrentEngine()) engine->LeaveLock(lock);
}
void TGeneralHttpEngine::DestroyLock(TLock* lock) {
  if (THttpEngine* engine = CurrentEngine()) engine->DestroyLock(lock);
}

TStringList TGeneralHttpEngine::GetFieldValues(std::string_view name) {
  return Forward<TStringList>([&](THttpEngine& e) { return e.GetFieldValues(name); });
}
bool TGeneralHttpEngine::SetStatus(int32_t code, std::string_view reason) {
  return Forward<bool>([&](THttpEngine& e) { return e.SetStatus(code, reason); });
}
bool TGeneralHttpEngine::Redirect(std::string_view url, int32_t code) {
  return Forward<bool>([&](THttpEngine& e) { return e.Redirect(url, code); });
}

}  // namespace pithorama
