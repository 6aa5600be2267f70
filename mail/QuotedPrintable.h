// The quoted-printable body encoding (RFC 2045, 6.7), for text whose header
// declares it:
//
//   EncodeQuotedPrintable("if (a==b) \r\n") == "if (a=3D=3Db)=20\r\n"
//
// Line breaks of the text (CR LF, or a bare LF) become CR LF; every other byte
// outside the printable ASCII range, "=" and a blank or tab before a line
// break are written as "=XX"; lines longer than 76 characters are cut by soft
// breaks ("=" at the end of the line), never inside an "=XX".
#pragma once

#include <string>
#include <string_view>

namespace pithorama {

std::string EncodeQuotedPrintable(std::string_view text);

}  // namespace pithorama
