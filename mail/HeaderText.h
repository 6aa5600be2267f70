// Header text that servers take and readers show as written (RFC 5322, RFC
// 2047): values without line breaks, 8-bit text as encoded words in the
// message's declared charset, long lines folded, and the Date field.
//
//   HeaderText("Gr\xFC\xDF" "e", "iso-8859-1") == "=?iso-8859-1?Q?Gr=FC=DFe?="
//   FoldHeaderLines("To: <a@x.org>,<b@x.org>,...\r\n")  // "To: <a@x.org>,\r\n <b@x.org>,..."
#pragma once

#include <string>
#include <string_view>

#include "pithorama/platform/DateTime.h"
#include "pithorama/platform/Strings.h"

namespace pithorama {

// The charset named by the template's Content-Type line, or "iso-8859-1",
// the system's own, when none is named.
std::string DeclaredCharset(const TStringList& mailHeader);
// True when the template's Content-Transfer-Encoding line names
// quoted-printable.
bool DeclaresQuotedPrintable(const TStringList& mailHeader);

// Text as encoded words of at most 75 characters each, separated by blanks
// (RFC 2047, Q encoding with the characters that are safe in any header).
std::string EncodeWords(std::string_view text, std::string_view charset);

// An unstructured value such as a subject: line ends become blanks, so that
// the value cannot start a header line of its own; text that a reader could
// not show as written (8-bit bytes, "=?", words too long for one line)
// becomes encoded words.
std::string HeaderText(std::string_view text, std::string_view charset);

// The list in header form, as FormatAddressList writes it, with 8-bit names
// as encoded words.
std::string FormatHeaderAddressList(std::string_view list, std::string_view charset);

// Folds every line of a header block (lines ending in CR LF) that is longer
// than 78 characters: before a blank or tab, and in address fields also after
// a comma between two addresses. Unfolding gives back the original lines.
std::string FoldHeaderLines(std::string_view header);

// True when the header block holds a field of that name (any case).
bool HasHeaderField(std::string_view header, std::string_view name);

// "Thu, 10 Dec 2026 12:16:33 +0100" for a local time that lies
// localToUtcMinutes behind UTC (UTC = local + localToUtcMinutes).
std::string FormatMailDate(TDateTime local, int localToUtcMinutes);

// A new message identifier "<unique@domain>" (RFC 5322, 3.6.4): the time and
// 64 random bits make it unique.
std::string NewMessageId(std::string_view domain);

}  // namespace pithorama
