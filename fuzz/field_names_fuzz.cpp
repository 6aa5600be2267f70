// ParseFieldNames on any url-encoded text: each name is a decoded piece of it.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "pithorama/engine/HttpEng.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t total = 0;
  for (const std::string& name : pithorama::THttpEngine::ParseFieldNames(text))
    total += name.size();
  if (total > text.size()) std::abort();
  return 0;
}
