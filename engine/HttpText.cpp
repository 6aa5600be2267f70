#include "pithorama/engine/HttpText.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "pithorama/platform/Environment.h"
#include "pithorama/platform/Strings.h"

namespace pithorama {

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

static int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

std::string UrlDecode(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < text.size() && IsHexDigit(text[i + 1]) && IsHexDigit(text[i + 2])) {
      result.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else if (c == '+') {
      result.push_back(' ');
    } else {
      result.push_back(c);
    }
  }
  return result;
}

// The bytes that UrlEncode copies as they are, by byte value.
static constexpr auto kKeptByUrlEncode = [] {
  std::array<bool, 256> kept{};
  for (int c = 0; c < 256; ++c)
    kept[c] = c == '.' || c == '/' || c == '\\' || (c >= '0' && c <= '9') ||
              (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  return kept;
}();

static bool KeptByUrlEncode(char c) { return kKeptByUrlEncode[static_cast<unsigned char>(c)]; }

size_t UrlEncodedLength(std::string_view text) {
  size_t length = 0;
  for (char c : text) length += c == ' ' || KeptByUrlEncode(c) ? 1 : 3;
  return length;
}

// Runs of bytes that stay as they are go over in one piece: form text is
// mostly letters and digits.
void AppendUrlEncoded(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < text.size(); ++i) {
    size_t run = i;
    while (run < text.size() && KeptByUrlEncode(text[run])) ++run;
    out.append(text.data() + i, run - i);
    if (run == text.size()) break;
    const unsigned char byte = static_cast<unsigned char>(text[run]);
    if (byte == ' ') {
      out.push_back('+');
    } else {
      const char escape[3] = {'%', kHex[byte >> 4], kHex[byte & 15]};
      out.append(escape, 3);
    }
    i = run;
  }
}

std::string UrlEncode(std::string_view text) {
  std::string result;
  result.reserve(UrlEncodedLength(text));
  AppendUrlEncoded(result, text);
  return result;
}

// The name under which a field is found: decoded, upper-cased, trimmed of
// blanks and control characters.
static std::string FieldKey(std::string_view encodedName) {
  return Trim(UpperCase(UrlDecode(encodedName)));
}

std::string GetFieldValue(std::string_view name, std::string_view text,
                          std::string_view defaultValue) {
  const std::string key = Trim(UpperCase(name));
  std::string result;
  bool found = false;
  ForEachFieldPiece(text, [&](std::string_view fieldName, std::string_view value) {
    if (FieldKey(fieldName) != key) return;
    // Further values of the same field join the first one, in order, by CR LF.
    if (found) result += "\r\n";
    result += Trim(UrlDecode(value));
    found = true;
  });
  return found ? result : std::string(defaultValue);
}

std::string HttpDate(TDateTime localTime) {
  static constexpr std::string_view kDays = "SunMonTueWedThuFriSat";
  static constexpr std::string_view kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
  TDateTime gmt = localTime + LocalToUtcOffsetMinutes(localTime) / 1440.0;
  DateTimeParts p = DecodeDateTime(gmt);
  char text[64];
  std::snprintf(text, sizeof text, "%.3s,  %02d %.3s %04d %02d:%02d:%02d GMT",
                kDays.data() + p.dayOfWeek * 3, p.day, kMonths.data() + (p.month - 1) * 3, p.year,
                p.hour, p.minute, p.second);
  return text;
}

std::string GetEnvVar(std::string_view name) {
  std::string value = GetEnvironment(name).value_or(std::string());
  if (name == "SERVER_SOFTWARE" && Contains(value, "ZB")) return {};
  return value;
}

static void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t pos; (pos = text.find(from)) != std::string::npos;)
    text.replace(pos, from.size(), to);
}

std::string BuildFileName(std::string_view baseFile, std::string_view folder, bool keepBaseName,
                          std::string_view fileName, bool keepBaseExtension,
                          std::string_view newExtension, const PathStyle& style) {
  if (style.isAbsolute(fileName)) return std::string(fileName);
  const std::string delimiter(1, style.delimiter);

  std::string target = style.isAbsolute(folder) ? std::string(folder) + delimiter
                                                : ExtractFilePath(baseFile, style) + delimiter +
                                                      std::string(folder) + delimiter;

  std::string namePart, extensionPart;
  const std::string baseName = ExtractFileName(baseFile, style);
  const size_t baseDot = baseName.find('.');
  if ((keepBaseName || keepBaseExtension) && baseDot != std::string::npos) {
    if (keepBaseExtension) extensionPart = baseName.substr(baseDot + 1);
    if (keepBaseName) namePart = baseName.substr(0, baseDot);
  }

  const size_t dot = fileName.find('.');
  if (dot == std::string_view::npos) {
    namePart += fileName;
  } else {
    namePart += fileName.substr(0, dot);
    if (newExtension.empty()) extensionPart += fileName.substr(dot + 1);
  }
  extensionPart += newExtension;

  std::string result = target + namePart + "." + extensionPart;
  ReplaceAll(result, delimiter + "." + delimiter, delimiter);
  ReplaceAll(result, delimiter + delimiter, delimiter);
  return result;
}

