// GetFieldValue on any url-encoded text; the bytes up to the first newline are
// the wanted field name.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "pithorama/engine/HttpText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t newline = input.find('\n');
  std::string_view name = input.substr(0, newline);
  std::string_view text = newline == std::string_view::npos ? "" : input.substr(newline + 1);
  std::string value = pithorama::GetFieldValue(name, text, pithorama::NotAvailable);
  // Every value comes out of the text, decoded: never more bytes than the text
  // holds, but for the CR LF joints of repeated fields.
  if (value != pithorama::NotAvailable && value.size() > 3 * text.size() + 2) std::abort();
  return 0;
}
