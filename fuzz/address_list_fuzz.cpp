// FormatAddressList on any bytes: no crash, and the envelope form never holds
// a character that could break an SMTP command line.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "mail/AddressList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view list(reinterpret_cast<const char*>(data), size);
  std::string envelope = pithorama::FormatAddressList(list, pithorama::TAddressForm::Envelope);
  std::string header = pithorama::FormatAddressList(list, pithorama::TAddressForm::Header);
  for (char c : envelope)
    if (static_cast<unsigned char>(c) <= 32) std::abort();
  for (char c : header)
    if (c == '\r' || c == '\n') std::abort();
  return 0;
}
