#include "pithorama/engine/multipart/MultipartHeader.h"

#include "pithorama/platform/Strings.h"

namespace pithorama {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && UpperCase(a) == UpperCase(b);
}

// Skips blanks from `pos` on.
size_t SkipBlanks(std::string_view text, size_t pos) {
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  return pos;
}

}  // namespace

bool HeaderParameter(std::string_view headerValue, std::string_view name, std::string& value) {
  // The parameters follow the first ";"; the type before it is no parameter.
  size_t pos = headerValue.find(';');
  while (pos != std::string_view::npos && pos < headerValue.size()) {
    pos = SkipBlanks(headerValue, pos + 1);
    const size_t nameEnd = headerValue.find_first_of("=;", pos);
    const std::string found = Trim(headerValue.substr(pos, nameEnd - pos));
    if (nameEnd == std::string_view::npos) return false;
    if (headerValue[nameEnd] == ';') {  // a parameter without a value
      pos = nameEnd;
      continue;
    }
    pos = SkipBlanks(headerValue, nameEnd + 1);
    size_t valueEnd;
    std::string_view text;
    if (pos < headerValue.size() && headerValue[pos] == '"') {
      valueEnd = headerValue.find('"', pos + 1);
      text = headerValue.substr(pos + 1, valueEnd == std::string_view::npos ? std::string_view::npos
                                                                            : valueEnd - pos - 1);
      if (valueEnd != std::string_view::npos) valueEnd = headerValue.find(';', valueEnd);
    } else {
      valueEnd = headerValue.find(';', pos);
      text = headerValue.substr(
          pos, valueEnd == std::string_view::npos ? std::string_view::npos : valueEnd - pos);
      text = text.substr(0, text.find_first_of(" \t"));
    }
    if (SameText(found, name)) {
      value = std::string(text);
      return true;
    }
    pos = valueEnd;
  }
  return false;
}

void ApplyHeaderLine(std::string_view line, TPartHeader& part) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  const std::string headerName = Trim(line.substr(0, colon));
  const std::string_view headerValue = line.substr(colon + 1);
  if (SameText(headerName, "Content-Disposition")) {
    std::string value;
    if (HeaderParameter(headerValue, "name", value)) part.Name = Trim(value);
    if (HeaderParameter(headerValue, "filename", value)) part.FileName = Trim(value);
  } else if (SameText(headerName, "Content-Type")) {
    part.ContentType = std::string(headerValue.substr(0, headerValue.find(';')));
  }
}

std::string MultipartBoundary(std::string_view contentType) {
  std::string boundary;
  if (!HeaderParameter(contentType, "boundary", boundary) || boundary.size() > MaxBoundary)
    return {};
  return boundary;
}

std::string UploadBaseName(std::string_view sentName) {
  const size_t separator = sentName.find_last_of("/\\:");
  std::string_view name =
      separator == std::string_view::npos ? sentName : sentName.substr(separator + 1);
  return std::string(name.substr(0, MaxUploadNameLength));
}

}  // namespace pithorama
