// The byte rules of one quote of QUOTES.DTA. A quote runs from the byte after
// a 0x01 delimiter up to the next 0x01 or the end of the file. A carriage
// return (13) ends a line; only the bytes 32 to 125 are text and every other
// byte (line feed, tab, tilde, 127 to 255) is dropped; a line of exactly one
// blank counts as empty; empty lines are never delivered; text after the last
// carriage return of the quote is lost.
//
//   TStringList lines;
//   TQuoteDecoder decoder(lines);
//   while (!decoder.Ended() && (block = NextBlock()).size() > 0) decoder.Feed(block);
//
// The decoder reads from whatever byte source its caller has (a file, a span
// in a test or a fuzzer) and keeps nothing but the line being built.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "pithorama/platform/Strings.h"

namespace pithorama {

inline constexpr char QuoteDelimiter = 0x01;

class TQuoteDecoder {
 public:
  // Completed lines are appended to `lines`, which must outlive the decoder.
  explicit TQuoteDecoder(TStringList& lines) : lines_(lines) {}

  // Feeds the next bytes of the quote and answers how many were used: all of
  // them, or fewer when a delimiter ended the quote (the delimiter counts as
  // used). Bytes fed after the end are ignored.
  size_t Feed(std::string_view bytes);
  bool Ended() const { return ended_; }

 private:
  void EndLine();

  TStringList& lines_;
  std::string current_;
  bool ended_ = false;
};

}  // namespace pithorama
