// The request engine: one model of a request whatever server interface started
// the program. A gateway derives from THttpEngine, implements the variable and
// field look-ups and the byte transport, and calls RunRequest once per request
// on the thread that serves it. The application sees the events.
//
// Every operation works on the request state of the calling thread, so one
// engine can serve requests on several threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "pithorama/engine/ErrorLog.h"
#include "pithorama/engine/HttpText.h"
#include "pithorama/platform/Component.h"
#include "pithorama/platform/DateTime.h"
#include "pithorama/platform/Errors.h"
#include "pithorama/platform/Strings.h"
#include "pithorama/platform/Threads.h"

namespace pithorama {

class THttpEngine;
class THttpCookie;

enum class TCGIMode : uint8_t { NormalMode = 0, ServerMode = 1, ServerThreadMode = 2 };

using TExecRequestEvent = std::function<void(TObject* Sender)>;
using TFirstExecRequestEvent = std::function<void(TObject* Sender)>;
using TLastExecRequestEvent = std::function<void(TObject* Sender)>;
// ErrorReason lives only for the call.
using TRequestErrorEvent = std::function<void(TObject* Sender, const Exception& ErrorReason)>;

enum class TPictureKind : uint8_t { None = 0, Jpeg = 1, Gif = 2 };

// The request state of one thread. Between requests only CurrentEngine keeps
// a meaning; RunRequest resets the rest.
struct TRequestState {
  THttpEngine* CurrentEngine = nullptr;
  std::unique_ptr<TStringList> TempFiles;  // temporary upload files, deleted by FinishRequest
  int32_t HeaderSent = 0;
  int32_t HeaderStarted = 0;
  int32_t RequestNumber = 0;  // 0 to 999, names the request in the error log
  TPictureKind PictureKind = TPictureKind::None;
  THttpCookie* SessionCookie = nullptr;  // freed at the end of the request
  std::unique_ptr<TStringList> SessionLines;
  std::string SessionFile;
  TDateTime SessionFileDate = 0;
  int32_t StatusCode = 0;    // the answer's status chosen by SetStatus; 0: the default 200
  std::string StatusReason;  // its reason phrase
};

// The calling thread's request state.
TRequestState& RequestState();
// The engine serving the calling thread's request, or nullptr.
THttpEngine* CurrentEngine();

class THttpEngine : public TComponent {
 public:
  explicit THttpEngine(TComponent* owner);
  ~THttpEngine() override;

  // Minimises and hides the owner form and makes the engine current when it is
  // the active gateway.
  void FormLoaded() override;

  // Published settings.
  bool AutoReadInput = true;
  int32_t AutoReadLimit = 0;
  bool AutoHttpHeader = true;
  std::string AutoContentType = "text/html";
  std::string TempDir;
  std::string SessionName;
  TRequestErrorEvent OnRequestError;
  TExecRequestEvent OnExecRequest;
  TFirstExecRequestEvent OnFirstExecRequest;
  TLastExecRequestEvent OnLastExecRequest;
  TCGIMode CGIMode = TCGIMode::NormalMode;
  bool NoCache = false;

