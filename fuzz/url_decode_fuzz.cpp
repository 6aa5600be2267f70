// UrlDecode on any bytes: never longer than its input, and the inverse of UrlEncode.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "pithorama/engine/HttpText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (pithorama::UrlDecode(text).size() > text.size()) std::abort();
  if (pithorama::UrlDecode(pithorama::UrlEncode(text)) != text) std::abort();
  return 0;
}
