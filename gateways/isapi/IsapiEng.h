// The ISAPI gateway: the engine behind the five entry points that a web server
// calls in a library built from the program's sources. Each extension call is
// one request, served by the request cycle on the server's calling thread;
// the request's variables and body come from the server's extension control
// block and the answer goes back through its callbacks. As a filter, the
// engine reads the raw request data and fires an event per notification.
//
// Threads: the server calls from many threads at once. Everything of one call
// lives in the calling thread's state (TIsapiThreadState); the engine object
// and its events are shared and only read.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>

#include "pithorama/engine/FormFields.h"
#include "pithorama/engine/GenEng.h"
#include "pithorama/engine/HttpEng.h"
#include "pithorama/gateways/isapi/IsapiRecords.h"

namespace pithorama {

class TISAPIEngine : public THttpEngine {
 public:
  explicit TISAPIEngine(TComponent* owner);
  TISAPIEngine(TComponent* owner, const TGatewaySettings& settings);
  ~TISAPIEngine() override;

  THttpExtensionVersionEvent OnHttpExtensionVersion;
  THttpFilterProcEvent OnHttpFilterProc;
  THttpFilterVersionEvent OnHttpFilterVersion;

  void ExecRequest() override;
  int32_t GetContentLength() override;
  std::string GetExecutablePath() override;
  void Write(std::string_view text) override;
  void WriteBuffer(const void* data, size_t count) override;
  // Preloaded bytes first, then the server's read callback; -1 when a read
  // fails or brings nothing before `count` bytes have come.
  int64_t ReadBuffer(void* buffer, size_t count) override;
  // A header named Location (any letter case) becomes a redirect that the
  // server sends, unless the program chose a status other than 302 or chose
  // 302 and has begun its header.
  void AddHeader(std::string_view name, std::string_view value) override;
  // Never answers the not-available marker; a variable the server lacks is empty.
  std::string GetVariable(std::string_view name) override;
  std::string GetField(std::string_view name, std::string_view defaultValue) override;
  TStringList GetFieldNames() override;
  TStringList GetFieldValues(std::string_view name) override;
  // The status line, and a status the program chose in the control block
  // for the server's log.
  void WriteStatusLine() override;
  bool IsActiveGateway() override;

  // The work of the exported entry points (gateways/Isapiexp.cpp), on the
  // calling server thread. None of them lets an exception out.
  bool GetExtensionVersion(isapi::THSE_VERSION_INFO& version);
  isapi::DWORD HttpExtensionProc(isapi::TEXTENSION_CONTROL_BLOCK& block);
  bool GetFilterVersion(isapi::THTTP_FILTER_VERSION& version);
  isapi::DWORD HttpFilterProc(isapi::THTTP_FILTER_CONTEXT& context, isapi::DWORD notificationType,
                              void* notification);
  // Fires OnLastExecRequest with no sender.
  void TerminateExtension();

 private:
  void ReadInput();
  void FireFirstExecRequest();
  void ServerRedirect(std::string_view location);

  std::once_flag loaded_;
};

// The per-thread state of the gateway: it belongs to the call the thread
// serves. The control block and the filter context are the server's and are
// valid only during that call; they are cleared when the call returns.
struct TIsapiThreadState {
  isapi::TEXTENSION_CONTROL_BLOCK* ExtensionBlock = nullptr;
  isapi::THTTP_FILTER_CONTEXT* FilterContext = nullptr;
  uint32_t PreloadTaken = 0;
  uint32_t BodyRemaining = 0;
  int32_t ContentLength = 0;  // the whole body of the thread's request
  std::string RequestContent;
  // RequestContent decoded into its fields at the first look-up of the
  // request, so a handler that reads many fields does not scan the text for
  // each; reset whenever RequestContent is set anew.
  std::optional<TFormFields> RequestFields;
  std::string RawOutput;  // text written during a send-raw-data notification of the call
  uint32_t FilterNotification = 0;
  std::string CookieText;
  std::string VariableKey;  // the server's name of the variable asked for last
};
TIsapiThreadState& IsapiThreadState();

// The ISAPI engine of the process (the last one created outside design
// mode), on which the entry points work; nullptr when there is none.
TISAPIEngine* ActiveISAPIEngine();

// The executable path of a script name: a drive-letter path of the server
// ("D:\www\scripts\app.dll") gives its last two components with forward
// slashes ("/scripts/app.dll"); any other name stays as it is.
std::string IsapiExecutablePath(std::string_view scriptName);

// The ISAPI gateway's record in the gateway selection.
TGatewayRecord IsapiGateway();

// Module steps: register the gateway with the facade.
void IsapiEngStart();

}  // namespace pithorama
