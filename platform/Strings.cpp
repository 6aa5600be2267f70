#include "pithorama/platform/Strings.h"

#include <algorithm>

#include "pithorama/platform/Errors.h"

namespace pithorama {

std::string UpperCase(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return result;
}

static bool IsTrimmed(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string TrimLeft(std::string_view text) {
  size_t first = 0;
  while (first < text.size() && IsTrimmed(text[first])) ++first;
  return std::string(text.substr(first));
}

std::string TrimRight(std::string_view text) {
  size_t last = text.size();
  while (last > 0 && IsTrimmed(text[last - 1])) --last;
  return std::string(text.substr(0, last));
}

std::string Trim(std::string_view text) { return TrimLeft(TrimRight(text)); }

void GrowRoom(std::string& text, size_t needed, size_t most) {
  if (needed <= text.capacity()) return;
  std::string bigger;
  bigger.reserve(std::max(needed, std::min(2 * text.capacity(), most)));
  bigger.append(text);
  text.swap(bigger);
}

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

static bool ParseInt(std::string_view text, int32_t& value) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) return false;
  int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return false;
    magnitude = magnitude * base + digit;
    if (magnitude > int64_t{1} << 32) return false;
  }
  int64_t signedValue = negative ? -magnitude : magnitude;
  if (base == 10 && (signedValue > INT32_MAX || signedValue < INT32_MIN)) return false;
  if (base == 16 && magnitude > UINT32_MAX) return false;
  value = static_cast<int32_t>(static_cast<uint32_t>(signedValue));
  return true;
}

int32_t StrToInt(std::string_view text) {
  int32_t value;
  if (!ParseInt(text, value))
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
  return value;
}

int32_t StrToIntDef(std::string_view text, int32_t fallback) {
  int32_t value;
  return ParseInt(text, value) ? value : fallback;
}

}  // namespace pithorama
