// THttpCookie on any input: a Cookie header read with and without the
// scrambler never crashes, and any value sent comes back as it was, coded or
// not. The first four bytes are the code key; the rest is both the header
// and the value.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "pithorama/engine/HUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int32_t key = 0;
  if (size >= sizeof key) {
    std::memcpy(&key, data, sizeof key);
    data += sizeof key;
    size -= sizeof key;
  }
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  pithorama::THttpCookie cookie(nullptr);
  cookie.CookieName = "c";
  cookie.CodeKey = key;
  for (bool coded : {false, true}) {
    cookie.Coded = coded;
    (void)cookie.ValueIn(input);
    const std::string line = cookie.SetCookieText(input);
    if (line.find_first_of(" ;,\"\\", 2) != std::string::npos) std::abort();
    if (cookie.ValueIn(line) != std::string(input)) std::abort();
  }
  return 0;
}
