// The Windows CGI profile reader on any bytes: section names come out trimmed
// and upper-cased, the table never outgrows its bound, and every form field
// name it lists can be read back.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "pithorama/gateways/wincgi/CgiIniFile.h"

using pithorama::TCGIIniFile;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TCGIIniFile profile(std::string_view(reinterpret_cast<const char*>(data), size));
  if (profile.Sections().size() > TCGIIniFile::kMaxSections) std::abort();
  for (const std::string& section : profile.Sections())
    if (section != pithorama::UpperCase(pithorama::Trim(section))) std::abort();
  for (const std::string& name : profile.GetFormFieldNames()) {
    if (name.empty() || name.size() > 31) std::abort();
    bool found = false;
    for (const std::string& section : profile.Sections())
      found = found || (section.rfind("FORM", 0) == 0 && profile.Find(section, name));
    if (!found) std::abort();
  }
  return 0;
}
