// Stateless text routines of the request engine: URL coding, the field look-up
// in url-encoded text, the HTTP date, the environment reader and the path
// builder. All text is 8-bit; positions are byte positions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "pithorama/platform/DateTime.h"
#include "pithorama/platform/Paths.h"

namespace pithorama {

// The value that does not exist at all, as distinct from an empty one.
inline constexpr std::string_view NotAvailable = "#1NOT_AVAILABLE#1";

bool IsHexDigit(char c);

// "%hh" (two hexadecimal digits, either case) becomes the byte, "+" a blank;
// a "%" without two digits stays as it is. The result is never longer.
std::string UrlDecode(std::string_view text);

// A blank becomes "+"; ".", "/", "\", digits and ASCII letters are kept; every
// other byte becomes "%" and two upper-case hexadecimal digits.
std::string UrlEncode(std::string_view text);
// The length of UrlEncode(text), and UrlEncode(text) appended to `out`, for
// callers that encode a large value in pieces into a text of their own.
size_t UrlEncodedLength(std::string_view text);
void AppendUrlEncoded(std::string& out, std::string_view text);

// Calls piece(name, value) for each "&"-separated piece of url-encoded text,
// in order, both still encoded: the name is the text before the piece's first
// "=", the value the text after it. A piece without "=" is a field of its own
// named by the whole piece, with an empty value (a bare "flag" in "flag&page=2"
// must not swallow the field after it). Empty pieces are skipped.
template <typename Piece>
void ForEachFieldPiece(std::string_view text, Piece&& piece) {
  for (size_t start = 0; start < text.size();) {
    size_t amp = text.find('&', start);
    if (amp == std::string_view::npos) amp = text.size();
    const std::string_view field = text.substr(start, amp - start);
    if (!field.empty()) {
      const size_t equals = field.find('=');
      if (equals == std::string_view::npos)
        piece(field, std::string_view());
      else
        piece(field.substr(0, equals), field.substr(equals + 1));
    }
    start = amp + 1;
  }
}

// The value of the field `name` in url-encoded `text` (names compared
// case-insensitively and trimmed), URL-decoded and trimmed; the values of a
// field that occurs several times joined by CR LF; `defaultValue` when absent.
// One pass over the text; a request that looks up many fields uses
// TFormFields instead, which decodes them once.
std::string GetFieldValue(std::string_view name, std::string_view text,
                          std::string_view defaultValue);

// The server's name of a variable asked for in the engine's words: upper
// case, blanks as "_" ("server software" is SERVER_SOFTWARE), and the
// executable path is SCRIPT_NAME.
std::string CgiVariableName(std::string_view name);
// The same into `key`, whose room is used again: a caller that keeps one
// key for its look-ups makes no allocation for the name.
void AssignCgiVariableName(std::string& key, std::string_view name);

// The value of the cookie `name` in a Cookie header's text (GetCookie), as
// RFC 6265 section 5.4 sends it: "name=value" pairs separated by ";" and
// blanks. Names compare exactly (case matters); the first pair of the name
// wins; a value in double quotes loses them. nullopt when there is no such
// cookie, so that an empty value can be told from a missing one.
std::optional<std::string> CookieValue(std::string_view cookieHeader, std::string_view name);

// Request values put into a page as text, never as markup: "<", ">", "&" and
// '"' become "&lt;", "&gt;", "&amp;" and "&quot;"; every other byte stays. The
// result is safe between tags and inside a double-quoted attribute value.
std::string HtmlEscape(std::string_view text);
// HtmlEscape, and "'" becomes "&#39;" too: safe inside an attribute value in
// either kind of quotes.
std::string HtmlAttributeEscape(std::string_view text);

// A token of RFC 9110 (section 5.6.2): one or more of the letters, digits and
// !#$%&'*+-.^_`|~ that a header name or a cookie name is made of.
bool IsHttpToken(std::string_view text);

// The usual reason phrase of an HTTP status code ("Not Found" for 404, as in
// RFC 9110); empty for a code that has none.
std::string_view HttpReasonPhrase(int code);

// "Sun,  06 Nov 1994 08:49:37 GMT" for a local date-time: the local time is
// moved to GMT with the zone offset in force at that date. Note the two blanks
// after the comma.
std::string HttpDate(TDateTime localTime);

// The environment variable's value, or empty when absent. "SERVER_SOFTWARE"
// (this case) whose value holds "ZB" (this case) reads as empty: such a server
// counts as no CGI server.
std::string GetEnvVar(std::string_view name);

// Builds a file name from a base file, a folder and a file name; see the
// definition for the rules. `style` names the path delimiter and the absolute
// path test (the host style by default).
std::string BuildFileName(std::string_view baseFile, std::string_view folder, bool keepBaseName,
                          std::string_view fileName, bool keepBaseExtension,
                          std::string_view newExtension, const PathStyle& style = HostPathStyle());

}  // namespace pithorama
