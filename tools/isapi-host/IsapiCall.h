// One request of isapi-host: the server's side of the ISAPI interface for one
// HTTP request. It offers the filter its raw request data when the filter asked
// for it, then gives the extension a control block whose callbacks read the
// request's variables and body and gather the answer.
#pragma once

#include <string>

#include "pithorama/gateways/isapi/IsapiRecords.h"
#include "tools/httphost/HttpHost.h"

namespace isapihost {

// The library's entry points as the host found them (the filter's may be absent).
struct TEntryPoints {
  pithorama::isapi::THttpExtensionProcProc HttpExtensionProc = nullptr;
  pithorama::isapi::THttpFilterProcProc HttpFilterProc = nullptr;
  pithorama::isapi::DWORD FilterFlags = 0;  // 0: no filter
};

struct THostSettings {
  std::string ScriptName;        // the URL path the extension answers ("/echo.so")
  std::string Root;              // folder that PATH_INFO is mapped into; empty: no PATH_TRANSLATED
  uint32_t Preload = 48 * 1024;  // body bytes handed over with the control block
};

// Serves one request through the library; runs on the HTTP server's thread.
void ServeRequest(const TEntryPoints& library, const THostSettings& settings,
                  httphost::TRequest& request, httphost::TAnswer& answer);

}  // namespace isapihost
