// The pieces of a mail's text: the header block made from a template, body
// entries, attachment lines and base64 (RFC 2045, 6.8). Each function works on
// strings only, so the sender and the tests share them.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "pithorama/platform/Paths.h"
#include "pithorama/platform/Strings.h"

namespace pithorama {

// The boundary between the parts of a message with attachments.
inline constexpr std::string_view MimeBoundary = "64fd12hzzZ146r703k319Ap";

// Replaces the first occurrence of placeholder (upper case) in text, matched
// without regard to case; the text after it is kept whole.
std::string ReplacePlaceholder(std::string_view text, std::string_view placeholder,
                               std::string_view value);

// Sorts the template's lines: with attachments, lines that begin with
// "CONTENT" (any case) go to contentLines, to be written under the first
// boundary; a "CC:" line with the %MAILCC% placeholder is left out when there
// are no copy recipients; every other line goes to header. Each line gets CR LF.
void SplitHeaderTemplate(const TStringList& mailHeader, bool hasAttachments, bool ccEmpty,
                         std::string& header, std::string& contentLines);

// Calls write for the text between entries and entry for each entry: a "%",
// a name without blanks, a "%". A "%" that starts no entry is written as text.
void ExpandBodyEntries(std::string_view body, const std::function<void(std::string_view)>& write,
                       const std::function<void(const std::string&)>& entry);

// An attachment line is a path, or a display name followed by the path in
// angle brackets. The file name is the base name of the display name in the
// given path style (after its last "/" on POSIX, its last "\" or ":" on
// Windows), so that no folder of the sending machine shows in the mail.
struct TAttachmentLine {
  std::string DisplayName;
  std::string Path;
  std::string FileName;
};
TAttachmentLine ParseAttachmentLine(std::string_view line,
                                    const PathStyle& style = HostPathStyle());

// Encodes data as base64 lines of 60 characters, each followed by CR LF, and
// appends them to out. Every call but the last must pass a multiple of 45
// bytes (one whole line); the last line may be shorter, and no data gives none.
void AppendBase64Lines(std::string_view data, std::string& out);
constexpr size_t Base64LineBytes = 45;

// Doubles a "." that begins a line of the DATA text (RFC 5321, 4.5.2), across
// calls: a line may begin in one piece and go on in the next.
class TDotStuffer {
 public:
  // Starts a new text: its first byte begins a line.
  void Reset() { atLineStart_ = true; }
  void Append(std::string_view text, std::string& out);

 private:
  bool atLineStart_ = true;
};

}  // namespace pithorama
