#include "pithorama/mail/QuotedPrintable.h"

namespace pithorama {
namespace {

constexpr size_t MaxLine = 76;  // characters before CR LF, a soft break's "=" included

bool IsLiteral(unsigned char c) {
  return (c >= 33 && c <= 126 && c != '=') || c == ' ' || c == '\t';
}

// Writes the encoded line (without its line break), adding soft breaks.
void AppendEncodedLine(std::string_view line, std::string& out) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  size_t column = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    auto c = static_cast<unsigned char>(line[i]);
    bool last = i + 1 == line.size();
    // A blank or tab that ends the line would be lost to trimming on the way.
    bool literal = IsLiteral(c) && !(last && (c == ' ' || c == '\t'));
    size_t width = literal ? 1 : 3;
    // Room for the soft break's "=" unless this is the line's last character.
    size_t limit = last ? MaxLine : MaxLine - 1;
    if (column + width > limit) {
      out += "=\r\n";
      column = 0;
    }
    if (literal) {
      out += static_cast<char>(c);
    } else {
      out += '=';
      out += Hex[c >> 4];
      out += Hex[c & 15];
    }
    column += width;
  }
}

}  // namespace

std::string EncodeQuotedPrintable(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  while (!text.empty()) {
    size_t lineFeed = text.find('\n');
    std::string_view line = text.substr(0, lineFeed);
    if (lineFeed != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    AppendEncodedLine(line, out);
    if (lineFeed == std::string_view::npos) break;
    out += "\r\n";
    text.remove_prefix(lineFeed + 1);
  }
  return out;
}

}  // namespace pithorama
