// The program's settings file reader on any bytes: a refused file leaves
// every setting as it was and names its line in one short printable message
// fit for the error log; an accepted one leaves no value empty, none with a
// control character that could reach the mail dialogue, and no blank in the
// relay or the port.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/Settings.h"

using pithorama::app::ApplySettingsText;
using pithorama::app::TMailSettings;

namespace {

bool Clean(const std::string& value, bool blanksAllowed) {
  if (value.empty()) return false;
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || (!blanksAllowed && c == ' ')) return false;
  }
  return true;
}

bool Same(const TMailSettings& a, const TMailSettings& b) {
  return a.Relay == b.Relay && a.Port == b.Port && a.Sender == b.Sender &&
         a.Recipient == b.Recipient && a.Subject == b.Subject;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TMailSettings builtIn{"localhost", "25", "Pithorama <pithorama@example.org>",
                              "quotes@example.org", "Pithorama"};
  TMailSettings settings = builtIn;
  const std::string fault =
      ApplySettingsText(std::string_view(reinterpret_cast<const char*>(data), size), settings);
  if (!fault.empty()) {
    if (fault.rfind("line ", 0) != 0 || fault.size() > 200 || !Same(settings, builtIn))
      std::abort();
    for (char c : fault)
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7F)
        std::abort();
    return 0;
  }
  if (!Clean(settings.Relay, false) || !Clean(settings.Port, false)) std::abort();
  if (!Clean(settings.Sender, true) || !Clean(settings.Recipient, true) ||
      !Clean(settings.Subject, true))
    std::abort();
  return 0;
}
