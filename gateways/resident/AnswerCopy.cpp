#include "pithorama/gateways/resident/AnswerCopy.h"

#include <string>

namespace pithorama {

bool CopyAnswer(int64_t fileSize, const TAnswerRead& read, const TAnswerWrite& write) {
  char block[kAnswerBlock];
  int64_t got = read(block, sizeof block);
  if (got < 0) return false;
  const std::string_view first(block, static_cast<size_t>(got));
  const size_t blank = first.find("\r\n\r\n");
  if (blank == std::string_view::npos) {
    write(first);
  } else {
    const int64_t bodyLength = fileSize - static_cast<int64_t>(blank) - 4;
    write(first.substr(0, blank));
    write("\r\nContent-Length: " + std::to_string(bodyLength));
    write(first.substr(blank));
  }
  while (got == static_cast<int64_t>(sizeof block)) {
    got = read(block, sizeof block);
    if (got < 0) return false;
    if (got > 0) write(std::string_view(block, static_cast<size_t>(got)));
  }
  return true;
}

}  // namespace pithorama
