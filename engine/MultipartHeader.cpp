#include "engine/MultipartHeader.h"

#include "engine/HttpText.h"
#include "platform/Strings.h"

namespace pithorama {

// The text after `marker` up to the next double quote (or the line's end).
static bool QuotedAfter(std::string_view line, std::string_view marker, std::string& value) {
  const size_t pos = line.find(marker);
  if (pos == std::string_view::npos) return false;
  std::string_view rest = line.substr(pos + marker.size());
  value = Trim(rest.substr(0, rest.find('"')));
  return true;
}

void ApplyHeaderLine(std::string_view line, TPartHeader& part, std::string& result) {
  QuotedAfter(line, "name=\"", part.Name);
  QuotedAfter(line, "filename=\"", part.FileName);
  static constexpr std::string_view kContentType = "Content-Type:";
  const size_t pos = line.find(kContentType);
  if (pos != std::string_view::npos) {
    std::string_view rest = line.substr(pos + kContentType.size());
    part.ContentType = std::string(rest.substr(0, rest.find(';')));
    result += part.Name;
    result += "_CONTENT_TYPE=";
    result += UrlEncode(part.ContentType);
    result += '&';
  }
}

std::string UploadBaseName(std::string_view sentName) {
  const size_t separator = sentName.find_last_of("/\\:");
  std::string_view name =
      separator == std::string_view::npos ? sentName : sentName.substr(separator + 1);
  return std::string(name.substr(0, MaxUploadNameLength));
}

}  // namespace pithorama