  // The gateway reads the request input and fires the events.
  virtual void ExecRequest() = 0;
  // Deletes the temporary files of the request, then saves the session.
  virtual void FinishRequest();

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
  virtual std::string GetQueryString();  // the not-available marker reads as empty
  virtual std::string GetRemoteHost();
  virtual std::string GetRemoteAddr();
  virtual std::string GetAuthType();
  virtual std::string GetRemoteUser();
  virtual std::string GetRemoteIdent();
  virtual std::string GetContentType();
  virtual int32_t GetContentLength();  // 0 for any text that is no integer
  virtual std::string GetUrl();
  virtual std::string GetUserAgent();
  virtual std::string GetCookie();
  virtual std::string GetReferer();
  virtual std::string GetExecutablePath();
  // The worker thread serving the request, where a gateway has one.
  virtual TObject* GetRequestThread();
  virtual void WriteStatusLine();
  // The auto header runs here; the gateway's override calls this first and
  // then sends the bytes.
  virtual void Write(std::string_view text);
  virtual void WriteBuffer(const void* data, size_t count);
  // Bytes read (0: nothing more), negative on failure.
  virtual int64_t ReadBuffer(void* buffer, size_t count);
  // Writes "name:value" and CR LF. A name that is no HTTP token is refused
  // (nothing written, a line in the error log); CR and LF are left out of the
  // value, so request text cannot add header lines or a body.
  virtual void AddHeader(std::string_view name, std::string_view value);
  virtual void EndHeaders();
  // Request variables by their upper-case CGI words with blanks ("SERVER SOFTWARE").
  virtual std::string GetVariable(std::string_view name) = 0;
  virtual std::string GetField(std::string_view name, std::string_view defaultValue) = 0;
  virtual TStringList GetFieldNames() = 0;
  virtual TLock* CreateLock();
  virtual void EnterLock(TLock* lock);
  virtual void LeaveLock(TLock* lock);
  virtual void DestroyLock(TLock* lock);
  virtual bool IsActiveGateway() = 0;
  // Every value of a field that occurs several times, each whole and in order
  // (a value may hold CR LF of its own); empty when there is no such field.
  // The base splits what GetField joins; the gateways that keep the request's
  // url-encoded input answer from it directly.
  virtual TStringList GetFieldValues(std::string_view name);

  // Chooses the answer's status, e.g. SetStatus(404) or SetStatus(503, "Busy"),
  // the same way under every gateway: each writes it where its server expects
  // it (a status line, a "Status:" header line, or the server's own call). An
  // empty reason takes the usual phrase of the code. Only before the first
  // header line: false, and a line in the error log, when the header has
  // begun, for a code outside 100 to 599 or with AutoHttpHeader off.
  bool SetStatus(int32_t code, std::string_view reason = {});
  // Sends a redirect to `url` with the status `code` (300 to 399): the status,
  // a Location line and the end of the header. Text written afterwards is the
  // answer's body. Header lines of the program's own (a cookie) may come
  // between SetStatus(code) and Redirect(url, code). False, and a line in the
  // error log, when the header has begun under another status or the code is
  // no redirect.
  bool Redirect(std::string_view url, int32_t code = 302);
  // The chosen status as "404 Not Found"; "200 OK" when none was chosen.
  std::string StatusText() const;

  void WriteLine(std::string_view text);
  // The request cycle; see HttpEng.cpp.
  void RunRequest();
  void MakeCurrent();
  // The field names of url-encoded text, a repeated name listed once per run.
  static TStringList ParseFieldNames(std::string_view text);
  // Reads a multipart/form-data body through the form decoder and answers it as
  // url-encoded fields; uploads go to temporary files listed in TempFiles.
  std::string ReadMultipartInput();
  // The request's content by the rules of the standard gateway, read
  // through ReadBuffer.
  std::string ReadStandardContent();
  void PrepareSession();
  void SaveSession();

 protected:
  // The status of the answer, for a gateway's WriteStatusLine: the status
  // line itself when `statusLine`, otherwise a "Status:" header line, which
  // is written only when the program chose a status (without one the server
  // makes its own line, as it always did).
  void WriteStatus(bool statusLine);
  // "name:value" and CR LF, the value without CR and LF of its own, so that
  // request text cannot add lines; empty, and a line in the error log, when
  // the name is no HTTP token.
  std::string HeaderLine(std::string_view name, std::string_view value);

 private:
  void ServeGuarded();
  // OnRequestError, or the error log when it is not assigned.
  void ReportRequestError(const std::exception& error);
};

// Frees the application's forms and data modules, last first, and ends the
// process through the normal end. Does nothing in a library.
void TerminateProgram();

// One-line forwards to CurrentEngine(); on a thread without one they answer
// empty and write nothing.
void EngineWrite(std::string_view text);
std::string EngineGetVariable(std::string_view name);
std::string EngineGetField(std::string_view name, std::string_view defaultValue);
void EngineDestroyLock(TLock* lock);
std::string EngineGetRemoteHost();
std::string EngineGetRemoteAddr();
std::string EngineGetRemoteIdent();
std::string EngineGetReferer();

// Start and end steps of the engine module (see platform/Module.h).
void HttpEngStart();
void HttpEngEnd();

}  // namespace pithorama
