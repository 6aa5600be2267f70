// One part of a multipart body as its header lines describe it, the rules that
// read a header line into it, and the boundary parameter of the body's
// content type.
#pragma once

#include <string>
#include <string_view>

namespace pithorama {

struct TPartHeader {
  std::string Name;         // empty: the part adds no field
  std::string FileName;     // as sent, folders included; empty: not an upload
  std::string ContentType;  // as sent after "Content-Type:", leading blank included
};

// The longest header line kept; the rest of a longer line is skipped.
inline constexpr size_t MaxHeaderLine = 2047;

// Reads one header line (without its line end) into `part`. Header names are
// compared without regard to case (RFC 7578 bodies come from browsers, curl
// and libraries that differ in case). Content-Disposition gives the name and
// filename parameters, in any order, quoted or as tokens, both trimmed;
// Content-Type gives the text after its colon up to a ";" or the line's end.
// Other lines are ignored.
void ApplyHeaderLine(std::string_view line, TPartHeader& part);

// The value of the parameter `name` (compared without regard to case) in a
// header value of the form "type; name=value; ...", or false when there is
// none. A quoted value runs to the next double quote: a backslash in it is
// kept as it stands, since browsers send a Windows client path unescaped. A
// token runs to the next ";" or blank.
bool HeaderParameter(std::string_view headerValue, std::string_view name, std::string& value);

// The longest boundary taken; RFC 2046 allows 1 to 70 characters.
inline constexpr size_t MaxBoundary = 252;

// The boundary parameter of a multipart content type, or empty when it has
// none or one longer than MaxBoundary.
std::string MultipartBoundary(std::string_view contentType);

// What is left of a sent file name for the temporary file: the text after the
// last "/", "\" or ":" (a browser may send a full client path in either
// style), cut at MaxUploadNameLength bytes so that the name stays within
// what file systems allow. May be empty.
inline constexpr size_t MaxUploadNameLength = 100;
std::string UploadBaseName(std::string_view sentName);

}  // namespace pithorama
