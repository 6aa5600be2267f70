// The answer stream of a CGI request: bytes are gathered in memory and go to
// the file in few large writes, at the latest when the request finishes or the
// program ends, so that nothing written is lost and a small answer costs one
// write.
#pragma once

#include <string>
#include <string_view>

#include "pithorama/platform/Files.h"

namespace pithorama {

class TCgiOutput {
 public:
  explicit TCgiOutput(TFile file) : file_(std::move(file)) {}
  ~TCgiOutput() { Flush(); }

  void Write(std::string_view bytes);
  // Sends what is gathered; false when the file refused it (the bytes are dropped).
  bool Flush();
  // Some bytes never reached the file (a full disk, a file that did not open).
  bool Failed() const { return failed_; }

 private:
  static constexpr size_t kFlushSize = 64 * 1024;
  TFile file_;
  std::string pending_;
  bool failed_ = false;
};

}  // namespace pithorama
