#include "pithorama/gateways/isapi/IsapiEng.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

#include "pithorama/engine/HttpText.h"
#include "pithorama/gateways/isapi/IsapiRawData.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/Paths.h"
#include "pithorama/platform/Threads.h"

namespace pithorama {

using namespace isapi;

namespace {

TIsapiThreadState& IsapiState() { return ThreadLocal<TIsapiThreadState>(); }

std::atomic<TISAPIEngine*> activeEngine{nullptr};
// The first-request flag: armed when an ISAPI engine is created, spent by the
// first request of the loaded library. Engines are created while the library
// loads, before any request thread runs.
std::unique_ptr<std::once_flag> firstRequest;

// What the server's variable callback is first asked with; a longer value is
// asked for again with the size the server names, up to kMaxVariableSize.
constexpr DWORD kVariableBufferSize = 513;
constexpr DWORD kMaxVariableSize = 1024 * 1024;
constexpr DWORD kMaxReadBlock = 32386;
constexpr const char* kExtensionDescription = "Gatewright 3.0";

THttpEngine* CreateIsapiEngine(TComponent* owner, const TGatewaySettings& settings) {
  return new TISAPIEngine(owner, settings);
}

bool ClaimsLibraryStart(const TStartFacts& start, bool) { return start.Library; }

// Asks a server's variable callback; `ask` calls it with the name, a buffer
// and its size. The value is the buffer's text up to its zero byte. The first
// buffer lives on the stack: most values fit it, and a look-up then makes no
// allocation but the value's own.
template <class Ask>
std::string AskServer(std::string& key, Ask ask) {
  char first[kVariableBufferSize] = {};
  char* buffer = first;
  DWORD size = kVariableBufferSize;
  bool found = ask(key.data(), buffer, &size) != 0;
  std::string larger;
  if (!found && size > kVariableBufferSize && size <= kMaxVariableSize) {
    larger.assign(size, '\0');
    buffer = larger.data();
    found = ask(key.data(), buffer, &size) != 0;
  }
  if (!found || size == 0) return {};
  size = std::min<DWORD>(size, static_cast<DWORD>(larger.empty() ? sizeof first : larger.size()));
  return std::string(buffer, strnlen(buffer, size));
}

std::string TextOf(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

// Copies text into a fixed field of a server record, cut so that the
// terminating zero fits.
void CopyToField(std::string_view text, char* field, size_t fieldSize) {
  const size_t n = std::min(text.size(), fieldSize - 1);
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

void WriteToClient(TEXTENSION_CONTROL_BLOCK& block, const void* data, size_t count) {
  if (count == 0 || block.WriteClient == nullptr) return;
  DWORD bytes = static_cast<DWORD>(count);
  block.WriteClient(block.ConnID, const_cast<void*>(data), &bytes, HSE_IO_SYNC);
}

void WriteToFilterClient(THTTP_FILTER_CONTEXT& context, const void* data, size_t count) {
  if (count == 0 || context.WriteClient == nullptr) return;
  DWORD bytes = static_cast<DWORD>(count);
  context.WriteClient(&context, const_cast<void*>(data), &bytes, 0);
}

}  // namespace

TIsapiThreadState& IsapiThreadState() { return IsapiState(); }
TISAPIEngine* ActiveISAPIEngine() { return activeEngine.load(); }

TISAPIEngine::TISAPIEngine(TComponent* owner) : THttpEngine(owner) {
  firstRequest = std::make_unique<std::once_flag>();
  if (!Designing()) activeEngine = this;
}

TISAPIEngine::TISAPIEngine(TComponent* owner, const TGatewaySettings& settings)
    : TISAPIEngine(owner) {
  if (const TGeneralHttpEngine* facade = settings.Facade) {
    OnHttpFilterVersion = facade->OnIsapiFilterVersion;
    OnHttpFilterProc = facade->OnIsapiFilterProc;
    OnHttpExtensionVersion = facade->OnIsapiExtensionVersion;
  }
  ApplyGatewaySettings(*this, settings);
}

TISAPIEngine::~TISAPIEngine() {
  TISAPIEngine* self = this;
  activeEngine.compare_exchange_strong(self, nullptr);
}

bool TISAPIEngine::IsActiveGateway() { return IsLibrary(); }

// ---- the request -----------------------------------------------------------------

void TISAPIEngine::ExecRequest() {
  // The engine was made while its form loaded, too late for the form's own
  // loading step; the first request runs it, once, however many arrive at once.
  if (IsLibrary()) std::call_once(loaded_, [this] { FormLoaded(); });
  ReadInput();
  FireFirstExecRequest();
  if (OnExecRequest) OnExecRequest(this);
}

// Only the very first request of the loaded library fires the event; a request
// arriving meanwhile waits until it has run.
void TISAPIEngine::FireFirstExecRequest() {
  if (!firstRequest) return;
  std::exception_ptr failure;
  std::call_once(*firstRequest, [&] {
    try {
      if (OnFirstExecRequest) OnFirstExecRequest(this);
    } catch (...) {
      failure = std::current_exception();  // the flag stays spent: the event fires once
    }
  });
  if (failure) std::rethrow_exception(failure);
}

void TISAPIEngine::ReadInput() {
  TIsapiThreadState& state = IsapiState();
  TEXTENSION_CONTROL_BLOCK* block = state.ExtensionBlock;
  state.RequestContent.clear();
  state.RequestFields.reset();
  state.PreloadTaken = 0;
  if (block == nullptr) return;
  const uint32_t available = std::min(block->cbAvailable, block->cbTotalBytes);
  state.ContentLength = static_cast<int32_t>(block->cbTotalBytes);
  state.BodyRemaining = block->cbTotalBytes - available;
  const bool overLimit = static_cast<int64_t>(state.BodyRemaining) > AutoReadLimit;

  if (Contains(UpperCase(GetVariable("CONTENT_TYPE")), "MULTIPART/FORM-DATA;")) {
    if (AutoReadInput) {
      if (overLimit)
        WriteErrorLog("Content length exceeds AutoReadLimit");
      else
        state.RequestContent = ReadMultipartInput();
    }
  } else {
    // The body is text up to its first zero byte, within what the server delivered.
    if (available > 0 && block->lpbData != nullptr) {
      const char* data = reinterpret_cast<const char*>(block->lpbData);
      state.RequestContent.assign(data, strnlen(data, available));
    }
    if (overLimit) {
      WriteErrorLog("Content length exceeds AutoReadLimit");
      return;  // the query string is not added either
    }
    if (state.BodyRemaining > 0 && AutoReadInput) {
      // Read until the remainder has come: a server may deliver it in pieces.
      std::string rest(state.BodyRemaining, '\0');
      size_t got = 0;
      while (got < rest.size() && block->ReadClient != nullptr) {
        DWORD size = static_cast<DWORD>(rest.size() - got);
        if (!block->ReadClient(block->ConnID, rest.data() + got, &size) || size == 0) break;
        got += std::min<size_t>(size, rest.size() - got);
      }
      state.RequestContent.append(rest.data(), strnlen(rest.data(), got));
    }
  }
  // Decoded multipart fields already end in "&": a second one would hide
  // the first field of the query string.
  const std::string query = GetQueryString();
  std::string& content = state.RequestContent;
  if (!query.empty()) content += content.empty() || content.back() == '&' ? query : "&" + query;
}

int64_t TISAPIEngine::ReadBuffer(void* buffer, size_t count) {
  TIsapiThreadState& state = IsapiState();
  TEXTENSION_CONTROL_BLOCK* block = state.ExtensionBlock;
  if (block == nullptr) return -1;
  char* into = static_cast<char*>(buffer);
  size_t delivered = 0;
  const uint32_t available = std::min(block->cbAvailable, block->cbTotalBytes);
  if (state.PreloadTaken < available && block->lpbData != nullptr) {
    const size_t n = std::min<size_t>(count, available - state.PreloadTaken);
    std::memcpy(into, block->lpbData + state.PreloadTaken, n);
    state.PreloadTaken += static_cast<uint32_t>(n);
    delivered = n;
  }
  while (delivered < count) {
    DWORD size = static_cast<DWORD>(std::min<size_t>(count - delivered, kMaxReadBlock));
    const DWORD asked = size;
    if (block->ReadClient == nullptr ||
        !block->ReadClient(block->ConnID, into + delivered, &size) || size == 0 || size > asked)
      return -1;
    delivered += size;
  }
  return static_cast<int64_t>(delivered);
}

int32_t TISAPIEngine::GetContentLength() { return IsapiState().ContentLength; }

std::string TISAPIEngine::GetField(std::string_view name, std::string_view defaultValue) {
  std::optional<TFormFields>& fields = IsapiState().RequestFields;
  if (!fields) fields.emplace(IsapiState().RequestContent);
  return fields->Value(name, defaultValue);
}

TStringList TISAPIEngine::GetFieldNames() {
  std::optional<TFormFields>& fields = IsapiState().RequestFields;
  if (!fields) fields.emplace(IsapiState().RequestContent);
  return fields->Names();
}

TStringList TISAPIEngine::GetFieldValues(std::string_view name) {
  std::optional<TFormFields>& fields = IsapiState().RequestFields;
  if (!fields) fields.emplace(IsapiState().RequestContent);
  return fields->Values(name);
}

void TISAPIEngine::WriteStatusLine() {
  // Only a chosen status: without one the block stays as the server filled it.
  const int32_t status = RequestState().StatusCode;
  TEXTENSION_CONTROL_BLOCK* block = IsapiState().ExtensionBlock;
  if (block != nullptr && status != 0) block->dwHttpStatusCode = static_cast<DWORD>(status);
  THttpEngine::WriteStatusLine();
}

// ---- variables -------------------------------------------------------------------

std::string TISAPIEngine::GetVariable(std::string_view name) {
  TIsapiThreadState& state = IsapiState();
  std::string& key = state.VariableKey;
  AssignCgiVariableName(key, name);
  if (TEXTENSION_CONTROL_BLOCK* block = state.ExtensionBlock) {
    if (key == "QUERY_STRING") return TextOf(block->lpszQueryString);
    if (key == "PATH_INFO") return TextOf(block->lpszPathInfo);
    if (key == "PATH_TRANSLATED") return TextOf(block->lpszPathTranslated);
    if (block->GetServerVariable == nullptr) return {};
    return AskServer(key, [block](char* n, void* buffer, DWORD* size) {
      return block->GetServerVariable(block->ConnID, n, buffer, size);
    });
  }
  THTTP_FILTER_CONTEXT* context = state.FilterContext;
  if (context == nullptr || context->GetServerVariable == nullptr) return {};
  std::string value = AskServer(key, [context](char* n, void* buffer, DWORD* size) {
    return context->GetServerVariable(context, n, buffer, size);
  });
  if (state.FilterNotification == SF_NOTIFY_PREPROC_HEADERS && key == "HTTP_COOKIE" &&
      value.empty())
    value = state.CookieText;
  return value;
}

std::string IsapiExecutablePath(std::string_view scriptName) {
  const PathStyle& server = WindowsPathStyle();
  if (!server.isAbsolute(scriptName)) return std::string(scriptName);
  size_t last = scriptName.rfind(server.delimiter);
  size_t from = scriptName.rfind(server.delimiter, last - 1);
  if (from == std::string_view::npos || from < 2) from = last;  // only the drive's own delimiter
  std::string path(scriptName.substr(from));
  std::replace(path.begin(), path.end(), server.delimiter, '/');
  return path;
}

std::string TISAPIEngine::GetExecutablePath() {
  return IsapiExecutablePath(GetVariable("SCRIPT NAME"));
}

// ---- the answer --------------------------------------------------------------------

void TISAPIEngine::Write(std::string_view text) {
  TIsapiThreadState& state = IsapiState();
  if (state.ExtensionBlock != nullptr) {
    THttpEngine::Write(text);
    WriteToClient(*state.ExtensionBlock, text.data(), text.size());
  } else if (state.FilterNotification == SF_NOTIFY_SEND_RAW_DATA) {
    state.RawOutput.append(text);
  } else if (state.FilterContext != nullptr) {
    WriteToFilterClient(*state.FilterContext, text.data(), text.size());
  }
}

void TISAPIEngine::WriteBuffer(const void* data, size_t count) {
  THttpEngine::WriteBuffer(data, count);
  TIsapiThreadState& state = IsapiState();
  if (state.ExtensionBlock != nullptr)
    WriteToClient(*state.ExtensionBlock, data, count);
  else if (state.FilterContext != nullptr)
    WriteToFilterClient(*state.FilterContext, data, count);
}

void TISAPIEngine::AddHeader(std::string_view name, std::string_view value) {
  // A program that chose no status gets the server's redirect as it always
  // did; one that chose 302 gets it only while its header has not begun.
  const TRequestState& state = RequestState();
  if (UpperCase(name) == "LOCATION" &&
      (state.StatusCode == 0 || (state.StatusCode == 302 && state.HeaderStarted == 0)))
    ServerRedirect(value);
  else
    THttpEngine::AddHeader(name, value);
}

// The server sends the redirect with its own status line and header, so the
// request's header counts as sent: the request cycle adds none after it.
// Locations of any length go whole.
void TISAPIEngine::ServerRedirect(std::string_view location) {
  TEXTENSION_CONTROL_BLOCK* block = IsapiState().ExtensionBlock;
  if (block == nullptr || block->ServerSupportFunction == nullptr) {
    WriteErrorLog("Redirect outside an extension call refused: " + std::string(location));
    return;
  }
  std::string text(location);
  DWORD length = static_cast<DWORD>(text.size());
  if (!block->ServerSupportFunction(block->ConnID, HSE_REQ_SEND_URL_REDIRECT_RESP, text.data(),
                                    &length, nullptr)) {
    WriteErrorLog("The server refused the redirect to " + text);
    return;
  }
  RequestState().HeaderStarted = 1;
  RequestState().HeaderSent = 1;
}

// ---- entry points ------------------------------------------------------------------

bool TISAPIEngine::GetExtensionVersion(THSE_VERSION_INFO& version) {
  bool result = true;
  try {
    version.dwExtensionVersion = MakeVersion(1, 1);
    std::string description = kExtensionDescription;
    if (OnHttpExtensionVersion)
      OnHttpExtensionVersion(version.dwExtensionVersion, description, result);
    CopyToField(description, version.lpszExtensionDesc, HSE_MAX_EXT_DLL_NAME_LEN);
  } catch (const std::exception& error) {
    WriteErrorLog(error.what());
    return false;
  }
  return result;
}

DWORD TISAPIEngine::HttpExtensionProc(TEXTENSION_CONTROL_BLOCK& block) {
  TIsapiThreadState& state = IsapiState();
  state.ExtensionBlock = &block;
  state.FilterContext = nullptr;
  state.FilterNotification = 0;
  // The block is the server's and dies with the call.
  struct TForget {
    TIsapiThreadState& state;
    ~TForget() { state.ExtensionBlock = nullptr; }
  } forget{state};
  if (!OnExecRequest) return HSE_STATUS_SUCCESS;
  try {
    RunRequest();
    return HSE_STATUS_SUCCESS;
  } catch (const std::exception& error) {
    CopyToField(error.what(), block.lpszLogData, HSE_LOG_BUFFER_LEN);
  } catch (...) {
    CopyToField("Unknown exception", block.lpszLogData, HSE_LOG_BUFFER_LEN);
  }
  return HSE_STATUS_ERROR;
}

bool TISAPIEngine::GetFilterVersion(THTTP_FILTER_VERSION& version) {
  try {
    MakeCurrent();
    version.dwFlags = SF_NOTIFY_READ_RAW_DATA;
    version.dwFilterVersion = MakeVersion(1, 0);
    bool result = true;
    if (OnHttpFilterVersion) {
      std::string description;
      OnHttpFilterVersion(version.dwServerFilterVersion, version.dwFilterVersion, description,
                          version.dwFlags, result);
      CopyToField(description, version.lpszFilterDesc, SF_MAX_FILTER_DESC_LEN);
    }
    return result;
  } catch (const std::exception& error) {
    WriteErrorLog(error.what());
    return false;
  }
}

DWORD TISAPIEngine::HttpFilterProc(THTTP_FILTER_CONTEXT& context, DWORD notificationType,
                                   void* notification) {
  TIsapiThreadState& state = IsapiState();
  uint32_t result = SF_STATUS_REQ_NEXT_NOTIFICATION;
  MakeCurrent();
  // A filter call never works on a control block left from an earlier
  // extension call of this thread.
  state.ExtensionBlock = nullptr;
  state.FilterNotification = notificationType;
  state.FilterContext = &context;
  try {
    if (notificationType == SF_NOTIFY_SEND_RAW_DATA) state.RawOutput.clear();
    // The raw request is read for the program's filter handler only: without
    // one, nothing asks for its fields or cookies before the extension call
    // reads its own.
    if (notificationType == SF_NOTIFY_READ_RAW_DATA && notification != nullptr &&
        OnHttpFilterProc) {
      const auto* raw = static_cast<const THTTP_FILTER_RAW_DATA*>(notification);
      std::string_view data;
      if (raw->pvInData != nullptr) data = {static_cast<const char*>(raw->pvInData), raw->cbInData};
      TRawRequestScan scan = ScanRawRequest(data);
      state.RequestContent = std::move(scan.RequestContent);
      state.RequestFields.reset();
      state.CookieText = std::move(scan.CookieText);
    }
    if (OnHttpFilterProc) OnHttpFilterProc(context, notificationType, notification, result);
  } catch (const std::exception& error) {
    WriteErrorLog(error.what());
  }
  state.FilterContext = nullptr;
  state.FilterNotification = 0;
  return result;
}

void TISAPIEngine::TerminateExtension() {
  try {
    if (OnLastExecRequest) OnLastExecRequest(nullptr);
  } catch (const std::exception& error) {
    WriteErrorLog(error.what());
  }
}

// In a library the NSAPI engine comes first, then this one; the server's
// calls decide later which of the two works.
TGatewayRecord IsapiGateway() { return {"Isapi", 20, ClaimsLibraryStart, CreateIsapiEngine}; }

void IsapiEngStart() { RegisterGateway(IsapiGateway()); }

}  // namespace pithorama
