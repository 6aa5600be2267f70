// The records, callbacks and codes of the server's published ISAPI interface
// (extensions and filters), laid out as the interface lays them out on 64-bit
// Windows: 32-bit DWORD and BOOL, 64-bit pointers, natural alignment. Both
// sides of the interface use this header: the ISAPI gateway inside a library
// and the stand-in host that loads one. The checks at the end keep every field
// where the interface puts it.
//
// The callbacks and the five exported entry points use the platform's
// standard calling convention (PITHORAMA_ISAPI_CALL): the one C convention of
// the platform on POSIX and 64-bit Windows.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define PITHORAMA_ISAPI_CALL __stdcall
#else
#define PITHORAMA_ISAPI_CALL
#endif

namespace pithorama::isapi {

using DWORD = uint32_t;
using BOOL = int32_t;
using HCONN = void*;

// ---- extensions ----------------------------------------------------------------

constexpr DWORD HSE_LOG_BUFFER_LEN = 80;
constexpr DWORD HSE_MAX_EXT_DLL_NAME_LEN = 256;

// Results of HttpExtensionProc.
constexpr DWORD HSE_STATUS_SUCCESS = 1;
constexpr DWORD HSE_STATUS_SUCCESS_AND_KEEP_CONN = 2;
constexpr DWORD HSE_STATUS_PENDING = 3;
constexpr DWORD HSE_STATUS_ERROR = 4;

// Requests of the extension's server support function.
constexpr DWORD HSE_REQ_SEND_URL_REDIRECT_RESP = 1;
constexpr DWORD HSE_REQ_SEND_URL = 2;
constexpr DWORD HSE_REQ_SEND_RESPONSE_HEADER = 3;
constexpr DWORD HSE_REQ_DONE_WITH_SESSION = 4;

// Flags of WriteClient and of TerminateExtension.
constexpr DWORD HSE_IO_SYNC = 0x1;
constexpr DWORD HSE_IO_ASYNC = 0x2;
constexpr DWORD HSE_TERM_ADVISORY_UNLOAD = 0x1;
constexpr DWORD HSE_TERM_MUST_UNLOAD = 0x2;

// A version word: major number in the high, minor number in the low 16 bits.
constexpr DWORD MakeVersion(DWORD major, DWORD minor) { return major << 16 | (minor & 0xFFFF); }

struct THSE_VERSION_INFO {
  DWORD dwExtensionVersion;
  char lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN];
};

// Server callbacks of an extension call. A variable that does not fit the
// buffer answers FALSE and the size it needs in *lpdwSize.
using TGetServerVariableProc = BOOL(PITHORAMA_ISAPI_CALL*)(HCONN hConn, char* lpszVariableName,
                                                           void* lpvBuffer, DWORD* lpdwSize);
using TWriteClientProc = BOOL(PITHORAMA_ISAPI_CALL*)(HCONN ConnID, void* Buffer, DWORD* lpdwBytes,
                                                     DWORD dwReserved);
// Reads up to *lpdwSize body bytes; *lpdwSize becomes the count read (0: no more).
using TReadClientProc = BOOL(PITHORAMA_ISAPI_CALL*)(HCONN ConnID, void* lpvBuffer, DWORD* lpdwSize);
using TServerSupportFunctionProc = BOOL(PITHORAMA_ISAPI_CALL*)(HCONN hConn, DWORD dwHSERequest,
                                                               void* lpvBuffer, DWORD* lpdwSize,
                                                               DWORD* lpdwDataType);

// One request of an extension. The server owns the record and every text it
// points at; they are valid during the HttpExtensionProc call only.
struct TEXTENSION_CONTROL_BLOCK {
  DWORD cbSize;
  DWORD dwVersion;
  HCONN ConnID;
  DWORD dwHttpStatusCode;
  char lpszLogData[HSE_LOG_BUFFER_LEN];
  char* lpszMethod;
  char* lpszQueryString;
  char* lpszPathInfo;
  char* lpszPathTranslated;
  DWORD cbTotalBytes;  // the whole body
  DWORD cbAvailable;   // the body bytes the server read ahead, at lpbData
  uint8_t* lpbData;
  char* lpszContentType;
  TGetServerVariableProc GetServerVariable;
  TWriteClientProc WriteClient;
  TReadClientProc ReadClient;
  TServerSupportFunctionProc ServerSupportFunction;
};

// ---- filters ---------------------------------------------------------------------

constexpr DWORD SF_MAX_FILTER_DESC_LEN = 256 + 1;