namespace {

std::string Escaped(std::string_view text, bool singleQuote) {
  // Most values have nothing to escape: they are copied whole, and the rest
  // from their first sign on.
  size_t first = 0;
  for (; first < text.size(); ++first) {
    const char c = text[first];
    if (c == '<' || c == '>' || c == '&' || c == '"' || (c == '\'' && singleQuote)) break;
  }
  if (first == text.size()) return std::string(text);
  std::string result;
  result.reserve(text.size() + 16);
  result.append(text.substr(0, first));
  for (char c : text.substr(first)) {
    switch (c) {
      case '<':
        result += "&lt;";
        break;
      case '>':
        result += "&gt;";
        break;
      case '&':
        result += "&amp;";
        break;
      case '"':
        result += "&quot;";
        break;
      case '\'':
        if (singleQuote) {
          result += "&#39;";
          break;
        }
        [[fallthrough]];
      default:
        result += c;
    }
  }
  return result;
}

}  // namespace

std::optional<std::string> CookieValue(std::string_view cookieHeader, std::string_view name) {
  constexpr std::string_view kBlanks = " \t";
  while (!cookieHeader.empty()) {
    const size_t end = std::min(cookieHeader.find(';'), cookieHeader.size());
    std::string_view pair = cookieHeader.substr(0, end);
    cookieHeader.remove_prefix(std::min(end + 1, cookieHeader.size()));
    const size_t equals = pair.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view key = pair.substr(0, equals);
    std::string_view value = pair.substr(equals + 1);
    key.remove_prefix(std::min(key.find_first_not_of(kBlanks), key.size()));
    key.remove_suffix(key.size() - std::min(key.find_last_not_of(kBlanks) + 1, key.size()));
    if (key != name) continue;
    value.remove_prefix(std::min(value.find_first_not_of(kBlanks), value.size()));
    value.remove_suffix(value.size() - std::min(value.find_last_not_of(kBlanks) + 1, value.size()));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    return std::string(value);
  }
  return std::nullopt;
}

std::string HtmlEscape(std::string_view text) { return Escaped(text, false); }
std::string HtmlAttributeEscape(std::string_view text) { return Escaped(text, true); }

bool IsHttpToken(std::string_view text) {
  constexpr std::string_view kSigns = "!#$%&'*+-.^_`|~";
  if (text.empty()) return false;
  for (char c : text) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!alnum && kSigns.find(c) == std::string_view::npos) return false;
  }
  return true;
}

std::string_view HttpReasonPhrase(int code) {
  static const struct {
    int code;
    std::string_view phrase;
  } kPhrases[] = {
      {100, "Continue"},
      {101, "Switching Protocols"},
      {200, "OK"},
      {201, "Created"},
      {202, "Accepted"},
      {203, "Non-Authoritative Information"},
      {204, "No Content"},
      {205, "Reset Content"},
      {206, "Partial Content"},
      {300, "Multiple Choices"},
      {301, "Moved Permanently"},
      {302, "Found"},
      {303, "See Other"},
      {304, "Not Modified"},
      {307, "Temporary Redirect"},
      {308, "Permanent Redirect"},
      {400, "Bad Request"},
      {401, "Unauthorized"},
      {403, "Forbidden"},
      {404, "Not Found"},
      {405, "Method Not Allowed"},
      {406, "Not Acceptable"},
      {408, "Request Timeout"},
      {409, "Conflict"},
      {410, "Gone"},
      {411, "Length Required"},
      {412, "Precondition Failed"},
      {413, "Content Too Large"},
      {414, "URI Too Long"},
      {415, "Unsupported Media Type"},
      {422, "Unprocessable Content"},
      {429, "Too Many Requests"},
      {500, "Internal Server Error"},
      {501, "Not Implemented"},
      {502, "Bad Gateway"},
      {503, "Service Unavailable"},
      {504, "Gateway Timeout"},
  };
  for (const auto& entry : kPhrases)
    if (entry.code == code) return entry.phrase;
  return {};
}

namespace {

// Each character of a variable's name as the server spells it, looked up
// rather than tested: names are turned on every variable look-up.
constexpr std::array<char, 256> kServerNameChars = [] {
  std::array<char, 256> chars{};
  for (int i = 0; i < 256; ++i) {
    char c = static_cast<char>(i);
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    chars[i] = c == ' ' ? '_' : c;
  }
  return chars;
}();

}  // namespace

void AssignCgiVariableName(std::string& key, std::string_view name) {
  key.resize(name.size());
  for (size_t i = 0; i < name.size(); ++i)
    key[i] = kServerNameChars[static_cast<unsigned char>(name[i])];
  if (key == "EXECUTABLE_PATH") key = "SCRIPT_NAME";
}

std::string CgiVariableName(std::string_view name) {
  std::string key;
  AssignCgiVariableName(key, name);
  return key;
}

}  // namespace pithorama
