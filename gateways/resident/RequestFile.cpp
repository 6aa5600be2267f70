#include "pithorama/gateways/resident/RequestFile.h"

namespace pithorama {

std::string RequestFileHead(const std::vector<std::string>& environment) {
  std::string head;
  for (const std::string& variable : environment) head += variable + "\r\n";
  head += "KESTREL_CGI_DEBUG=true";
  head += "\r\n\r\n";
  return head;
}

size_t TVariableBlockReader::Feed(std::string_view bytes) {
  size_t used = 0;
  while (used < bytes.size() && !Done()) {
    const char c = bytes[used++];
    if (c != '\r' && c != '\n') {
      current_ += c;
      count_ = 0;
      continue;
    }
    if (++count_ == 2) {
      lines_.push_back(std::move(current_));
      current_.clear();
    }
  }
  return used;
}

TStringList ReadVariableBlock(TFile& file) {
  TVariableBlockReader reader;
  char block[4096];
  int64_t position = 0;
  while (!reader.Done()) {
    const int64_t got = file.Read(block, sizeof block);
    if (got <= 0) return reader.Lines();
    const size_t used = reader.Feed(std::string_view(block, static_cast<size_t>(got)));
    position += static_cast<int64_t>(used);
  }
  file.Seek(position);
  return reader.Lines();
}

}  // namespace pithorama
