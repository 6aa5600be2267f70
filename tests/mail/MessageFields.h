// The fields of a message that change from mail to mail: Date and Message-ID.
// MaskChangingFields checks their form and puts fixed words in their place, so
// that tests can compare the rest byte for byte; a field of the wrong form is
// left as it is, and the comparison shows it.
#pragma once

#include <regex>
#include <string>

namespace mailtest {

inline std::string MaskChangingFields(const std::string& text) {
  static const std::regex date(
      "\r\nDate: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [1-3]?[0-9] "
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
      "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [+-][0-9]{4}\r\n");
  static const std::regex id("\r\nMessage-ID: <[0-9a-f]+\\.[0-9a-f]{16}@[A-Za-z0-9.\\[\\]-]+>\r\n");
  std::string masked = std::regex_replace("\r\n" + text, date, "\r\nDate: <date>\r\n");
  masked = std::regex_replace(masked, id, "\r\nMessage-ID: <id>\r\n");
  return masked.substr(2);
}

}  // namespace mailtest
