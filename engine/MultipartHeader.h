// One part of a multipart body as its header lines describe it, and the rule
// that reads one header line into it.
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

// Reads one header line (without its line end). The markers "name=\"",
// "filename=\"" and "Content-Type:" are matched exactly, each at its first
// occurrence, and one line may carry several. A content type is announced in
// `result` at once as Name, "_CONTENT_TYPE=", the encoded type and "&", so
// that entry comes before the part's own.
//
// The name search takes the first "name=\"", which in a line that puts
// filename before name is the file name's: browsers put name first.
void ApplyHeaderLine(std::string_view line, TPartHeader& part, std::string& result);

// What is left of a sent file name for the temporary file: the text after the
// last "/", "\" or ":" (a browser may send a full client path in either
// style), cut at MaxUploadNameLength bytes so that the name stays within
// what file systems allow. May be empty.
inline constexpr size_t MaxUploadNameLength = 100;
std::string UploadBaseName(std::string_view sentName);

}  // namespace pithorama