// Notification codes: the flags of GetFilterVersion and the type of an
// HttpFilterProc call.
constexpr DWORD SF_NOTIFY_SECURE_PORT = 0x00000001;
constexpr DWORD SF_NOTIFY_NONSECURE_PORT = 0x00000002;
constexpr DWORD SF_NOTIFY_READ_RAW_DATA = 0x00008000;
constexpr DWORD SF_NOTIFY_PREPROC_HEADERS = 0x00004000;
constexpr DWORD SF_NOTIFY_AUTHENTICATION = 0x00002000;
constexpr DWORD SF_NOTIFY_URL_MAP = 0x00001000;
constexpr DWORD SF_NOTIFY_ACCESS_DENIED = 0x00000800;
constexpr DWORD SF_NOTIFY_SEND_RAW_DATA = 0x00000400;
constexpr DWORD SF_NOTIFY_LOG = 0x00000200;
constexpr DWORD SF_NOTIFY_END_OF_NET_SESSION = 0x00000100;
constexpr DWORD SF_NOTIFY_END_OF_REQUEST = 0x00000080;
constexpr DWORD SF_NOTIFY_SEND_RESPONSE = 0x00000040;
constexpr DWORD SF_NOTIFY_ORDER_HIGH = 0x00080000;
constexpr DWORD SF_NOTIFY_ORDER_MEDIUM = 0x00040000;
constexpr DWORD SF_NOTIFY_ORDER_LOW = 0x00020000;
constexpr DWORD SF_NOTIFY_ORDER_DEFAULT = SF_NOTIFY_ORDER_LOW;

// Results of HttpFilterProc.
constexpr DWORD SF_STATUS_REQ_FINISHED = 0x08000000;
constexpr DWORD SF_STATUS_REQ_FINISHED_KEEP_CONN = 0x08000001;
constexpr DWORD SF_STATUS_REQ_NEXT_NOTIFICATION = 0x08000002;
constexpr DWORD SF_STATUS_REQ_HANDLED_NOTIFICATION = 0x08000003;
constexpr DWORD SF_STATUS_REQ_ERROR = 0x08000004;
constexpr DWORD SF_STATUS_REQ_READ_NEXT = 0x08000005;

struct THTTP_FILTER_VERSION {
  DWORD dwServerFilterVersion;
  DWORD dwFilterVersion;
  char lpszFilterDesc[SF_MAX_FILTER_DESC_LEN];
  DWORD dwFlags;
};

struct THTTP_FILTER_CONTEXT;

using TFilterGetServerVariableProc = BOOL(PITHORAMA_ISAPI_CALL*)(THTTP_FILTER_CONTEXT* pfc,
                                                                 char* lpszVariableName,
                                                                 void* lpvBuffer, DWORD* lpdwSize);
using TFilterAddResponseHeadersProc = BOOL(PITHORAMA_ISAPI_CALL*)(THTTP_FILTER_CONTEXT* pfc,
                                                                  char* lpszHeaders,
                                                                  DWORD dwReserved);
using TFilterWriteClientProc = BOOL(PITHORAMA_ISAPI_CALL*)(THTTP_FILTER_CONTEXT* pfc, void* Buffer,
                                                           DWORD* lpdwBytes, DWORD dwReserved);
using TFilterAllocMemProc = void*(PITHORAMA_ISAPI_CALL*)(THTTP_FILTER_CONTEXT* pfc, DWORD cbSize,
                                                         DWORD dwReserved);
using TFilterServerSupportFunctionProc = BOOL(PITHORAMA_ISAPI_CALL*)(THTTP_FILTER_CONTEXT* pfc,
                                                                     DWORD sfReq, void* pData,
                                                                     uintptr_t ul1, uintptr_t ul2);

// One notification of a filter; the server owns it, valid during the call.
struct THTTP_FILTER_CONTEXT {
  DWORD cbSize;
  DWORD Revision;
  void* ServerContext;
  DWORD ulReserved;
  BOOL fIsSecurePort;
  void* pFilterContext;
  TFilterGetServerVariableProc GetServerVariable;
  TFilterAddResponseHeadersProc AddResponseHeaders;
  TFilterWriteClientProc WriteClient;
  TFilterAllocMemProc AllocMem;
  TFilterServerSupportFunctionProc ServerSupportFunction;
};

// The data of a raw-data notification: cbInData bytes at pvInData, in a
// buffer of cbInBuffer bytes. The bytes carry no terminating zero.
struct THTTP_FILTER_RAW_DATA {
  void* pvInData;
  DWORD cbInData;
  DWORD cbInBuffer;
  DWORD dwReserved;
};

// ---- the five exported entry points --------------------------------------------

