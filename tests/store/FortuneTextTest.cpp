// Fortune-style text to QUOTES.DTA: the exact bytes written, and what a reader
// of the data file gets back (the shipped data included).
#include <gtest/gtest.h>

#include "StoreFixture.h"
#include "pithorama/store/FortuneText.h"

namespace pithorama::test {
namespace {

struct ConvertCase {
  const char* what;
  std::string text;
  std::string data;
  size_t quotes, skipped, changed;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const ConvertCase& c, std::ostream* os) { *os << c.what; }

const ConvertCase convertCases[] = {
    {"two quotes", "a\nb\n%\nc\n%\n",
     "\x01"
     "a\r\nb\r\n\x01"
     "c\r\n",
     2, 0, 0},
    {"no final separator", "a\n%\nc",
     "\x01"
     "a\r\n\x01"
     "c\r\n",
     2, 0, 0},
    {"CR LF input", "a\r\n%\r\nc\r\n",
     "\x01"
     "a\r\n\x01"
     "c\r\n",
     2, 0, 0},
    {"tabs to blanks at stops of 8", "\tx\nab\tc\n", "\x01        x\r\nab      c\r\n", 1, 0, 0},
    {"delimiter and lone CR dropped",
     "a\x01"
     "b\rc\n",
     "\x01"
     "abc\r\n",
     1, 0, 0},
    {"outer empty lines left out", "\n\na\n\n\n%\n",
     "\x01"
     "a\r\n",
     1, 0, 0},
    {"inner empty line kept, counted", "a\n\nb\n",
     "\x01"
     "a\r\n\r\nb\r\n",
     1, 0, 1},
    {"tilde kept, counted", "a~b\n",
     "\x01"
     "a~b\r\n",
     1, 0, 1},
    {"one blank counted", "a\n \n",
     "\x01"
     "a\r\n \r\n",
     1, 0, 1},
    {"unreadable quote left out", "~~~\n%\nok\n",
     "\x01"
     "ok\r\n",
     1, 1, 0},
    {"separators only", "%\n%\n%\n", "", 0, 0, 0},
    {"percent inside a line is text", "100% sure\n%%\n",
     "\x01"
     "100% sure\r\n%%\r\n",
     1, 0, 0},
    {"empty text", "", "", 0, 0, 0},
};

class ConvertTest : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(ConvertTest, Bytes) {
  const ConvertCase& c = GetParam();
  TQuoteConversion result = ConvertFortuneText(c.text);
  EXPECT_EQ(result.data, c.data);
  EXPECT_EQ(result.quotes, c.quotes);
  EXPECT_EQ(result.skippedQuotes, c.skipped);
  EXPECT_EQ(result.changedLines, c.changed);
}

INSTANTIATE_TEST_SUITE_P(Text, ConvertTest, ::testing::ValuesIn(convertCases),
                         [](const auto& info) {
                           std::string name;
                           for (const char* p = info.param.what; *p; ++p)
                             name += std::isalnum(*p) ? *p : '_';
                           return name;
                         });

class FortuneRoundTrip : public StoreTest {
 protected:
  // Every quote, picked from the written files, reads back as its text lines.
  void ExpectEveryQuoteReadsBack(const std::string& data,
                                 const std::vector<TStringList>& expected) {
    WriteData(data);
    ASSERT_TRUE(BuildQuoteIndex());
    const std::string index = ReadWholeFile(IndexPath());
    ASSERT_EQ(index.size(), expected.size() * 4);
    for (size_t i = 0; i < expected.size(); ++i) {
      SCOPED_TRACE(i);
      WriteWholeFile(IndexPath(), index.substr(i * 4, 4));  // a one-record index picks quote i
      TStringList quote;
      GetRandomQuote(quote);
      EXPECT_EQ(quote, expected[i]);
    }
  }
};

TEST_F(FortuneRoundTrip, PlainQuotesReadBackUnchanged) {
  const std::string text =
      "First line\n  indented line\n\t-- Someone\n%\n{braces} and [brackets]\n%\n"
      "Punctuation !\"#$&'()*+,-./:;<=>?@\\^_`|}\n";
  TQuoteConversion result = ConvertFortuneText(text);
  EXPECT_EQ(result.changedLines, 0u);
  ExpectEveryQuoteReadsBack(result.data, {{"First line", "  indented line", "        -- Someone"},
                                          {"{braces} and [brackets]"},
                                          {"Punctuation !\"#$&'()*+,-./:;<=>?@\\^_`|}"}});
}

TEST_F(FortuneRoundTrip, ShippedDataMatchesItsSourceAndReadsBack) {
  const std::string dir = PITHORAMA_SOURCE_DIR "/app/data/";
  const std::string text = ReadWholeFile(dir + "quotes.txt");
  TQuoteConversion result = ConvertFortuneText(text);
  EXPECT_EQ(ReadWholeFile(dir + "QUOTES.DTA"), result.data) << "QUOTES.DTA is stale: run mkquotes";
  EXPECT_EQ(result.changedLines, 0u);
  EXPECT_EQ(result.skippedQuotes, 0u);

  std::vector<TStringList> expected(1);
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    if (line == "%") {
      expected.emplace_back();
    } else {
      std::string clean;
      for (char c : line) c == '\t' ? clean.append(8 - clean.size() % 8, ' ') : clean.append(1, c);
      expected.back().push_back(clean);
    }
  }
  if (expected.back().empty()) expected.pop_back();
  ExpectEveryQuoteReadsBack(result.data, expected);
}

}  // namespace
}  // namespace pithorama::test
