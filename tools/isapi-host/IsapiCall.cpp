#include "tools/isapi-host/IsapiCall.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <string_view>

namespace isapihost {

using namespace pithorama::isapi;

namespace {

constexpr const char* kServerSoftware = "pithorama-isapi-host/0.1";
// The body bytes one read-from-client call hands over at most, as a socket
// read would: extensions must read on until they have the whole body.
constexpr size_t kReadClientPiece = 16 * 1024;

std::string UpperAscii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return text;
}

// "User-Agent" is asked for as "HTTP_USER_AGENT".
std::string CgiHeaderName(const std::string& header) {
  std::string name = "HTTP_" + UpperAscii(header);
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

// Whether `cgiName` is the CGI name of `header`, compared in place: a look-up
// of a header variable builds no names.
bool IsCgiHeaderName(std::string_view header, std::string_view cgiName) {
  constexpr std::string_view kPrefix = "HTTP_";
  if (cgiName.size() != kPrefix.size() + header.size() ||
      cgiName.substr(0, kPrefix.size()) != kPrefix)
    return false;
  for (size_t i = 0; i < header.size(); ++i) {
    char c = header[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (c == '-') c = '_';
    if (c != cgiName[kPrefix.size() + i]) return false;
  }
  return true;
}

// Everything of one request that the callbacks reach through the connection
// handle (extension) or the server context (filter).
struct TCall {
  TCall(httphost::TRequest& request, const THostSettings& settings)
      : Request(request), Settings(settings) {}

  httphost::TRequest& Request;
  const THostSettings& Settings;
  std::string Method, Query, PathInfo, PathTranslated, ContentType;
  std::string Output;  // what the library wrote to the client
  std::optional<std::string> Location;
  bool HeadSent = false;
  httphost::TAnswer Head;  // status and header lines sent through the support function
  httphost::THeaders FilterHeaders;
  std::deque<std::string> FilterMemory;  // AllocMem blocks, freed with the request

  // The value of a server variable; one made for the question is kept in `made`.
  std::optional<std::string_view> Variable(std::string_view name, std::string& made) const;
};

std::optional<std::string_view> TCall::Variable(std::string_view name, std::string& made) const {
  const httphost::TRequest& r = Request;
  if (name == "SERVER_SOFTWARE") return kServerSoftware;
  if (name == "SERVER_NAME") {
    made = r.Header("Host");
    return made.empty() ? "127.0.0.1" : std::string_view(made).substr(0, made.rfind(':'));
  }
  if (name == "SERVER_PORT") return made = std::to_string(r.ServerPort);
  if (name == "SERVER_PORT_SECURE") return "0";
  if (name == "HTTPS") return "off";
  if (name == "SERVER_PROTOCOL") return r.Version;
  if (name == "GATEWAY_INTERFACE") return "CGI/1.1";
  if (name == "REQUEST_METHOD") return Method;
  if (name == "SCRIPT_NAME") return Settings.ScriptName;
  if (name == "PATH_INFO") return PathInfo;
  if (name == "PATH_TRANSLATED") return PathTranslated;
  if (name == "QUERY_STRING") return Query;
  if (name == "URL") return made = Settings.ScriptName + PathInfo;
  if (name == "CONTENT_TYPE") return ContentType;
  if (name == "CONTENT_LENGTH") return made = std::to_string(r.Body.size());
  if (name == "REMOTE_ADDR" || name == "REMOTE_HOST") return r.ClientAddress;
  if (name == "REMOTE_PORT") return made = std::to_string(r.ClientPort);
  if (name == "AUTH_TYPE" || name == "REMOTE_USER" || name == "LOGON_USER") return "";
  if (name == "ALL_HTTP") {
    for (const auto& [key, value] : r.Headers) made += CgiHeaderName(key) + ":" + value + "\n";
    return made;
  }
  for (const auto& [key, value] : r.Headers)
    if (IsCgiHeaderName(key, name)) return value;
  return std::nullopt;
}

// The variable callback's contract: the value with its zero byte when it
// fits, else FALSE and the size needed; FALSE and 0 for an unknown name.
BOOL AnswerVariable(const TCall& call, const char* name, void* buffer, DWORD* size) {
  if (name == nullptr || size == nullptr) return 0;
  std::string made;
  const std::optional<std::string_view> value = call.Variable(name, made);
  if (!value) {
    *size = 0;
    return 0;
  }
  const DWORD needed = static_cast<DWORD>(value->size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return 0;
  }
  std::memcpy(buffer, value->data(), value->size());
  static_cast<char*>(buffer)[value->size()] = '\0';
  *size = needed;
  return 1;
}

TCall& CallOf(HCONN connection) { return *static_cast<TCall*>(connection); }
TCall& CallOf(THTTP_FILTER_CONTEXT* context) {
  return *static_cast<TCall*>(context->ServerContext);
}

// ---- the extension's callbacks ----

BOOL PITHORAMA_ISAPI_CALL GetServerVariable(HCONN connection, char* name, void* buffer,
                                            DWORD* size) {
  return AnswerVariable(CallOf(connection), name, buffer, size);
}

BOOL PITHORAMA_ISAPI_CALL WriteClient(HCONN connection, void* buffer, DWORD* bytes, DWORD) {
  if (bytes == nullptr || (buffer == nullptr && *bytes > 0)) return 0;
  CallOf(connection).Output.append(static_cast<const char*>(buffer), *bytes);
  return 1;
}

BOOL PITHORAMA_ISAPI_CALL ReadClient(HCONN connection, void* buffer, DWORD* size) {
  if (size == nullptr || buffer == nullptr) return 0;
  *size = static_cast<DWORD>(
      CallOf(connection).Request.ReadBody(buffer, std::min<size_t>(*size, kReadClientPiece)));
  return 1;
}

std::string TextArgument(const void* buffer, const DWORD* size) {
  if (buffer == nullptr) return {};
  const char* text = static_cast<const char*>(buffer);
  return size != nullptr && *size > 0 ? std::string(text, strnlen(text, *size)) : std::string(text);
}

// "200 OK" and header lines "Name: value" CR LF, as the extension hands them over.
void TakeHead(TCall& call, const std::string& status, const std::string& headers) {
  call.HeadSent = true;
  call.Head.SetFromProgramOutput(
      "HTTP/1.1 " + (status.empty() ? "200 OK" : status) + "\r\n" + headers +
      (headers.find("\r\n\r\n") == std::string::npos && headers.find("\n\n") == std::string::npos
           ? "\r\n"
           : ""));
}

BOOL PITHORAMA_ISAPI_CALL ServerSupportFunction(HCONN connection, DWORD request, void* buffer,
                                                DWORD* size, DWORD* dataType) {
  TCall& call = CallOf(connection);
  switch (request) {
    case HSE_REQ_SEND_URL_REDIRECT_RESP:
      if (buffer == nullptr || call.Location || call.HeadSent) return 0;
      call.Location = TextArgument(buffer, size);
      return 1;
    case HSE_REQ_SEND_RESPONSE_HEADER:
      if (call.Location || call.HeadSent) return 0;
      TakeHead(call, TextArgument(buffer, nullptr),
               TextArgument(reinterpret_cast<const char*>(dataType), nullptr));
      return 1;
    default:
      return 0;
  }
}

// ---- the filter's callbacks ----

BOOL PITHORAMA_ISAPI_CALL FilterGetServerVariable(THTTP_FILTER_CONTEXT* context, char* name,
                                                  void* buffer, DWORD* size) {
  return AnswerVariable(CallOf(context), name, buffer, size);
}

BOOL PITHORAMA_ISAPI_CALL FilterAddResponseHeaders(THTTP_FILTER_CONTEXT* context, char* headers,
                                                   DWORD) {
  if (headers == nullptr) return 0;
  httphost::TAnswer parsed;
  parsed.SetFromProgramOutput(std::string(headers) + "\r\n");
  TCall& call = CallOf(context);
  call.FilterHeaders.insert(call.FilterHeaders.end(), parsed.Headers.begin(), parsed.Headers.end());
  return 1;
}

BOOL PITHORAMA_ISAPI_CALL FilterWriteClient(THTTP_FILTER_CONTEXT* context, void* buffer,
                                            DWORD* bytes, DWORD) {
  if (bytes == nullptr || (buffer == nullptr && *bytes > 0)) return 0;
  CallOf(context).Output.append(static_cast<const char*>(buffer), *bytes);
  return 1;
}

void* PITHORAMA_ISAPI_CALL FilterAllocMem(THTTP_FILTER_CONTEXT* context, DWORD size, DWORD) {
  return CallOf(context).FilterMemory.emplace_back(size, '\0').data();
}

BOOL PITHORAMA_ISAPI_CALL FilterServerSupportFunction(THTTP_FILTER_CONTEXT*, DWORD, void*,
                                                      uintptr_t, uintptr_t) {
  return 0;
}

// ---- one request ----

// The raw-data notification: the request as the client sent it. Answers
// false when the filter finished the request itself.
bool RunFilter(const TEntryPoints& library, TCall& call, httphost::TAnswer& answer) {
  if (library.HttpFilterProc == nullptr || (library.FilterFlags & SF_NOTIFY_READ_RAW_DATA) == 0)
    return true;
  std::string raw = call.Request.HeadText() + call.Request.Body;
  THTTP_FILTER_RAW_DATA data{raw.data(), static_cast<DWORD>(raw.size()),
                             static_cast<DWORD>(raw.size()), 0};
  THTTP_FILTER_CONTEXT context{};
  context.cbSize = sizeof context;
  context.Revision = MakeVersion(1, 0);
  context.ServerContext = &call;
  context.GetServerVariable = FilterGetServerVariable;
  context.AddResponseHeaders = FilterAddResponseHeaders;
  context.WriteClient = FilterWriteClient;
  context.AllocMem = FilterAllocMem;
  context.ServerSupportFunction = FilterServerSupportFunction;
  const DWORD status = library.HttpFilterProc(&context, SF_NOTIFY_READ_RAW_DATA, &data);
  if (status == SF_STATUS_REQ_FINISHED || status == SF_STATUS_REQ_FINISHED_KEEP_CONN) {
    answer.SetFromProgramOutput(call.Output);
    return false;
  }
  if (status == SF_STATUS_REQ_ERROR) {
    answer.SetStatus(500);
    answer.Write("The filter failed the request\n");
    return false;
  }
  call.Output.clear();  // a filter's output before the extension's answer is dropped
  return true;
}

void ComposeAnswer(TCall& call, DWORD status, const TEXTENSION_CONTROL_BLOCK& block,
                   httphost::TAnswer& answer) {
  if (block.lpszLogData[0] != '\0')
    std::fprintf(stderr, "isapi-host: %s %s: %.*s\n", call.Method.c_str(),
                 call.Request.Target.c_str(), static_cast<int>(HSE_LOG_BUFFER_LEN),
                 block.lpszLogData);
  if (call.Location) {
    answer.SetStatus(302);
    answer.AddHeader("Location", *call.Location);
    answer.Write(call.Output);
  } else if (call.HeadSent) {
    answer = call.Head;
    answer.Write(call.Output);
  } else if (status == HSE_STATUS_ERROR && call.Output.empty()) {
    answer.SetStatus(500);
    answer.Write("The extension failed the request\n");
  } else if (status == HSE_STATUS_PENDING) {
    answer.SetStatus(500);
    answer.Write("This host does not complete requests asynchronously\n");
  } else {
    answer.SetFromProgramOutput(call.Output);
  }
  for (auto& header : call.FilterHeaders) answer.Headers.push_back(header);
}

}  // namespace

void ServeRequest(const TEntryPoints& library, const THostSettings& settings,
                  httphost::TRequest& request, httphost::TAnswer& answer) {
  const std::string& script = settings.ScriptName;
  const std::string& path = request.Path;
  if (path.compare(0, script.size(), script) != 0 ||
      (path.size() > script.size() && path[script.size()] != '/')) {
    answer.SetStatus(404);
    answer.Write("Not found\n");
    return;
  }
  TCall call(request, settings);
  call.Method = request.Method;
  call.Query = request.QueryString;
  call.PathInfo = path.substr(script.size());
  if (!settings.Root.empty() && !call.PathInfo.empty())
    call.PathTranslated = settings.Root + call.PathInfo;
  call.ContentType = request.Header("Content-Type");
  if (!RunFilter(library, call, answer)) return;

  const DWORD preload = static_cast<DWORD>(std::min<size_t>(request.Body.size(), settings.Preload));
  request.SkipBody(preload);
  TEXTENSION_CONTROL_BLOCK block{};
  block.cbSize = sizeof block;
  block.dwVersion = MakeVersion(6, 0);
  block.ConnID = &call;
  block.dwHttpStatusCode = 200;
  block.lpszMethod = call.Method.data();
  block.lpszQueryString = call.Query.data();
  block.lpszPathInfo = call.PathInfo.data();
  block.lpszPathTranslated = call.PathTranslated.data();
  block.cbTotalBytes = static_cast<DWORD>(request.Body.size());
  block.cbAvailable = preload;
  block.lpbData = reinterpret_cast<uint8_t*>(request.Body.data());
  block.lpszContentType = call.ContentType.data();
  block.GetServerVariable = GetServerVariable;
  block.WriteClient = WriteClient;
  block.ReadClient = ReadClient;
  block.ServerSupportFunction = ServerSupportFunction;
  const DWORD status = library.HttpExtensionProc(&block);
  ComposeAnswer(call, status, block, answer);
}

}  // namespace isapihost
