// The request file's variable block and the answer relay on any bytes. The
// block reader gives the same lines however the input is split, never takes
// more than it is given, and takes exactly through the fourth line end when
// the block ends; the relay writes every byte it read, plus at most one
// Content-Length line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "pithorama/gateways/resident/AnswerCopy.h"
#include "pithorama/gateways/resident/RequestFile.h"

using namespace pithorama;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t split = data[0] % (size);
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

  TVariableBlockReader whole;
  const size_t usedWhole = whole.Feed(input);
  TVariableBlockReader parts;
  size_t usedParts = parts.Feed(input.substr(0, std::min(split, input.size())));
  if (!parts.Done()) usedParts += parts.Feed(input.substr(usedParts));
  if (usedWhole != usedParts || whole.Lines() != parts.Lines()) std::abort();
  if (usedWhole > input.size()) std::abort();
  if (whole.Done() && input.substr(0, usedWhole).find_last_not_of("\r\n") == usedWhole - 1)
    std::abort();

  size_t at = 0;
  std::string out;
  CopyAnswer(
      static_cast<int64_t>(input.size()),
      [&](char* buffer, size_t count) {
        const size_t n = std::min(count, input.size() - at);
        input.copy(buffer, n, at);
        at += n;
        return static_cast<int64_t>(n);
      },
      [&](std::string_view bytes) { out.append(bytes); });
  if (out.size() < input.size()) std::abort();
  if (out.size() > input.size() && out.find("\r\nContent-Length: ") == std::string::npos)
    std::abort();
  return 0;
}
