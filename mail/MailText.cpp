#include "pithorama/mail/MailText.h"

#include <algorithm>

namespace pithorama {

std::string ReplacePlaceholder(std::string_view text, std::string_view placeholder,
                               std::string_view value) {
  size_t p = UpperCase(text).find(placeholder);
  if (p == std::string::npos) return std::string(text);
  std::string result(text.substr(0, p));
  result += value;
  result += text.substr(p + placeholder.size());
  return result;
}

void SplitHeaderTemplate(const TStringList& mailHeader, bool hasAttachments, bool ccEmpty,
                         std::string& header, std::string& contentLines) {
  for (const std::string& line : mailHeader) {
    if (hasAttachments && UpperCase(line).starts_with("CONTENT")) {
      contentLines += line + "\r\n";
    } else if (Contains(line, "CC:") && Contains(line, "%MAILCC%") && ccEmpty) {
      continue;
    } else {
      header += line + "\r\n";
    }
  }
}

void ExpandBodyEntries(std::string_view body, const std::function<void(std::string_view)>& write,
                       const std::function<void(const std::string&)>& entry) {
  size_t k = 0;
  for (;;) {
    size_t q = body.find('%', k);
    if (q == std::string_view::npos) break;
    write(body.substr(k, q - k));
    size_t r = q + 1 < body.size() ? body.find('%', q + 1) : std::string_view::npos;
    if (r != std::string_view::npos && body.substr(q, r - q).find(' ') == std::string_view::npos) {
      entry(Trim(body.substr(q + 1, r - q - 1)));
      k = r + 1;
    } else {
      write("%");
      k = q + 1;
    }
  }
  write(body.substr(k));
}

TAttachmentLine ParseAttachmentLine(std::string_view line, const PathStyle& style) {
  TAttachmentLine result;
  std::string trimmed = Trim(line);
  size_t open = trimmed.find('<');
  size_t close = trimmed.find('>');
  if (open != std::string::npos && close != std::string::npos && close + 1 == trimmed.size()) {
    result.DisplayName = Trim(std::string_view(trimmed).substr(0, open));
    std::string_view inside = std::string_view(trimmed).substr(open + 1);
    result.Path = Trim(inside.substr(0, inside.size() - 1));
  } else {
    result.DisplayName = trimmed;
    result.Path = trimmed;
  }
  result.FileName = ExtractFileName(result.DisplayName, style);
  return result;
}

void AppendBase64Lines(std::string_view data, std::string& out) {
  static constexpr char Alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (data.empty()) return;
  size_t lines = (data.size() + Base64LineBytes - 1) / Base64LineBytes;
  size_t at = out.size();
  out.resize(at + (data.size() + 2) / 3 * 4 + lines * 2);
  char* to = out.data() + at;
  const auto* from = reinterpret_cast<const unsigned char*>(data.data());
  size_t left = data.size();
  while (left > 0) {
    size_t lineBytes = std::min(left, Base64LineBytes);
    for (size_t i = 0; i + 3 <= lineBytes; i += 3, from += 3) {
      unsigned group = from[0] << 16 | from[1] << 8 | from[2];
      *to++ = Alphabet[group >> 18 & 63];
      *to++ = Alphabet[group >> 12 & 63];
      *to++ = Alphabet[group >> 6 & 63];
      *to++ = Alphabet[group & 63];
    }
    size_t tail = lineBytes % 3;  // only on the last line: 45 is a multiple of 3
    if (tail > 0) {
      unsigned group = from[0] << 16 | (tail > 1 ? from[1] << 8 : 0);
      *to++ = Alphabet[group >> 18 & 63];
      *to++ = Alphabet[group >> 12 & 63];
      *to++ = tail > 1 ? Alphabet[group >> 6 & 63] : '=';
      *to++ = '=';
      from += tail;
    }
    *to++ = '\r';
    *to++ = '\n';
    left -= lineBytes;
  }
}

void TDotStuffer::Append(std::string_view text, std::string& out) {
  while (!text.empty()) {
    if (atLineStart_ && text.front() == '.') out += '.';
    size_t newline = text.find('\n');
    size_t take = newline == std::string_view::npos ? text.size() : newline + 1;
    out.append(text.data(), take);
    atLineStart_ = newline != std::string_view::npos;
    text.remove_prefix(take);
  }
}

}  // namespace pithorama
