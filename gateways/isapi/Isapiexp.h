// The five entry points that an ISAPI server calls in a library built from the
// program's sources; exported by their plain names. Each works on the
// library's ISAPI engine (ActiveISAPIEngine) and lets no exception out: a
// failure becomes the status the interface defines and a line in the error
// log. Without an engine (the library's forms could not be made) the version
// calls refuse loading and the request calls answer an error status.
//
// Linked into library builds only (CMake target isapi_exports).
#pragma once

#include "pithorama/gateways/isapi/IsapiRecords.h"
#include "pithorama/platform/Library.h"

extern "C" {

PITHORAMA_EXPORT pithorama::isapi::BOOL PITHORAMA_ISAPI_CALL
GetExtensionVersion(pithorama::isapi::THSE_VERSION_INFO* pVer);

PITHORAMA_EXPORT pithorama::isapi::DWORD PITHORAMA_ISAPI_CALL
HttpExtensionProc(pithorama::isapi::TEXTENSION_CONTROL_BLOCK* pECB);

PITHORAMA_EXPORT pithorama::isapi::BOOL PITHORAMA_ISAPI_CALL
GetFilterVersion(pithorama::isapi::THTTP_FILTER_VERSION* pVer);

PITHORAMA_EXPORT pithorama::isapi::DWORD PITHORAMA_ISAPI_CALL
HttpFilterProc(pithorama::isapi::THTTP_FILTER_CONTEXT* pfc,
               pithorama::isapi::DWORD NotificationType, void* pvNotification);

// Fires OnLastExecRequest, then releases the forms and modules of the
// library (EndLibrary); the server calls nothing of it afterwards. Answers 0.
PITHORAMA_EXPORT pithorama::isapi::BOOL PITHORAMA_ISAPI_CALL
TerminateExtension(pithorama::isapi::DWORD dwFlags);
}
