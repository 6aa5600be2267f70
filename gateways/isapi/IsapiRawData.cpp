#include "pithorama/gateways/isapi/IsapiRawData.h"

#include "pithorama/platform/Strings.h"

namespace pithorama {

namespace {

constexpr size_t kMaxCookieText = 4096;

// One line of the walk: from `position` to the next line feed or zero byte.
// Answers the line and moves `position` past its end (to data.size() when the
// data ends without one).
std::string_view NextLine(std::string_view data, size_t& position) {
  size_t end = data.find_first_of(std::string_view("\n\0", 2), position);
  if (end == std::string_view::npos) end = data.size();
  std::string_view line = data.substr(position, end - position);
  position = end < data.size() ? end + 1 : end;
  return line;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

TRawRequestScan ScanRawRequest(std::string_view data) {
  TRawRequestScan scan;
  size_t position = 0;
  const std::string requestLine = Trim(NextLine(data, position));
  std::string query;
  size_t question = requestLine.find('?', 1);
  if (question != std::string::npos) {
    query = requestLine.substr(question + 1);
    query = query.substr(0, query.find(' '));
  }
  scan.RequestContent = query;
  if (!StartsWith(UpperCase(requestLine), "POST")) return scan;

  bool urlEncoded = false;
  while (position < data.size()) {
    const bool endedByZero = position > 0 && data[position - 1] == '\0';
    if (endedByZero) return scan;  // the data ended early: no body follows
    const std::string line = Trim(NextLine(data, position));
    if (line.empty()) break;
    const std::string upper = UpperCase(line);
    if (StartsWith(upper, "CONTENT-TYPE:") && Contains(upper, "URLENCODED")) urlEncoded = true;
    if (StartsWith(upper, "COOKIE:")) scan.CookieText = line.substr(7, kMaxCookieText);
  }
  if (!urlEncoded) return scan;
  std::string_view rest = data.substr(position);
  rest = rest.substr(0, rest.find('\0'));
  scan.RequestContent = Trim(rest);
  if (!query.empty()) scan.RequestContent += "&" + query;
  return scan;
}

}  // namespace pithorama
