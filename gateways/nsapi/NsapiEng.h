// The NSAPI gateway: the engine for web servers that load the program as a
// library through the server's own application interface. The engine does not
// link against the server: at the first request it loads the server's function
// library and binds twenty server functions by name. Request variables come
// from the server's parameter blocks of the current request, the body from the
// connection's input buffer; the answer goes out through the server's network
// write, its header lines through the server's response header block.
//
// The server reaches the engine through the exported service function
// NsapiService (NsapiExp.cpp). In an executable the engine stays idle.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "pithorama/engine/FormFields.h"
#include "pithorama/engine/GenEng.h"
#include "pithorama/engine/HttpEng.h"
#include "pithorama/gateways/nsapi/NsapiRecords.h"

namespace pithorama {

// The server functions the engine calls, in the order they are looked up.
struct TNsapiServerFunctions {
  param_create_fn param_create = nullptr;
  param_free_fn param_free = nullptr;
  pblock_create_fn pblock_create = nullptr;
  pblock_free_fn pblock_free = nullptr;
  _pblock_fr_fn pblock_fr = nullptr;
  pblock_findval_fn pblock_findval = nullptr;
  pblock_nvinsert_fn pblock_nvinsert = nullptr;
  pblock_nninsert_fn pblock_nninsert = nullptr;
  pblock_pinsert_fn pblock_pinsert = nullptr;
  pblock_pblock2str_fn pblock_pblock2str = nullptr;
  pblock_str2pblock_fn pblock_str2pblock = nullptr;
  request_header_fn request_header = nullptr;
  http_status_fn http_status = nullptr;
  http_start_response_fn http_start_response = nullptr;
  net_write_fn net_write = nullptr;
  netbuf_next_fn netbuf_next = nullptr;
  crit_init_fn crit_init = nullptr;
  crit_enter_fn crit_enter = nullptr;
  crit_exit_fn crit_exit = nullptr;
  crit_terminate_fn crit_terminate = nullptr;
};

// Answers the address of the server function of that name, or nullptr.
using TNsapiSymbolLookup = std::function<void*(const char* name)>;

// Binds the twenty server functions through `lookup`. A function that is
// missing is written to the error log (naming `origin`) and leaves the server
// unbound, so that no call goes through an unbound function. Answers whether
// all twenty were found. The server library's loader and tests call it.
bool BindNsapiServer(const TNsapiSymbolLookup& lookup, std::string_view origin);

// Binds the server functions from the server's library on the first call; the
// library is the file named by the environment variable NSAPI_SERVER_LIBRARY,
// else "libnsapi-server.so" beside this library ("ns-httpd20.dll" in the
// system folder on Windows). A failure is logged once. Answers whether the
// functions are bound; in an executable nothing is loaded and it answers false.
bool EnsureNsapiBound();

// Per-thread request data of the gateway. The service function sets the three
// server records before it runs the request cycle.
struct TNsapiThreadState {
  std::string RequestContent;  // url-encoded input: the query string or the body
  // RequestContent decoded into its fields at the first look-up of the
  // request; reset whenever RequestContent is set anew.
  std::optional<TFormFields> RequestFields;
  pblock* ParameterBlock = nullptr;
  Session* ServerSession = nullptr;
  Request* ServerRequest = nullptr;
};
TNsapiThreadState& NsapiThreadState();

// A lock made of a server critical section.
class TNsapiLock : public TLock {
 public:
  explicit TNsapiLock(CRITICAL section) : Section(section) {}
  CRITICAL Section;
};

class TNSAPIEngine : public THttpEngine {
 public:
  explicit TNSAPIEngine(TComponent* owner);
  TNSAPIEngine(TComponent* owner, const TGatewaySettings& settings);
  ~TNSAPIEngine() override;

  void ExecRequest() override;
  std::string GetServerProtocol() override;
  std::string GetRequestMethod() override;
  std::string GetScriptName() override;
  std::string GetQueryString() override;
  std::string GetRemoteHost() override;
  std::string GetRemoteAddr() override;
  std::string GetContentType() override;  // of the answer being built
  int32_t GetContentLength() override;
  std::string GetUserAgent() override;
  std::string GetCookie() override;
  std::string GetReferer() override;
  std::string GetExecutablePath() override;
  void Write(std::string_view text) override;
  void WriteBuffer(const void* data, size_t count) override;
  // Body bytes from the connection's input buffer, zero bytes included; fewer
  // than `count` at the end of the input, -1 on a read error.
  int64_t ReadBuffer(void* buffer, size_t count) override;
  // Replaces the entry of that name in the response header block.
  void AddHeader(std::string_view name, std::string_view value) override;
  // Status 200, then the server sends the response header block.
  void EndHeaders() override;
  // The name as given, looked for in the request line values, the working
  // variables, the request headers, the response headers, the client block and
  // the call's parameter block, then asked of the server.
  std::string GetVariable(std::string_view name) override;
  std::string GetField(std::string_view name, std::string_view defaultValue) override;
  TStringList GetFieldNames() override;
  TStringList GetFieldValues(std::string_view name) override;
  // Server critical sections; without a bound server, the platform's locks.
  TLock* CreateLock() override;
  void EnterLock(TLock* lock) override;
  void LeaveLock(TLock* lock) override;
  void DestroyLock(TLock* lock) override;
  bool IsActiveGateway() override;

  // The NSAPI engine of this process (the last one created), or nullptr.
  static TNSAPIEngine* Instance();

 private:
  void ReadInput();
  std::string ReadUrlEncodedBody(int32_t length);
  // Takes up to `count` bytes from the connection's input buffer; stops at the
  // end of the input, at a read error (`failed`), and after a zero byte when
  // `stopAtZero`. Answers the bytes taken.
  size_t TakeInput(char* out, size_t count, bool stopAtZero, bool& failed);
  void SendBytes(const char* data, size_t count);

  // Server threads test and clear these at once.
  std::atomic<bool> FirstRequest{true};
  std::atomic<bool> Loaded{false};
};

}  // namespace pithorama
