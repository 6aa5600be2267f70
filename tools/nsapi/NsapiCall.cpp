#include "tools/nsapi/NsapiCall.h"

#include <cctype>
#include <mutex>
#include <unordered_map>

#include "pithorama/platform/Library.h"

namespace {

std::mutex connectionsMutex;
std::unordered_map<SYS_NETFD, nsapi_host_connection> connections;
SYS_NETFD nextSocket = 1;

}  // namespace

SYS_NETFD NsapiHostAttach(const nsapi_host_connection& connection) {
  std::lock_guard<std::mutex> guard(connectionsMutex);
  const SYS_NETFD sd = nextSocket++;
  connections[sd] = connection;
  return sd;
}

void NsapiHostDetach(SYS_NETFD sd) {
  std::lock_guard<std::mutex> guard(connectionsMutex);
  connections.erase(sd);
}

extern "C" PITHORAMA_EXPORT int nsapi_host_find(SYS_NETFD sd, nsapi_host_connection* found) {
  std::lock_guard<std::mutex> guard(connectionsMutex);
  auto it = connections.find(sd);
  if (it == connections.end()) return 0;
  *found = it->second;
  return 1;
}

NsapiCall::NsapiCall(const nsapi_host_connection& connection, int bufferSize)
    : buffer_(static_cast<size_t>(bufferSize)) {
  pb = pblock_create(4);
  pblock_nvinsert("fn", "NsapiService", pb);
  const SYS_NETFD sd = NsapiHostAttach(connection);
  input.sd = sd;
  input.maxsize = bufferSize;
  input.inbuf = buffer_.data();
  input.rdtmout = 30;
  session.client = pblock_create(4);
  session.csd = sd;
  session.inbuf = &input;
  session.csd_open = 1;
  request.vars = pblock_create(8);
  request.reqpb = pblock_create(8);
  request.loadhdrs = 1;
  request.headers = pblock_create(16);
  request.srvhdrs = pblock_create(16);
}

NsapiCall::~NsapiCall() {
  NsapiHostDetach(session.csd);
  for (pblock* block :
       {pb, session.client, request.vars, request.reqpb, request.headers, request.srvhdrs})
    pblock_free(block);
}

void NsapiCall::SetRequestLine(std::string_view method, std::string_view uri,
                               std::string_view query, std::string_view protocol) {
  const std::string target =
      query.empty() ? std::string(uri) : std::string(uri) + "?" + std::string(query);
  pblock_nvinsert("method", std::string(method).c_str(), request.reqpb);
  pblock_nvinsert("uri", std::string(uri).c_str(), request.reqpb);
  pblock_nvinsert("protocol", std::string(protocol).c_str(), request.reqpb);
  pblock_nvinsert("clf-request",
                  (std::string(method) + " " + target + " " + std::string(protocol)).c_str(),
                  request.reqpb);
  if (!query.empty()) pblock_nvinsert("query", std::string(query).c_str(), request.reqpb);
  pblock_nvinsert("ppath", std::string(uri).c_str(), request.vars);
}

void NsapiCall::AddHeader(std::string_view name, std::string_view value) {
  std::string key(name);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string joined(value);
  if (pb_param* old = _pblock_fr(key.c_str(), request.headers, 1)) {
    joined = std::string(old->value) + ", " + joined;
    param_free(old);
  }
  pblock_nvinsert(key.c_str(), joined.c_str(), request.headers);
}

void NsapiCall::SetClient(std::string_view ip, std::string_view dns) {
  pblock_nvinsert("ip", std::string(ip).c_str(), session.client);
  if (!dns.empty()) pblock_nvinsert("dns", std::string(dns).c_str(), session.client);
}
