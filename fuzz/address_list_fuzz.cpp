// Address lists on any bytes: no crash; the envelope form never holds a
// character that could break an SMTP command line; the header form, with
// 8-bit names encoded, never breaks a header line; and folding that line
// only puts line breaks before blanks, so unfolding gives it back.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "pithorama/mail/AddressList.h"
#include "pithorama/mail/HeaderText.h"

namespace {

std::string WithoutBlanksAndBreaks(std::string_view text) {
  std::string kept;
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') kept += c;
  return kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view list(reinterpret_cast<const char*>(data), size);
  std::string envelope = pithorama::FormatAddressList(list, pithorama::TAddressForm::Envelope);
  std::string header = pithorama::FormatAddressList(list, pithorama::TAddressForm::Header);
  for (char c : envelope)
    if (static_cast<unsigned char>(c) <= 32) std::abort();
  for (char c : header)
    if (c == '\r' || c == '\n') std::abort();
  std::string line = "To: " + pithorama::FormatHeaderAddressList(list, "iso-8859-1");
  if (line.find_first_of("\r\n") != std::string::npos) std::abort();
  std::string folded = pithorama::FoldHeaderLines(line + "\r\n");
  for (size_t at = folded.find("\r\n"); at + 2 < folded.size(); at = folded.find("\r\n", at + 2))
    if (folded[at + 2] != ' ' && folded[at + 2] != '\t') std::abort();
  if (!folded.ends_with("\r\n") || WithoutBlanksAndBreaks(folded) != WithoutBlanksAndBreaks(line))
    std::abort();
  return 0;
}
