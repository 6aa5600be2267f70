// Turns fortune-style text (quotes separated by lines holding a single "%")
// into the bytes of QUOTES.DTA: 0x01 before each quote, each line followed by
// CR LF.
//
//   TQuoteConversion result = ConvertFortuneText(ReadAll("sayings.txt"));
//   Save("QUOTES.DTA", result.data);
//
// The data file's byte rules (see QuoteDecoder.h) decide what a reader gets
// back. The conversion keeps the text as it is where the rules allow: tabs
// become blanks up to the next multiple of 8, CR and 0x01 (which would end a
// line or a quote) are dropped, empty lines at the start and end of a quote
// are left out, and a quote of which a reader would get no line is not
// written. Any other line a reader would not get back unchanged (empty lines
// inside a quote, a tilde, bytes outside 32 to 125) is written as it is and
// counted in `changedLines`.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "pithorama/platform/Strings.h"

namespace pithorama {

struct TQuoteConversion {
  std::string data;
  size_t quotes = 0;         // quotes written
  size_t skippedQuotes = 0;  // quotes of which a reader would get nothing
  size_t changedLines = 0;   // lines written that a reader gets back changed or not at all
};

TQuoteConversion ConvertFortuneText(std::string_view text);

// The lines of one quote as a reader of the data file gets them back.
TStringList LinesAsRead(const TStringList& lines);

}  // namespace pithorama
