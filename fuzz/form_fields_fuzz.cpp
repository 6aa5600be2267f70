// The fields decoded once answer what the look-ups over the text answer: for
// any url-encoded text, the names and the value of every name (and of the
// name given by the bytes before the first newline) agree.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "pithorama/engine/FormFields.h"
#include "pithorama/engine/HttpEng.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pithorama;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  const std::string_view wanted = input.substr(0, newline);
  const std::string_view text = newline == std::string_view::npos ? "" : input.substr(newline + 1);
  const TFormFields fields(text);
  const TStringList names = fields.Names();
  if (names != THttpEngine::ParseFieldNames(text)) std::abort();
  if (fields.Value(wanted, NotAvailable) != GetFieldValue(wanted, text, NotAvailable)) std::abort();
  for (const std::string& name : names)
    if (fields.Value(name, NotAvailable) != GetFieldValue(name, text, NotAvailable)) std::abort();
  return 0;
}
