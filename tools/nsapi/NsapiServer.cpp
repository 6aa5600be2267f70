// The stand-in NSAPI server library; see NsapiServer.h. Texts of parameter
// entries are allocated with malloc, as the interface lets callers free them.
#include "tools/nsapi/NsapiServer.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "tools/nsapi/HostLookup.h"

namespace {

using nsapiserver::FindHostConnection;

char* CopyText(const char* text) {
  const size_t size = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(size));
  std::memcpy(copy, text, size);
  return copy;
}

unsigned Hash(const char* name, int hsize) {
  unsigned h = 2166136261u;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p)
    h = (h ^ *p) * 16777619u;
  return h % static_cast<unsigned>(hsize);
}

const char* ReasonOf(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 302:
      return "Found";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 500:
      return "Server Error";
    default:
      return "Unknown";
  }
}

// `name="value"` pieces, quotes and backslashes in the value escaped.
void AppendParam(std::string& out, const pb_param* pp) {
  if (!out.empty()) out += ' ';
  out.append(pp->name).append("=\"");
  for (const char* p = pp->value; *p; ++p) {
    if (*p == '"' || *p == '\\') out += '\\';
    out += *p;
  }
  out += '"';
}

}  // namespace

extern "C" {

void nsapi_host_each_param(pblock* pb, void (*visit)(void*, const pb_param*), void* context) {
  for (int i = 0; i < pb->hsize; ++i)
    for (pb_entry* e = pb->ht[i]; e != nullptr; e = e->next) visit(context, e->param);
}

pb_param* param_create(const char* name, const char* value) {
  auto* pp = static_cast<pb_param*>(std::malloc(sizeof(pb_param)));
  pp->name = CopyText(name != nullptr ? name : "");
  pp->value = CopyText(value != nullptr ? value : "");
  return pp;
}

int param_free(pb_param* pp) {
  if (pp == nullptr) return 0;
  std::free(pp->name);
  std::free(pp->value);
  std::free(pp);
  return 1;
}

pblock* pblock_create(int n) {
  auto* pb = static_cast<pblock*>(std::malloc(sizeof(pblock)));
  pb->hsize = n > 0 ? n : 1;
  pb->ht = static_cast<pb_entry**>(std::calloc(static_cast<size_t>(pb->hsize), sizeof(pb_entry*)));
  return pb;
}

void pblock_free(pblock* pb) {
  if (pb == nullptr) return;
  for (int i = 0; i < pb->hsize; ++i) {
    for (pb_entry* e = pb->ht[i]; e != nullptr;) {
      pb_entry* next = e->next;
      param_free(e->param);
      std::free(e);
      e = next;
    }
  }
  std::free(pb->ht);
  std::free(pb);
}

pb_param* _pblock_fr(const char* name, pblock* pb, int remove) {
  pb_entry** link = &pb->ht[Hash(name, pb->hsize)];
  for (; *link != nullptr; link = &(*link)->next) {
    if (std::strcmp((*link)->param->name, name) != 0) continue;
    pb_param* pp = (*link)->param;
    if (remove) {
      pb_entry* gone = *link;
      *link = gone->next;
      std::free(gone);
    }
    return pp;
  }
  return nullptr;
}

char* pblock_findval(const char* name, pblock* pb) {
  pb_param* pp = _pblock_fr(name, pb, 0);
  return pp != nullptr ? pp->value : nullptr;
}

void pblock_pinsert(pb_param* pp, pblock* pb) {
  auto* entry = static_cast<pb_entry*>(std::malloc(sizeof(pb_entry)));
  pb_entry** head = &pb->ht[Hash(pp->name, pb->hsize)];
  entry->param = pp;
  entry->next = *head;
  *head = entry;
}

pb_param* pblock_nvinsert(const char* name, const char* value, pblock* pb) {
  pb_param* pp = param_create(name, value);
  pblock_pinsert(pp, pb);
  return pp;
}

pb_param* pblock_nninsert(const char* name, int value, pblock* pb) {
  return pblock_nvinsert(name, std::to_string(value).c_str(), pb);
}

// Appends the block's entries to str (which may be null) and answers the new text.
char* pblock_pblock2str(pblock* pb, char* str) {
  std::string out = str != nullptr ? str : "";
  nsapi_host_each_param(
      pb, [](void* o, const pb_param* pp) { AppendParam(*static_cast<std::string*>(o), pp); },
      &out);
  std::free(str);
  return CopyText(out.c_str());
}

// Inserts the `name="value"` (or name=value) pieces of str; answers their
// count, or -1 for a piece without "=".
int pblock_str2pblock(const char* str, pblock* pb) {
  int count = 0;
  const char* p = str;
  while (true) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0') return count;
    const char* equals = std::strchr(p, '=');
    if (equals == nullptr) return -1;
    const std::string name(p, equals);
    std::string value;
    p = equals + 1;
    if (*p == '"') {
      for (++p; *p != '\0' && *p != '"'; ++p) {
        if (*p == '\\' && p[1] != '\0') ++p;
        value += *p;
      }
      if (*p == '"') ++p;
    } else {
      while (*p != '\0' && *p != ' ' && *p != '\t') value += *p++;
    }
    pblock_nvinsert(name.c_str(), value.c_str(), pb);
    ++count;
  }
}

// The headers were read with the request, under lower-case names.
int request_header(const char* name, char** value, Session*, Request* rq) {
  *value = pblock_findval(name, rq->headers);
  return REQ_PROCEED;
}

void http_status(Session*, Request* rq, int n, const char* reason) {
  const std::string status = std::to_string(n) + " " + (reason != nullptr ? reason : ReasonOf(n));
  param_free(_pblock_fr("status", rq->srvhdrs, 1));
  pblock_nvinsert("status", status.c_str(), rq->srvhdrs);
}

// Sends the status and the response header block once; later calls do nothing.
int http_start_response(Session* sn, Request* rq) {
  if (rq->senthdrs) return REQ_NOACTION;
  nsapi_host_connection connection;
  if (!FindHostConnection(sn->csd, connection)) return REQ_ABORTED;
  rq->senthdrs = 1;
  const char* status = pblock_findval("status", rq->srvhdrs);
  return connection.start_response(connection.context, status != nullptr ? status : "200 OK",
                                   rq->srvhdrs) < 0
             ? REQ_ABORTED
             : REQ_PROCEED;
}

int net_write(SYS_NETFD sd, const char* buf, int sz) {
  nsapi_host_connection connection;
  if (!FindHostConnection(sd, connection)) return IO_ERROR;
  return connection.write(connection.context, buf, sz) < 0 ? IO_ERROR : sz;
}

int netbuf_next(netbuf* buf, int advance) {
  nsapi_host_connection connection;
  if (!FindHostConnection(buf->sd, connection)) return IO_ERROR;
  const int got = connection.read(connection.context, buf->inbuf, buf->maxsize);
  if (got < 0) return IO_ERROR;
  if (got == 0) return IO_EOF;
  buf->pos = advance ? 1 : 0;
  buf->cursize = got;
  return buf->inbuf[0];
}

// Critical sections may be entered again by the thread that holds them.
CRITICAL crit_init(void) { return new std::recursive_mutex(); }
void crit_enter(CRITICAL id) { static_cast<std::recursive_mutex*>(id)->lock(); }
void crit_exit(CRITICAL id) { static_cast<std::recursive_mutex*>(id)->unlock(); }
void crit_terminate(CRITICAL id) { delete static_cast<std::recursive_mutex*>(id); }

}  // extern "C"
