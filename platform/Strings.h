// Byte-string helpers used throughout the system. Text is 8-bit: upper-casing
// touches only the ASCII letters, trimming removes bytes of code 32 and below.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pithorama {

// A list of text lines, owned by whoever holds it.
using TStringList = std::vector<std::string>;

std::string UpperCase(std::string_view text);
std::string Trim(std::string_view text);
std::string TrimLeft(std::string_view text);
std::string TrimRight(std::string_view text);
bool Contains(std::string_view text, std::string_view part);

// Makes room in `text` for `needed` bytes when it has less: the room doubles,
// but never past `most` (and never below `needed`), and is allocated exactly,
// where std::string::reserve may round a request up to twice the old room.
// For a text that grows in pieces towards a known largest size, so that it is
// not held twice over at the end.
void GrowRoom(std::string& text, size_t needed, size_t most);

// Decimal conversion as the run-time library does it: optional blanks and sign,
// decimal digits, or "$"/"0x" followed by hexadecimal digits. Throws
// EConvertError("'<text>' is not a valid integer value") on anything else or
// on a value outside 32 bits.
int32_t StrToInt(std::string_view text);
// Like StrToInt, but answers fallback instead of throwing.
int32_t StrToIntDef(std::string_view text, int32_t fallback);

}  // namespace pithorama
