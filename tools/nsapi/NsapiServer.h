// The stand-in NSAPI server library: the twenty server functions that a
// library built on the NSAPI gateway binds by name, over parameter blocks kept
// as hash tables, critical sections over mutexes, and connections that the
// host attaches.
//
// A connection's socket is a number that names one of the host's
// connections: the server functions read the request body and write the answer
// through it, and http_start_response hands the status and the response header
// block to it. The host process keeps its connections and lets the library
// find them through nsapi_host_find, which the host exports (it is linked with
// its symbols exported). Any copy of this library that a gateway loads thus
// reaches the host's connections, as a real server's function library reaches
// the server's. NsapiCall.h is the host's side.
#pragma once

#include "pithorama/gateways/nsapi/NsapiRecords.h"

extern "C" {

typedef struct {
  void* context;
  // Up to size body bytes into buffer: the count, 0 at the end, -1 on a failure.
  int (*read)(void* context, unsigned char* buffer, int size);
  // All of the bytes, answering size, or -1 when the client is gone.
  int (*write)(void* context, const char* data, int size);
  // The status ("200 OK") and the response headers, once per request.
  int (*start_response)(void* context, const char* status, pblock* headers);
} nsapi_host_connection;

// Provided by the host process: copies the connection of that socket into
// *found and answers 1, or answers 0 for a socket it does not know.
int nsapi_host_find(SYS_NETFD sd, nsapi_host_connection* found);

// Calls visit for every entry of the block.
void nsapi_host_each_param(pblock* pb, void (*visit)(void* context, const pb_param* pp),
                           void* context);

// The twenty server functions.
pb_param* param_create(const char* name, const char* value);
int param_free(pb_param* pp);
pblock* pblock_create(int n);
void pblock_free(pblock* pb);
pb_param* _pblock_fr(const char* name, pblock* pb, int remove);
char* pblock_findval(const char* name, pblock* pb);
pb_param* pblock_nvinsert(const char* name, const char* value, pblock* pb);
pb_param* pblock_nninsert(const char* name, int value, pblock* pb);
void pblock_pinsert(pb_param* pp, pblock* pb);
char* pblock_pblock2str(pblock* pb, char* str);
int pblock_str2pblock(const char* str, pblock* pb);
int request_header(const char* name, char** value, Session* sn, Request* rq);
void http_status(Session* sn, Request* rq, int n, const char* reason);
int http_start_response(Session* sn, Request* rq);
int net_write(SYS_NETFD sd, const char* buf, int sz);
int netbuf_next(netbuf* buf, int advance);
CRITICAL crit_init(void);
void crit_enter(CRITICAL id);
void crit_exit(CRITICAL id);
void crit_terminate(CRITICAL id);

}  // extern "C"
