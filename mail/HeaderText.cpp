#include "pithorama/mail/HeaderText.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "pithorama/mail/AddressList.h"

namespace pithorama {
namespace {

constexpr size_t FoldWidth = 78;  // RFC 5322, 2.1.1: lines should not be longer
constexpr size_t WordWidth = 75;  // RFC 2047, 2: the longest encoded word
constexpr size_t LongWord = 900;  // a run without blanks that no fold could fit in 998
constexpr std::string_view DefaultCharset = "iso-8859-1";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string ValueOf(std::string_view line) {
  size_t colon = line.find(':');
  return colon == std::string_view::npos ? std::string() : Trim(line.substr(colon + 1));
}

// Bytes that a reader shows as written in a plain header value.
bool NeedsEncoding(std::string_view text) {
  size_t run = 0;
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (c >= 127 || (c < 32 && c != '\t')) return true;
    run = c == ' ' || c == '\t' ? 0 : run + 1;
    if (run > LongWord) return true;
  }
  return text.find("=?") != std::string_view::npos;
}

// One character of the text in the charset: a UTF-8 sequence stays in one
// encoded word; other charsets here are single bytes.
size_t CharacterLength(std::string_view text, size_t at, bool utf8) {
  size_t end = at + 1;
  if (utf8)
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
  return end - at;
}

void AppendQ(std::string_view bytes, std::string& out) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
        std::string_view("!*+-/").find(ch) != std::string_view::npos) {
      out += ch;
    } else if (c == ' ') {
      out += '_';
    } else {
      out += '=';
      out += Hex[c >> 4];
      out += Hex[c & 15];
    }
  }
}

// A display name for the header: quotes of a quoted name are undone before
// it is encoded, since an encoded word inside quotes is shown as it stands.
std::string HeaderName(const std::string& name, std::string_view charset) {
  if (!NeedsEncoding(name)) return name;
  std::string text = name;
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    text.clear();
    for (size_t i = 1; i + 1 < name.size(); ++i) {
      if (name[i] == '\\' && i + 2 < name.size()) ++i;
      text += name[i];
    }
  }
  return EncodeWords(text, charset);
}

bool IsAddressField(std::string_view line) {
  static constexpr std::string_view Fields[] = {"FROM", "TO", "CC", "BCC", "REPLY-TO", "SENDER"};
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  std::string name = UpperCase(Trim(line.substr(0, colon)));
  return std::find(std::begin(Fields), std::end(Fields), name) != std::end(Fields);
}

struct TFoldPoint {
  size_t at;         // the continuation line starts here
  bool insertBlank;  // after a comma: the fold adds the blank it begins with
};

// Where a line may be folded: before a blank or tab that follows text of the
// value, and in address fields after a comma outside quotes and brackets.
std::vector<TFoldPoint> FoldPoints(std::string_view line) {
  std::vector<TFoldPoint> points;
  size_t colon = line.find(':');
  size_t first = colon == std::string_view::npos ? 0 : colon + 1;
  while (first < line.size() && IsBlank(line[first])) ++first;
  size_t last = line.size();
  while (last > first && IsBlank(line[last - 1])) --last;
  bool address = IsAddressField(line), quoted = false, escaped = false;
  int angle = 0;
  for (size_t i = first; i + 1 < last; ++i) {
    char c = line[i], next = line[i + 1];
    if (escaped) {
      escaped = false;
    } else if (quoted && c == '\\') {
      escaped = true;
      continue;  // a backslash and the character it quotes stay together
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == '<') {
      ++angle;
    } else if (!quoted && c == '>' && angle > 0) {
      --angle;
    }
    if (IsBlank(next) && !IsBlank(c))
      points.push_back({i + 1, false});
    else if (address && c == ',' && !quoted && angle == 0 && !IsBlank(next))
      points.push_back({i + 1, true});
  }
  return points;
}

void AppendFoldedLine(std::string_view line, std::string& out) {
  std::vector<TFoldPoint> points = FoldPoints(line);
  size_t start = 0, lead = 0, next = 0;  // lead: the inserted blank of this line
  while (lead + line.size() - start > FoldWidth && next < points.size()) {
    size_t pick = next;  // the last point that keeps this line short, else the first
    for (size_t j = next; j < points.size() && lead + points[j].at - start <= FoldWidth; ++j)
      pick = j;
    out.append(line.substr(start, points[pick].at - start));
    out += points[pick].insertBlank ? "\r\n " : "\r\n";
    start = points[pick].at;
    lead = points[pick].insertBlank ? 1 : 0;
    next = pick + 1;
  }
  out.append(line.substr(start));
}

}  // namespace

