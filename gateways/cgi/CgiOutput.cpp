#include "pithorama/gateways/cgi/CgiOutput.h"

namespace pithorama {

void TCgiOutput::Write(std::string_view bytes) {
  pending_.append(bytes);
  if (pending_.size() >= kFlushSize) Flush();
}

bool TCgiOutput::Flush() {
  if (pending_.empty()) return true;
  bool written = file_.Write(pending_);
  pending_.clear();
  failed_ = failed_ || !written;
  return written;
}

}  // namespace pithorama
