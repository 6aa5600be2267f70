// The byte rules of a quote, fed whole and fed one byte at a time.
#include <gtest/gtest.h>

#include <string>

#include "pithorama/store/QuoteDecoder.h"

namespace pithorama {
namespace {

struct DecodeCase {
  const char* what;
  std::string bytes;  // the quote's bytes, up to the end of the file
  TStringList lines;
  bool ended;       // a delimiter ended the quote
  size_t consumed;  // bytes used, the delimiter included
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.what; }

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

const DecodeCase decodeCases[] = {
    {"CR LF lines", "x\r\ny\r\n", {"x", "y"}, false, 6},
    {"plain CR lines", "x\ry\r", {"x", "y"}, false, 4},
    {"line feeds only end no line", "x\ny\n", {}, false, 4},
    {"text after the last CR is lost", "x\r\nlost", {"x"}, false, 7},
    {"a quote of one unended line", "only", {}, false, 4},
    {"tilde dropped inside a line", "a~b\r", {"ab"}, false, 4},
    {"a line of tildes vanishes", "~~~\r\nx\r", {"x"}, false, 7},
    {"bytes above 125 dropped", Bytes({'a', 127, 128, 255, 'b', 13}), {"ab"}, false, 6},
    {"a line of high bytes vanishes", Bytes({200, 201, 13}), {}, false, 3},
    {"one blank is an empty line", " \r\nx\r\n", {"x"}, false, 6},
    {"two blanks are kept", "  \r\n", {"  "}, false, 4},
    {"blanks are not trimmed", " a \r", {" a "}, false, 4},
    {"blank and closing brace are text", " }\r", {" }"}, false, 3},
    {"tab and control bytes dropped", Bytes({'a', 9, 'b', 31, 0, 'c', 13}), {"abc"}, false, 7},
    {"empty lines never delivered", "\r\r\n\r\nx\r\r", {"x"}, false, 8},
    {"a delimiter ends the quote", "x\r\n\x01y\r\n", {"x"}, true, 4},
    {"unended line lost at the delimiter", "x\r\ny\x01z\r", {"x"}, true, 5},
    {"a delimiter at once gives nothing", "\x01x\r", {}, true, 1},
    {"nothing at all", "", {}, false, 0},
};

class QuoteDecoderTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(QuoteDecoderTest, FedWhole) {
  const DecodeCase& c = GetParam();
  TStringList lines;
  TQuoteDecoder decoder(lines);
  EXPECT_EQ(decoder.Feed(c.bytes), c.consumed);
  EXPECT_EQ(decoder.Ended(), c.ended);
  EXPECT_EQ(lines, c.lines);
}

// Block borders must not change the result: every byte fed on its own.
TEST_P(QuoteDecoderTest, FedByteByByte) {
  const DecodeCase& c = GetParam();
  TStringList lines;
  TQuoteDecoder decoder(lines);
  size_t consumed = 0;
  for (char b : c.bytes) consumed += decoder.Feed(std::string_view(&b, 1));
  EXPECT_EQ(consumed, c.consumed);
  EXPECT_EQ(decoder.Ended(), c.ended);
  EXPECT_EQ(lines, c.lines);
}

INSTANTIATE_TEST_SUITE_P(Bytes, QuoteDecoderTest, ::testing::ValuesIn(decodeCases),
                         [](const auto& info) {
                           std::string name;
                           for (const char* p = info.param.what; *p; ++p)
                             name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return name;
                         });

}  // namespace
}  // namespace pithorama
