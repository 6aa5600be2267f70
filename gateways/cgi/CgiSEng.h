// The standard CGI gateway: request variables from the process environment,
// the body from standard input, the answer (status line, header, body) to
// standard output. In NormalMode the engine serves the one request of the
// process from inside its constructor and then ends the program.
#pragma once

#include <memory>
#include <optional>

#include "pithorama/engine/FormFields.h"
#include "pithorama/engine/GenEng.h"
#include "pithorama/engine/HttpEng.h"
#include "pithorama/gateways/cgi/CgiOutput.h"
#include "pithorama/gateways/resident/CgiServer.h"

namespace pithorama {

class TCGIStdEngine : public THttpEngine {
 public:
  TCGIStdEngine(TComponent* owner, const TGatewaySettings& settings);

  bool AutoTerminate = true;

  void ExecRequest() override;
  void FinishRequest() override;
  TObject* GetRequestThread() override;
  void WriteStatusLine() override;
  void Write(std::string_view text) override;
  void WriteBuffer(const void* data, size_t count) override;
  int64_t ReadBuffer(void* buffer, size_t count) override;
  void EndHeaders() override;
  std::string GetVariable(std::string_view name) override;
  std::string GetField(std::string_view name, std::string_view defaultValue) override;
  TStringList GetFieldNames() override;
  TStringList GetFieldValues(std::string_view name) override;
  bool IsActiveGateway() override;

  // The request's content: the body, or the query string of a GET.
  std::string ReadContent();
  // Reads and drops what is left of the request's body.
  void DiscardUnreadContent();
  // Serves one request: in NormalMode the request of this process; in the
  // resident server the taken request `name`; in any other client the
  // request is handed to a server started for it.
  void HandleRequestFile(const std::string& name);
  // Server side: the request file `name` (ending in "_REQ") becomes the
  // input, its variable block the variables, and the answer goes to the
  // file of the same name ending in "_OUT".
  void OpenRequestFiles(const std::string& name);

  // True when the program was started through standard CGI.
  static bool IsActive();

 private:
  // Runs one request in this process and ends it (AutoTerminate).
  void ServeInProcess();
  bool ServeQueued(const std::string& name);
  // Sends what is left of the answer and notes whether all of it went out.
  void CloseAnswer();

  bool ForceServer = false;
  bool FirstRequest = true;
  std::unique_ptr<TResidentServer> ServerTimer;  // the resident server's polling, server only
};

// Per-thread state of the gateway. In a plain CGI process the streams wrap
// standard output and input from program start until the request finishes.
struct TCgiThreadState {
  std::string RequestFileName;
  std::unique_ptr<TCgiOutput> OutputStream;
  std::unique_ptr<TFile> InputStream;
  std::optional<TStringList> VariableList;  // only on the server side of a relayed request
  // The request's content (the body, or the query string of a GET), decoded
  // once into its fields when the request is read.
  TFormFields RequestFields;
  std::string RequestId;
  bool RequestFileWritten = false;  // a client wrote RequestFileName (it holds the body)
  // Body bytes a client read from standard input but could not write to its
  // request file (a full disk): read before the rest of standard input.
  std::string PendingBody;
  // No server took this client's request: it is served in this process.
  bool ServeHere = false;
  // Some of the answer never reached its file (the server's answer file on a
  // full disk).
  bool AnswerFailed = false;
};
TCgiThreadState& CgiThreadState();

// The engine of this process and whether it is the resident CGI server.
extern TCGIStdEngine* ActiveCGIEngine;
extern bool IsServer;

// The queue of the standard gateway's resident server, and the main thread's
// part in it.
TServerQueue& StdServerQueue();
// True when this process is to be the resident CGI server: started by hand
// (no CGI request in the environment) with no arguments or with the first
// argument "START_SERVER". A start by a web server never is.
bool IsServerStart();

// The standard gateway's record in the gateway selection.
TGatewayRecord StandardCgiGateway();

// Module steps: decide IsServer, wrap standard input and output in a plain CGI
// start and register the gateway with the facade; at the end, send what is
// left of the answer.
void CgiSEngStart();
void CgiSEngEnd();

}  // namespace pithorama
