// CookieValue on any Cookie header: no crash, and a value found is always a
// piece of the header. The bytes up to the first newline are the name.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "pithorama/engine/HttpText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  const std::string_view name = input.substr(0, newline);
  const std::string_view header =
      newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
  const auto value = pithorama::CookieValue(header, name);
  if (value && header.find(*value) == std::string_view::npos) std::abort();
  return 0;
}
