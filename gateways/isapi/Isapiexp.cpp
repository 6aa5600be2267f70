#include "pithorama/gateways/isapi/Isapiexp.h"

#include <cstring>

#include "pithorama/gateways/isapi/IsapiEng.h"

using namespace pithorama;
using namespace pithorama::isapi;

namespace {

constexpr const char* kNoEngine = "No ISAPI engine in this library";

// Last guard of an entry point: whatever escapes becomes a log line.
template <class Result, class Work>
Result Guarded(Result onFailure, Work work) {
  try {
    EnsureLibraryStarted();
    return work();
  } catch (const std::exception& error) {
    WriteErrorLog(error.what());
  } catch (...) {
    WriteErrorLog("Unknown exception");
  }
  return onFailure;
}

// The version calls refuse loading when the library has no engine.
template <class Record, class Call>
BOOL VersionCall(Record* record, Call call) {
  return Guarded<BOOL>(0, [&]() -> BOOL {
    TISAPIEngine* engine = ActiveISAPIEngine();
    if (engine == nullptr || record == nullptr) {
      WriteErrorLog(kNoEngine);
      return 0;
    }
    return call(*engine, *record) ? 1 : 0;
  });
}

}  // namespace

extern "C" {

BOOL PITHORAMA_ISAPI_CALL GetExtensionVersion(THSE_VERSION_INFO* pVer) {
  return VersionCall(pVer, [](TISAPIEngine& engine, THSE_VERSION_INFO& version) {
    return engine.GetExtensionVersion(version);
  });
}

DWORD PITHORAMA_ISAPI_CALL HttpExtensionProc(TEXTENSION_CONTROL_BLOCK* pECB) {
  return Guarded<DWORD>(HSE_STATUS_ERROR, [pECB]() -> DWORD {
    if (pECB == nullptr) return HSE_STATUS_ERROR;
    TISAPIEngine* engine = ActiveISAPIEngine();
    if (engine == nullptr) {
      std::strncpy(pECB->lpszLogData, kNoEngine, HSE_LOG_BUFFER_LEN - 1);
      pECB->lpszLogData[HSE_LOG_BUFFER_LEN - 1] = '\0';
      return HSE_STATUS_ERROR;
    }
    return engine->HttpExtensionProc(*pECB);
  });
}

BOOL PITHORAMA_ISAPI_CALL GetFilterVersion(THTTP_FILTER_VERSION* pVer) {
  return VersionCall(pVer, [](TISAPIEngine& engine, THTTP_FILTER_VERSION& version) {
    return engine.GetFilterVersion(version);
  });
}

DWORD PITHORAMA_ISAPI_CALL HttpFilterProc(THTTP_FILTER_CONTEXT* pfc, DWORD NotificationType,
                                          void* pvNotification) {
  return Guarded<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION, [=]() -> DWORD {
    TISAPIEngine* engine = ActiveISAPIEngine();
    if (engine == nullptr || pfc == nullptr) return SF_STATUS_REQ_NEXT_NOTIFICATION;
    return engine->HttpFilterProc(*pfc, NotificationType, pvNotification);
  });
}

// Answers 0. To an advisory unload 0 means "stay loaded", so the library
// stays whole and goes on serving; only a mandatory unload (or the unload
// itself) fires the last-request event and ends the library.
BOOL PITHORAMA_ISAPI_CALL TerminateExtension(DWORD flags) {
  return Guarded<BOOL>(0, [flags]() -> BOOL {
    if (flags == HSE_TERM_ADVISORY_UNLOAD) return 0;
    if (TISAPIEngine* engine = ActiveISAPIEngine()) engine->TerminateExtension();
    EndLibrary();
    return 0;
  });
}
}
