// The request and answer records of the hosts, and the reader of a program's
// own answer head.
#include <algorithm>
#include <cstring>

#include "tools/httphost/HttpHost.h"

namespace httphost {

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return LowerAscii(x) == LowerAscii(y);
         });
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// "HTTP/1.0 302 Found": the status number, or 0 when the line is no status line.
int StatusOfLine(std::string_view line) {
  if (line.substr(0, 5) != "HTTP/") return 0;
  size_t blank = line.find(' ');
  if (blank == std::string_view::npos || line.size() < blank + 4) return 0;
  int status = 0;
  for (size_t i = blank + 1; i < blank + 4; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    status = status * 10 + (line[i] - '0');
  }
  return status >= 100 ? status : 0;
}

// A header line holds a colon after a name that starts with a visible
// character. Blanks inside the name are taken, as web servers take them from
// programs ("Document Expires:").
bool IsHeaderLine(std::string_view line) {
  size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos || line[0] == ' ' || line[0] == '\t')
    return false;
  return std::none_of(line.begin(), line.begin() + static_cast<long>(colon),
                      [](char c) { return c >= 0 && c < ' ' && c != '\t'; });
}

}  // namespace

std::string TRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : Headers)
    if (SameText(key, name)) return value;
  return {};
}

size_t TRequest::ReadBody(void* into, size_t count) {
  size_t n = std::min(count, Body.size() - bodyRead_);
  if (n > 0) std::memcpy(into, Body.data() + bodyRead_, n);
  bodyRead_ += n;
  return n;
}

void TRequest::SkipBody(size_t count) { bodyRead_ += std::min(count, Body.size() - bodyRead_); }

std::string TRequest::HeadText() const {
  size_t size = Method.size() + Target.size() + Version.size() + 6;
  for (const auto& [key, value] : Headers) size += key.size() + value.size() + 4;
  std::string head;
  head.reserve(size);
  head.append(Method).append(" ").append(Target).append(" ").append(Version).append("\r\n");
  for (const auto& [key, value] : Headers)
    head.append(key).append(": ").append(value).append("\r\n");
  head.append("\r\n");
  return head;
}

void TAnswer::SetFromProgramOutput(std::string_view output) {
  Status = 200;
  Headers.clear();
  Body.clear();
  size_t position = 0;
  bool first = true;
  while (position < output.size()) {
    size_t end = output.find('\n', position);
    if (end == std::string_view::npos) break;  // a head always ends in an empty line
    std::string_view line = output.substr(position, end - position);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) {
      if (first) break;  // no head at all
      Body.assign(output.substr(end + 1));
      return;
    }
    if (first && StatusOfLine(line) != 0) {
      Status = StatusOfLine(line);
    } else if (IsHeaderLine(line)) {
      size_t colon = line.find(':');
      AddHeader(std::string(line.substr(0, colon)), std::string(Trim(line.substr(colon + 1))));
    } else {
      break;
    }
    first = false;
    position = end + 1;
  }
  // Not a head: everything is body.
  Status = 200;
  Headers.clear();
  Body.assign(output);
}

std::string DecodePath(std::string_view path) {
  std::string result;
  result.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    int high = 0, low = 0;
    if (path[i] == '%' && i + 2 < path.size() && (high = HexValue(path[i + 1])) >= 0 &&
        (low = HexValue(path[i + 2])) >= 0) {
      result += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      result += path[i];
    }
  }
  return result;
}

bool IsFramingHeader(std::string_view name) {
  return SameText(name, "content-length") || SameText(name, "transfer-encoding") ||
         SameText(name, "connection");
}

}  // namespace httphost