std::string DeclaredCharset(const TStringList& mailHeader) {
  for (const std::string& line : mailHeader) {
    std::string upper = UpperCase(line);
    size_t at = upper.find("CHARSET=");
    if (!upper.starts_with("CONTENT-TYPE:") || at == std::string::npos) continue;
    std::string_view value = std::string_view(line).substr(at + 8);
    if (value.starts_with('"')) value.remove_prefix(1);
    value = value.substr(0, value.find_first_of("\"; \t"));
    if (!value.empty()) return std::string(value);
  }
  return std::string(DefaultCharset);
}

bool DeclaresQuotedPrintable(const TStringList& mailHeader) {
  for (const std::string& line : mailHeader)
    if (UpperCase(line).starts_with("CONTENT-TRANSFER-ENCODING:") &&
        UpperCase(ValueOf(line)) == "QUOTED-PRINTABLE")
      return true;
  return false;
}

std::string EncodeWords(std::string_view text, std::string_view charset) {
  const std::string open = "=?" + std::string(charset) + "?Q?";
  const size_t room =
      std::max<size_t>(WordWidth > open.size() + 2 ? WordWidth - open.size() - 2 : 0, 3);
  const bool utf8 = UpperCase(charset) == "UTF-8";
  std::string out, word, piece;
  for (size_t at = 0; at < text.size();) {
    size_t length = CharacterLength(text, at, utf8);
    piece.clear();
    AppendQ(text.substr(at, length), piece);
    if (!word.empty() && word.size() + piece.size() > room) {
      out += (out.empty() ? "" : " ") + open + word + "?=";
      word.clear();
    }
    word += piece;
    at += length;
  }
  if (!word.empty() || out.empty()) out += (out.empty() ? "" : " ") + open + word + "?=";
  return out;
}

std::string HeaderText(std::string_view text, std::string_view charset) {
  std::string value(text);
  std::replace_if(
      value.begin(), value.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return NeedsEncoding(value) ? EncodeWords(value, charset) : value;
}

std::string FormatHeaderAddressList(std::string_view list, std::string_view charset) {
  std::string result;
  for (const TAddressItem& item : ParseAddressList(list)) {
    if (!result.empty()) result += ',';
    result += Trim(HeaderName(item.Name, charset) + " <" + item.Address + ">");
  }
  return result;
}

std::string FoldHeaderLines(std::string_view header) {
  std::string out;
  while (!header.empty()) {
    size_t end = header.find("\r\n");
    std::string_view line = header.substr(0, end);
    AppendFoldedLine(line, out);
    if (end == std::string_view::npos) break;
    out += "\r\n";
    header.remove_prefix(end + 2);
  }
  return out;
}

bool HasHeaderField(std::string_view header, std::string_view name) {
  std::string upper = "\r\n" + UpperCase(header), field = "\r\n" + UpperCase(name) + ":";
  return upper.find(field) != std::string::npos;
}

std::string FormatMailDate(TDateTime local, int localToUtcMinutes) {
  static constexpr const char* Days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  DateTimeParts parts = DecodeDateTime(local);
  int zone = -localToUtcMinutes;
  int zoneAbs = zone < 0 ? -zone : zone;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d %c%02d%02d",
                Days[parts.dayOfWeek % 7], parts.day, Months[(parts.month + 11) % 12], parts.year,
                parts.hour, parts.minute, parts.second, zone < 0 ? '-' : '+', zoneAbs / 60,
                zoneAbs % 60);
  return text;
}

std::string NewMessageId(std::string_view domain) {
  static std::random_device source;
  uint64_t random = static_cast<uint64_t>(source()) << 32 | source();
  char unique[64];
  auto now = static_cast<unsigned long long>(Now() * 86400000.0);
  std::snprintf(unique, sizeof unique, "%llx.%016llx", now,
                static_cast<unsigned long long>(random));
  return "<" + std::string(unique) + "@" + std::string(domain) + ">";
}

}  // namespace pithorama
