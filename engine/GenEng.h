// The gateway selection facade: the one web component an application places
// on its form. While the form loads it finds out which server interface
// started the program, creates the matching gateway engine with its own
// settings, and afterwards forwards every request operation to the engine that
// serves the calling thread.
//
//   auto* web = new TGeneralHttpEngine(this);
//   web->SetOnExecRequest([](TObject*) { EngineWrite("<p>Hello</p>"); });
//
// Gateways make themselves known through RegisterGateway (GatewayRegistry.h)
// in their module start step, so the engine layer never names a gateway.
#pragma once

#include <utility>
#include <vector>

#include "pithorama/engine/GatewayRegistry.h"
#include "pithorama/engine/HttpEng.h"

namespace pithorama {

namespace isapi {
struct THTTP_FILTER_CONTEXT;
}

// Events of the ISAPI gateway, which alone fires them; the facade carries
// them to the engine it creates. The references are the fields of the
// server's own version records, so a handler changes what the server gets.
using THttpExtensionVersionEvent =
    std::function<void(uint32_t& RequestVersion, std::string& RequestDesc, bool& ResultValue)>;
using THttpFilterVersionEvent =
    std::function<void(uint32_t& ServerFilterVersion, uint32_t& FilterVersion,
                       std::string& FilterDesc, uint32_t& Flags, bool& ResultValue)>;
using THttpFilterProcEvent =
    std::function<void(isapi::THTTP_FILTER_CONTEXT& pfc, uint32_t NotificationType,
                       void* pvNotification, uint32_t& ResultValue)>;

// The common base of the facade; adds nothing.
class TGeneralHttpComponent : public TComponent {
 public:
  using TComponent::TComponent;
};

class TGeneralHttpEngine;

// What a gateway engine is created with: the facade's settings and events. A
// gateway reads settings of its own (the ISAPI events) from `Facade`.
struct TGatewaySettings {
  const TGeneralHttpEngine* Facade = nullptr;
  bool ForceServer = false;  // started by hand with no server: serve as the resident server
  TCGIMode CGIMode = TCGIMode::NormalMode;
  bool AutoTerminate = true;
  bool NoCache = false;
  std::string TempDir;
  std::string SessionName;
  int32_t AutoReadLimit = 10000;
  bool AutoReadInput = true;
  std::string AutoContentType = "text/html";
  bool AutoHttpHeader = true;
  TRequestErrorEvent OnRequestError;
  TLastExecRequestEvent OnLastExecRequest;
  TExecRequestEvent OnExecRequest;
  TFirstExecRequestEvent OnFirstExecRequest;
};

// Gives an engine the settings every gateway takes from the facade: NoCache,
// TempDir, SessionName, AutoReadLimit, AutoReadInput, AutoContentType,
// AutoHttpHeader and the four request events.
void ApplyGatewaySettings(THttpEngine& engine, const TGatewaySettings& settings);

class TGeneralHttpEngine : public TGeneralHttpComponent {
 public:
  explicit TGeneralHttpEngine(TComponent* owner);

  // The gateway selection.
  void FormLoaded() override;

  // Settings. A setter stores the value here and, when the calling thread has
  // a current engine, in that engine too.
  bool AutoHttpHeader() const { return settings_.AutoHttpHeader; }
  void SetAutoHttpHeader(bool value);
  const std::string& AutoContentType() const { return settings_.AutoContentType; }
  void SetAutoContentType(const std::string& value);
  bool AutoReadInput() const { return settings_.AutoReadInput; }
  void SetAutoReadInput(bool value);
  int32_t AutoReadLimit() const { return settings_.AutoReadLimit; }
  void SetAutoReadLimit(int32_t value);
  const std::string& TempDir() const { return settings_.TempDir; }
  void SetTempDir(const std::string& value);
  // Plain settings: they reach only engines created afterwards.
  TCGIMode CGIMode = TCGIMode::NormalMode;
  bool CgiAutoTerminate = true;
  const std::string& SessionName() const { return settings_.SessionName; }
  void SetSessionName(const std::string& value);
  bool NoCache() const { return settings_.NoCache; }
  void SetNoCache(bool value);
  void SetOnExecRequest(TExecRequestEvent handler);
  void SetOnFirstExecRequest(TFirstExecRequestEvent handler);
  void SetOnLastExecRequest(TLastExecRequestEvent handler);
  void SetOnRequestError(TRequestErrorEvent handler);
  // Plain settings of the ISAPI gateway: they reach only engines created afterwards.
  THttpExtensionVersionEvent OnIsapiExtensionVersion;
  THttpFilterProcEvent OnIsapiFilterProc;
  THttpFilterVersionEvent OnIsapiFilterVersion;

  // The engines created by the selection, by gateway name, in the order they
  // were made; owned by the facade's owner. None when the gateway serves no
  // part of this start.
  THttpEngine* GatewayEngine(std::string_view name) const;
  THttpEngine* CgiStdEngine() const { return GatewayEngine("CgiStd"); }
  THttpEngine* CgiWinEngine() const { return GatewayEngine("CgiWin"); }
  THttpEngine* IsapiEngine() const { return GatewayEngine("Isapi"); }
  THttpEngine* NsapiEngine() const { return GatewayEngine("Nsapi"); }

  // Forwards to CurrentEngine(); on a thread without one they answer empty,
  // 0 or false and write nothing.
  virtual std::string GetServerName();
  virtual std::string GetServerSoftware();
  virtual std::string GetGatewayInterface();
  virtual std::string GetServerProtocol();
  virtual std::string GetServerPort();
  virtual bool IsServerPortSecure();
  virtual std::string GetRequestMethod();
  virtual std::string GetPathInfo();
  virtual std::string GetPathTranslated();
  virtual std::string GetScriptName();
  virtual std::string GetQueryString();
  virtual std::string GetRemoteHost();
  virtual std::string GetRemoteAddr();
  virtual std::string GetAuthType();
  virtual std::string GetRemoteUser();
  virtual std::string GetRemoteIdent();
  virtual std::string GetContentType();
  virtual int32_t GetContentLength();  // never raises: any error gives 0
  virtual std::string GetUrl();
  virtual std::string GetUserAgent();
  virtual std::string GetCookie();
  virtual std::string GetReferer();
  virtual std::string GetExecutablePath();
  virtual void Write(std::string_view text);
  virtual void WriteBuffer(const void* data, size_t count);
  virtual void AddHeader(std::string_view name, std::string_view value);
  virtual int64_t ReadBuffer(void* buffer, size_t count);
  virtual void EndHeaders();
  virtual std::string GetVariable(std::string_view name);
  virtual std::string GetField(std::string_view name, std::string_view defaultValue);
  virtual TStringList GetFieldNames();
  virtual TLock* CreateLock();
  virtual void EnterLock(TLock* lock);
  virtual void LeaveLock(TLock* lock);
  virtual void DestroyLock(TLock* lock);

  // Forwards of the engine's later additions (see THttpEngine): every value
  // of a repeated field, the answer's status and a redirect. On a thread
  // without a current engine they answer empty or false.
  virtual TStringList GetFieldValues(std::string_view name);
  virtual bool SetStatus(int32_t code, std::string_view reason = {});
  virtual bool Redirect(std::string_view url, int32_t code = 302);

 private:
  THttpEngine* CreateGateway(const TGatewayRecord& gateway, const TStartFacts& start);

  TGatewaySettings settings_;
  std::vector<std::pair<std::string, THttpEngine*>> engines_;
};

}  // namespace pithorama
