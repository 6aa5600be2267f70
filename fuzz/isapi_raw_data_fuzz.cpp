// The walk over a filter's raw request data: any bytes, exactly as many as the
// server delivered (the input buffer has no zero after it).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pithorama/gateways/isapi/IsapiRawData.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto scan =
      pithorama::ScanRawRequest(std::string_view(reinterpret_cast<const char*>(data), size));
  if (scan.CookieText.size() > 4096) __builtin_trap();
  return 0;
}
