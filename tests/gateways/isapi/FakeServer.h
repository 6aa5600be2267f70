// The server's side of one ISAPI extension call, in memory: variables from a
// map, the body in a buffer of exactly its size (so that a read past what the
// server delivered shows under AddressSanitizer), read-from-client in pieces of
// a chosen size, and the answer, redirects and names asked recorded.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pithorama/gateways/isapi/IsapiRecords.h"

namespace pithorama::test {

using namespace pithorama::isapi;

class FakeServer {
 public:
  std::map<std::string, std::string> variables;
  std::string method = "GET", query, pathInfo, pathTranslated, contentType;
  size_t readPiece = 1 << 20;
  bool refuseRedirect = false;

  std::string output;
  std::vector<std::string> redirects;
  std::vector<std::string> askedNames;

  void SetBody(const std::string& body, size_t preload) {
    bodySize_ = body.size();
    body_.reset(new uint8_t[body.size() + (body.empty() ? 1 : 0)]);
    std::memcpy(body_.get(), body.data(), body.size());
    preload_ = preload < body.size() ? preload : body.size();
    read_ = preload_;
  }

  // A fresh control block for one call; valid while the server lives.
  TEXTENSION_CONTROL_BLOCK& Block() {
    block_ = TEXTENSION_CONTROL_BLOCK{};
    block_.cbSize = sizeof block_;
    block_.ConnID = this;
    block_.lpszMethod = method.data();
    block_.lpszQueryString = query.data();
    block_.lpszPathInfo = pathInfo.data();
    block_.lpszPathTranslated = pathTranslated.data();
    block_.lpszContentType = contentType.data();
    block_.cbTotalBytes = static_cast<DWORD>(bodySize_);
    block_.cbAvailable = static_cast<DWORD>(preload_);
    block_.lpbData = body_.get();
    block_.GetServerVariable = GetServerVariable;
    block_.WriteClient = WriteClient;
    block_.ReadClient = ReadClient;
    block_.ServerSupportFunction = ServerSupportFunction;
    return block_;
  }

 private:
  static FakeServer& Of(HCONN c) { return *static_cast<FakeServer*>(c); }

  static BOOL GetServerVariable(HCONN c, char* name, void* buffer, DWORD* size) {
    FakeServer& s = Of(c);
    s.askedNames.push_back(name);
    auto it = s.variables.find(name);
    if (it == s.variables.end()) {
      *size = 0;
      return 0;
    }
    if (*size < it->second.size() + 1) {
      *size = static_cast<DWORD>(it->second.size() + 1);
      return 0;
    }
    std::memcpy(buffer, it->second.c_str(), it->second.size() + 1);
    *size = static_cast<DWORD>(it->second.size() + 1);
    return 1;
  }
  static BOOL WriteClient(HCONN c, void* buffer, DWORD* bytes, DWORD) {
    Of(c).output.append(static_cast<const char*>(buffer), *bytes);
    return 1;
  }
  static BOOL ReadClient(HCONN c, void* buffer, DWORD* size) {
    FakeServer& s = Of(c);
    size_t n = std::min<size_t>({*size, s.readPiece, s.bodySize_ - s.read_});
    std::memcpy(buffer, s.body_.get() + s.read_, n);
    s.read_ += n;
    *size = static_cast<DWORD>(n);
    return 1;
  }
  static BOOL ServerSupportFunction(HCONN c, DWORD request, void* buffer, DWORD* size, DWORD*) {
    FakeServer& s = Of(c);
    if (request != HSE_REQ_SEND_URL_REDIRECT_RESP || s.refuseRedirect) return 0;
    s.redirects.emplace_back(static_cast<const char*>(buffer), *size);
    return 1;
  }

  std::unique_ptr<uint8_t[]> body_;
  size_t bodySize_ = 0, preload_ = 0, read_ = 0;
  TEXTENSION_CONTROL_BLOCK block_{};
};

}  // namespace pithorama::test
