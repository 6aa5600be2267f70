// The records and functions of the NSAPI server interface that this library
// uses, in the shapes of the interface's published documentation (version 2.0
// of the server's application interface). Only the leading fields of the
// server's session and request records are declared: the server allocates
// them, and this library only reads the fields named here, so the fields the
// server keeps after them do not matter.
//
// The server's functions use the C calling convention (the caller removes the
// arguments). Their names are looked up at run time; the function types below
// are the shapes they are called through.
#pragma once

#include <cstddef>

#include "pithorama/platform/ServerLibrary.h"

extern "C" {

// A connection's socket.
typedef pithorama::TServerSocket SYS_NETFD;

// An opaque critical section of the server.
typedef void* CRITICAL;

// One name/value entry of a parameter block; both texts belong to the entry.
typedef struct {
  char* name;
  char* value;
} pb_param;

struct pb_entry {
  pb_param* param;
  struct pb_entry* next;
};

// A parameter block: a hash table of name/value entries with hsize chains.
typedef struct {
  int hsize;
  struct pb_entry** ht;
} pblock;

// The connection's input buffer. Bytes inbuf[pos] up to inbuf[cursize - 1]
// are read and not yet taken; netbuf_next refills the buffer from sd. The
// published interface places the peer's address before the buffer pointers
// on Windows and after them elsewhere.
typedef struct {
  SYS_NETFD sd;
  int pos;
  int cursize;
  int maxsize;
  int rdtmout;
#ifdef _WIN32
  char address[64];
#endif
  unsigned char* inbuf;
  char* errmsg;
#ifndef _WIN32
  char address[64];
#endif
} netbuf;

// One client connection.
typedef struct {
  pblock* client;  // "ip" (the client's address), "dns" (its name when known)
  SYS_NETFD csd;   // the socket that net_write writes to
  netbuf* inbuf;   // the request body as it arrives
  int csd_open;
} Session;

// One request.
typedef struct {
  pblock* vars;     // the server's working variables of the request
  pblock* reqpb;    // request line values: "method", "uri", "protocol", "query", "clf-request"
  int loadhdrs;     // the request headers have been read into headers
  pblock* headers;  // request headers by lower-case name
  int senthdrs;     // the response header has been sent
  pblock* srvhdrs;  // the response headers, "content-type" among them
} Request;

// Results of a server application function (and of request_header and
// http_start_response).
enum {
  REQ_PROCEED = 0,
  REQ_ABORTED = -1,
  REQ_NOACTION = -2,
  REQ_EXIT = -3,
};

// Results of netbuf_next besides a byte value, and of net_write on failure.
enum {
  IO_OKAY = 1,
  IO_EOF = 0,
  IO_ERROR = -1,
};

enum { PROTOCOL_OK = 200, PROTOCOL_SERVER_ERROR = 500 };

// The server functions, by the names they are exported under.
typedef pb_param* (*param_create_fn)(const char* name, const char* value);
typedef int (*param_free_fn)(pb_param* pp);
typedef pblock* (*pblock_create_fn)(int n);
typedef void (*pblock_free_fn)(pblock* pb);
// Finds (remove 0) or unlinks and answers (remove 1) the entry of that name.
typedef pb_param* (*_pblock_fr_fn)(const char* name, pblock* pb, int remove);
typedef char* (*pblock_findval_fn)(const char* name, pblock* pb);
typedef pb_param* (*pblock_nvinsert_fn)(const char* name, const char* value, pblock* pb);
typedef pb_param* (*pblock_nninsert_fn)(const char* name, int value, pblock* pb);
typedef void (*pblock_pinsert_fn)(pb_param* pp, pblock* pb);
typedef char* (*pblock_pblock2str_fn)(pblock* pb, char* str);
typedef int (*pblock_str2pblock_fn)(const char* str, pblock* pb);
// Sets *value to the request header of that name (lower case), or to null.
typedef int (*request_header_fn)(const char* name, char** value, Session* sn, Request* rq);
typedef void (*http_status_fn)(Session* sn, Request* rq, int n, const char* reason);
typedef int (*http_start_response_fn)(Session* sn, Request* rq);
typedef int (*net_write_fn)(SYS_NETFD sd, const char* buf, int sz);
// Refills the buffer; answers its first byte (taking it when advance is
// nonzero), IO_EOF at the end of the input or IO_ERROR on a failure.
typedef int (*netbuf_next_fn)(netbuf* buf, int advance);
typedef CRITICAL (*crit_init_fn)(void);
typedef void (*crit_enter_fn)(CRITICAL id);
typedef void (*crit_exit_fn)(CRITICAL id);
typedef void (*crit_terminate_fn)(CRITICAL id);

// A server application function, as the server calls it for a request.
typedef int (*nsapi_service_fn)(pblock* pb, Session* sn, Request* rq);

}  // extern "C"

// The layouts the server builds, per system (64-bit); the engine reads the
// fields named here at these places. SYS_NETFD is a SOCKET (8 bytes) on
// Windows and a descriptor (4 bytes) elsewhere.
static_assert(sizeof(pb_param) == 16 && offsetof(pb_param, value) == 8);
static_assert(sizeof(pb_entry) == 16 && offsetof(pb_entry, next) == 8);
static_assert(sizeof(pblock) == 16 && offsetof(pblock, ht) == 8);
static_assert(sizeof(netbuf) == 104);
static_assert(offsetof(netbuf, pos) == sizeof(SYS_NETFD));
#ifdef _WIN32
static_assert(offsetof(netbuf, address) == 24);
static_assert(offsetof(netbuf, inbuf) == 88);
static_assert(offsetof(netbuf, errmsg) == 96);
static_assert(offsetof(Session, csd) == 8 && offsetof(Session, inbuf) == 16);
static_assert(offsetof(Session, csd_open) == 24);
#else
static_assert(offsetof(netbuf, inbuf) == 24);
static_assert(offsetof(netbuf, errmsg) == 32);
static_assert(offsetof(netbuf, address) == 40);
static_assert(offsetof(Session, csd) == 8 && offsetof(Session, inbuf) == 16);
static_assert(offsetof(Session, csd_open) == 24);
#endif
static_assert(offsetof(Request, reqpb) == 8 && offsetof(Request, loadhdrs) == 16);
static_assert(offsetof(Request, headers) == 24 && offsetof(Request, senthdrs) == 32);
static_assert(offsetof(Request, srvhdrs) == 40);
