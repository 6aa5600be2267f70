// The NSAPI gateway over the stand-in server library, with a connection over
// memory: the body comes in small pieces (failing after failAt bytes when set)
// and the answer is gathered.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "pithorama/gateways/nsapi/NsapiEng.h"
#include "tools/nsapi/NsapiCall.h"

namespace pithorama::test {

struct MemoryConnection {
  std::string body;
  size_t piece = 5;
  size_t failAt = SIZE_MAX;
  size_t position = 0;
  std::string answer;
  std::string status;
  std::vector<std::pair<std::string, std::string>> headers;
  int starts = 0;

  nsapi_host_connection Connection() { return {this, Read, Write, Start}; }

 private:
  static int Read(void* context, unsigned char* buffer, int size) {
    auto* self = static_cast<MemoryConnection*>(context);
    if (self->position >= self->failAt) return -1;
    size_t n = std::min({static_cast<size_t>(size), self->piece, self->body.size() - self->position,
                         self->failAt - self->position});
    std::memcpy(buffer, self->body.data() + self->position, n);
    self->position += n;
    return static_cast<int>(n);
  }
  static int Write(void* context, const char* data, int size) {
    static_cast<MemoryConnection*>(context)->answer.append(data, static_cast<size_t>(size));
    return size;
  }
  static int Start(void* context, const char* status, pblock* headers) {
    auto* self = static_cast<MemoryConnection*>(context);
    ++self->starts;
    self->status = status;
    nsapi_host_each_param(
        headers,
        [](void* to, const pb_param* pp) {
          auto* list = static_cast<std::vector<std::pair<std::string, std::string>>*>(to);
          list->emplace_back(pp->name, pp->value);
        },
        &self->headers);
    return 0;
  }
};

// The stand-in server's twenty functions by name.
inline std::map<std::string, void*> ServerTable() {
  auto address = [](auto function) { return reinterpret_cast<void*>(function); };
  return {{"param_create", address(&param_create)},
          {"param_free", address(&param_free)},
          {"pblock_create", address(&pblock_create)},
          {"pblock_free", address(&pblock_free)},
          {"_pblock_fr", address(&_pblock_fr)},
          {"pblock_findval", address(&pblock_findval)},
          {"pblock_nvinsert", address(&pblock_nvinsert)},
          {"pblock_nninsert", address(&pblock_nninsert)},
          {"pblock_pinsert", address(&pblock_pinsert)},
          {"pblock_pblock2str", address(&pblock_pblock2str)},
          {"pblock_str2pblock", address(&pblock_str2pblock)},
          {"request_header", address(&request_header)},
          {"http_status", address(&http_status)},
          {"http_start_response", address(&http_start_response)},
          {"net_write", address(&net_write)},
          {"netbuf_next", address(&netbuf_next)},
          {"crit_init", address(&crit_init)},
          {"crit_enter", address(&crit_enter)},
          {"crit_exit", address(&crit_exit)},
          {"crit_terminate", address(&crit_terminate)}};
}

inline bool Bind(const std::map<std::string, void*>& table) {
  return pithorama::BindNsapiServer(
      [&table](const char* name) {
        auto it = table.find(name);
        return it == table.end() ? nullptr : it->second;
      },
      "the test table");
}

}  // namespace pithorama::test
