// The Windows CGI gateway. The web server starts the program with one
// argument, the name of a profile file; the profile holds the request
// variables, the request headers and the decoded form fields, names a content
// file with the raw body, and names the output file into which the program
// writes its whole answer: header lines (no status line) and body. In
// NormalMode the engine serves the request inside its constructor and ends the
// program. In the server modes the request goes to a resident copy of the
// program through the queue (CgiQueue.h): the client queues its profile's name
// and waits, the server serves the profile and writes the output file.
#pragma once

#include <memory>
#include <string>

#include "pithorama/engine/GenEng.h"
#include "pithorama/engine/HttpEng.h"
#include "pithorama/gateways/cgi/CgiOutput.h"
#include "pithorama/gateways/resident/CgiServer.h"
#include "pithorama/gateways/wincgi/CgiIniFile.h"
#include "pithorama/platform/Files.h"
#include "pithorama/platform/Paths.h"

namespace pithorama {

class TCGIWinEngine : public THttpEngine {
 public:
  TCGIWinEngine(TComponent* owner, const TGatewaySettings& settings);

  bool AutoTerminate = true;

  void ExecRequest() override;
  void FinishRequest() override;
  int32_t GetContentLength() override;
  std::string GetCookie() override;  // the not-available marker without a cookie
  TObject* GetRequestThread() override;
  void Write(std::string_view text) override;
  void WriteBuffer(const void* data, size_t count) override;
  int64_t ReadBuffer(void* buffer, size_t count) override;
  void AddHeader(std::string_view name, std::string_view value) override;
  std::string GetVariable(std::string_view name) override;
  std::string GetField(std::string_view name, std::string_view defaultValue) override;
  TStringList GetFieldNames() override;
  TStringList GetFieldValues(std::string_view name) override;
  bool IsActiveGateway() override;

  // A form field of the profile's form sections, or the not-available marker.
  std::string GetFormValue(std::string_view name);
  // Serves the request of one profile file: in NormalMode the request of this
  // process; in the resident server the taken profile `name`; in any other
  // client the request is handed to a server started for it.
  void HandleRequestFile(const std::string& name);

 private:
  // Runs the request of this process and ends it (AutoTerminate).
  void ServeInProcess();
  // Server side: one request taken from the queue.
  void ServeQueued(const std::string& name);
  void OpenOutputFile();
  void ReadContentFile(const std::string& name);
  void FireEvents();

  bool ForceServer = false;
  bool FirstRequest = true;
  std::unique_ptr<TResidentServer> ServerTimer;  // the resident server's polling, server only
};

// Per-thread state of the gateway. Everything but ProfileFileName lives for
// one request and is released when it finishes.
struct TWinCgiThreadState {
  std::string ProfileFileName;
  std::unique_ptr<TCGIIniFile> ProfileFile;
  std::string OutputFileName;
  std::unique_ptr<TCgiOutput> OutputStream;
  std::unique_ptr<TFile> ContentStream;
  std::string RequestContent;  // fields decoded from the content file
};
TWinCgiThreadState& WinCgiThreadState();

// The name made absolute the way the gateway reads the names of the profile: a
// name without ":\" gets the system drive in front. Where paths have no drive
// letters the name stays as it is.
std::string MakeAbsolutePath(std::string_view name, const PathStyle& style = HostPathStyle());

// The engine of this process, and whether this start is a Windows CGI start
// (decided by the module start step).
extern TCGIWinEngine* ActiveWinCGIEngine;
extern bool WinCGIStart;

// The queue of the Windows CGI gateway's resident server.
TServerQueue& WinServerQueue();

// The Windows CGI gateway's record in the gateway selection.
TGatewayRecord WindowsCgiGateway();

// Module steps: decide WinCGIStart, the profile file and whether this process
// is the resident server, register the gateway with the facade; then the
// server makes its queue and a client whose server runs hands its request
// over (and ends there). At the end, what is left of the answer goes to the
// output file.
void CgiWEngStart();
void CgiWEngEnd();

}  // namespace pithorama