using TGetExtensionVersionProc = BOOL(PITHORAMA_ISAPI_CALL*)(THSE_VERSION_INFO* pVer);
using THttpExtensionProcProc = DWORD(PITHORAMA_ISAPI_CALL*)(TEXTENSION_CONTROL_BLOCK* pECB);
using TGetFilterVersionProc = BOOL(PITHORAMA_ISAPI_CALL*)(THTTP_FILTER_VERSION* pVer);
using THttpFilterProcProc = DWORD(PITHORAMA_ISAPI_CALL*)(THTTP_FILTER_CONTEXT* pfc,
                                                         DWORD NotificationType,
                                                         void* pvNotification);
using TTerminateExtensionProc = BOOL(PITHORAMA_ISAPI_CALL*)(DWORD dwFlags);

// ---- the layout, checked ----------------------------------------------------------

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(sizeof(THSE_VERSION_INFO) == 260);
static_assert(offsetof(THSE_VERSION_INFO, lpszExtensionDesc) == 4);

static_assert(offsetof(TEXTENSION_CONTROL_BLOCK, dwVersion) == 4);
static_assert(offsetof(TEXTENSION_CONTROL_BLOCK, ConnID) == 8);
static_assert(offsetof(TEXTENSION_CONTROL_BLOCK, dwHttpStatusCode) == 16);
static_assert(offsetof(TEXTENSION_CONTROL_BLOCK, lpszLogData) == 20);
static_assert(offsetof(TEXTENSION_CONTROL_BLOCK, lpszMethod) == 104);
static_assert(offsetof(TEXTENSION_CONTROL_BLOCK, lpszQueryString) == 112);
static_assert(offsetof(TEXTENSION_CONTROL_BLOCK, lpszPathInfo) == 120);
static_assert(offsetof(TEXTENSION_CONTROL_BLOCK, lpszPathTranslated) == 128);
static_assert(offsetof(TEXTENSION_CONTROL_BLOCK, cbTotalBytes) == 136);
static_assert(offsetof(TEXTENSION_CONTROL_BLOCK, cbAvailable) == 140);
static_assert(offsetof(TEXTENSION_CONTROL_BLOCK, lpbData) == 144);
static_assert(offsetof(TEXTENSION_CONTROL_BLOCK, lpszContentType) == 152);
static_assert(offsetof(TEXTENSION_CONTROL_BLOCK, GetServerVariable) == 160);
static_assert(offsetof(TEXTENSION_CONTROL_BLOCK, WriteClient) == 168);
static_assert(offsetof(TEXTENSION_CONTROL_BLOCK, ReadClient) == 176);
static_assert(offsetof(TEXTENSION_CONTROL_BLOCK, ServerSupportFunction) == 184);
static_assert(sizeof(TEXTENSION_CONTROL_BLOCK) == 192);

static_assert(offsetof(THTTP_FILTER_VERSION, dwFilterVersion) == 4);
static_assert(offsetof(THTTP_FILTER_VERSION, lpszFilterDesc) == 8);
static_assert(offsetof(THTTP_FILTER_VERSION, dwFlags) == 268);
static_assert(sizeof(THTTP_FILTER_VERSION) == 272);

static_assert(offsetof(THTTP_FILTER_CONTEXT, Revision) == 4);
static_assert(offsetof(THTTP_FILTER_CONTEXT, ServerContext) == 8);
static_assert(offsetof(THTTP_FILTER_CONTEXT, ulReserved) == 16);
static_assert(offsetof(THTTP_FILTER_CONTEXT, fIsSecurePort) == 20);
static_assert(offsetof(THTTP_FILTER_CONTEXT, pFilterContext) == 24);
static_assert(offsetof(THTTP_FILTER_CONTEXT, GetServerVariable) == 32);
static_assert(offsetof(THTTP_FILTER_CONTEXT, AddResponseHeaders) == 40);
static_assert(offsetof(THTTP_FILTER_CONTEXT, WriteClient) == 48);
static_assert(offsetof(THTTP_FILTER_CONTEXT, AllocMem) == 56);
static_assert(offsetof(THTTP_FILTER_CONTEXT, ServerSupportFunction) == 64);
static_assert(sizeof(THTTP_FILTER_CONTEXT) == 72);

static_assert(offsetof(THTTP_FILTER_RAW_DATA, cbInData) == 8);
static_assert(offsetof(THTTP_FILTER_RAW_DATA, cbInBuffer) == 12);
static_assert(offsetof(THTTP_FILTER_RAW_DATA, dwReserved) == 16);
static_assert(sizeof(THTTP_FILTER_RAW_DATA) == 24);
#endif

}  // namespace pithorama::isapi
