// The fields of a message that change from mail to mail: Date and Message-ID.
// MaskChangingFields checks their form and puts fixed words in their place, so
// that tests can compare the rest byte for byte; a field of the wrong form is
// left as it is, and the comparison shows it.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace pithorama::test {

// Checks text against a pattern in which "9" stands for a digit, "a" for a
// lower-case letter, "A" for an upper-case one and "x" for a hexadecimal digit
// repeated one or more times; every other character stands for itself.
inline bool MatchesShape(std::string_view text, std::string_view shape) {
  size_t at = 0;
  for (char s : shape) {
    auto fits = [s](char c) {
      auto u = static_cast<unsigned char>(c);
      switch (s) {
        case '9':
          return std::isdigit(u) != 0;
        case 'a':
          return std::islower(u) != 0;
        case 'A':
          return std::isupper(u) != 0;
        case 'x':
          return std::isxdigit(u) != 0;
        default:
          return c == s;
      }
    };
    if (at >= text.size() || !fits(text[at])) return false;
    ++at;
    if (s == 'x')
      while (at < text.size() && fits(text[at])) ++at;
  }
  return at == text.size();
}

// "Thu, 10 Dec 2026 12:16:33 +0100" (the day may have one digit).
inline bool IsMailDate(std::string_view value) {
  return MatchesShape(value, "Aaa, 99 Aaa 9999 99:99:99 +9999") ||
         MatchesShape(value, "Aaa, 9 Aaa 9999 99:99:99 +9999") ||
         MatchesShape(value, "Aaa, 99 Aaa 9999 99:99:99 -9999") ||
         MatchesShape(value, "Aaa, 9 Aaa 9999 99:99:99 -9999");
}

// "<time.random@domain>": hexadecimal unique part, a domain without blanks.
inline bool IsMessageId(std::string_view value) {
  size_t at = value.find('@');
  if (!value.starts_with('<') || !value.ends_with('>') || at == std::string_view::npos)
    return false;
  std::string_view domain = value.substr(at + 1, value.size() - at - 2);
  return MatchesShape(value.substr(0, at), "<x.x") && !domain.empty() &&
         domain.find_first_of(" \t<>@") == std::string_view::npos;
}

inline std::string MaskChangingFields(const std::string& text) {
  std::string masked;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    std::string_view line(text.data() + start, end - start);
    if (line.starts_with("Date: ") && IsMailDate(line.substr(6)))
      masked += "Date: <date>";
    else if (line.starts_with("Message-ID: ") && IsMessageId(line.substr(12)))
      masked += "Message-ID: <id>";
    else
      masked += line;
    masked += "\r\n";
  }
  return masked + text.substr(start);
}

}  // namespace pithorama::test
