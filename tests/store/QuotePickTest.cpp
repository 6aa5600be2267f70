// Picking a quote: which record a draw chooses, the 19 attempts, the files'
// error rules and a broken or stale index.
#include <system_error>

#include "StoreFixture.h"
#include "pithorama/platform/Errors.h"
#include "pithorama/platform/Paths.h"
#include "pithorama/platform/Random.h"

namespace pithorama::test {
namespace {

const std::string twoQuotes = "\x01x\r\ny\r\n\x01z\r\n";

// The seed after `draws` draws from `seed`, by the generator's own rule.
uint32_t SeedAfter(uint32_t seed, int draws) {
  for (int i = 0; i < draws; ++i) seed = seed * 134775813u + 1u;
  return seed;
}

uint32_t RecordDrawn(uint32_t seed, uint32_t count) {
  return static_cast<uint32_t>((uint64_t{SeedAfter(seed, 1)} * count) >> 32);
}

TEST_F(StoreTest, PickDeliversTheDrawnRecord) {
  WriteData(twoQuotes);
  const TStringList expected[] = {{"x", "y"}, {"z"}};
  bool seen[2] = {false, false};
  for (uint32_t seed : {0u, 1u, 2u, 3u, 12345u, 86399999u, 0xffffffffu}) {
    SCOPED_TRACE(seed);
    SetRandSeed(seed);
    TStringList quote{"left over"};
    GetRandomQuote(quote);
    uint32_t record = RecordDrawn(seed, 2);
    EXPECT_EQ(quote, expected[record]);
    EXPECT_EQ(RandSeed(), SeedAfter(seed, 1));  // one draw for a good first record
    seen[record] = true;
  }
  EXPECT_TRUE(seen[0] && seen[1]);
}

TEST_F(StoreTest, MissingIndexIsBuiltByThePick) {
  WriteData(twoQuotes);
  TStringList quote;
  GetRandomQuote(quote);
  EXPECT_FALSE(quote.empty());
  EXPECT_EQ(ReadWholeFile(IndexPath()), IndexBytes({0, 7}));
}

TEST_F(StoreTest, StaleIndexIsUsedUntilDeleted) {
  WriteData(twoQuotes);
  ASSERT_TRUE(BuildQuoteIndex());
  WriteData("\x01new\r\n");
  TStringList quote;
  SetRandSeed(0);  // record 0: offset 0 still holds a delimiter
  GetRandomQuote(quote);
  EXPECT_EQ(quote, TStringList{"new"});
  EXPECT_EQ(ReadWholeFile(IndexPath()), IndexBytes({0, 7}));
  DeleteFile(IndexPath());
  GetRandomQuote(quote);
  EXPECT_EQ(ReadWholeFile(IndexPath()), IndexBytes({0}));
}

// An index that can never give a record: exactly 19 draws, then an empty list.
TEST_F(StoreTest, EmptyIndexGivesUpAfterNineteenDraws) {
  WriteData("no delimiter\r\n");
  for (uint32_t seed : {7u, 99u}) {
    SetRandSeed(seed);
    TStringList quote{"left over"};
    GetRandomQuote(quote);
    EXPECT_TRUE(quote.empty());
    EXPECT_EQ(RandSeed(), SeedAfter(seed, 19));
  }
}

TEST_F(StoreTest, NoFilesRaisesOnceThenAnswersEmpty) {
  TStringList quote;
  try {
    GetRandomQuote(quote);
    FAIL() << "no error raised";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode(), static_cast<int>(std::errc::no_such_file_or_directory));
  }
  EXPECT_EQ(ReadWholeFile(IndexPath()), "");
  EXPECT_NO_THROW(GetRandomQuote(quote));
  EXPECT_TRUE(quote.empty());
}

TEST_F(StoreTest, IndexThatCannotBeCreatedAnswersEmpty) {
  QuoteDir = folder_.Dir() + "missing/";
  TStringList quote{"left over"};
  EXPECT_NO_THROW(GetRandomQuote(quote));
  EXPECT_TRUE(quote.empty());
}

// A folder where the index should be: it can be neither built nor read.
TEST_F(StoreTest, FolderInPlaceOfTheIndexAnswersEmpty) {
  WriteData(twoQuotes);
  std::filesystem::create_directory(IndexPath());
  TStringList quote{"left over"};
  EXPECT_NO_THROW(GetRandomQuote(quote));
  EXPECT_TRUE(quote.empty());
}

struct BrokenIndexCase {
  const char* what;
  std::string data;
  std::vector<int32_t> offsets;
  std::string tail;  // bytes after the records
  TStringList quote;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const BrokenIndexCase& c, std::ostream* os) { *os << c.what; }

class BrokenIndexTest : public StoreTest, public ::testing::WithParamInterface<BrokenIndexCase> {};

// A single record (or a whole one plus a torn one) so the draw is certain.
TEST_P(BrokenIndexTest, NoCrashNoErrorBoundedResult) {
  const BrokenIndexCase& c = GetParam();
  WriteData(c.data);
  WriteIndex(c.offsets, c.tail);
  for (uint32_t seed : {0u, 5u, 0xdeadbeefu}) {
    SetRandSeed(seed);
    TStringList quote{"left over"};
    EXPECT_NO_THROW(GetRandomQuote(quote));
    EXPECT_EQ(quote, c.quote);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Index, BrokenIndexTest,
    ::testing::Values(
        BrokenIndexCase{"offset past the end", twoQuotes, {1000}, "", {}},
        BrokenIndexCase{"offset of the last byte", twoQuotes, {10}, "", {}},
        BrokenIndexCase{"largest offset", twoQuotes, {INT32_MAX}, "", {}},
        BrokenIndexCase{"offset minus one", twoQuotes, {-1}, "", {}},
        BrokenIndexCase{"negative offset", twoQuotes, {-70000}, "", {}},
        BrokenIndexCase{"most negative offset", twoQuotes, {INT32_MIN}, "", {}},
        BrokenIndexCase{"delimiter is the last byte", "\x01x\r\n\x01", {5}, "", {}},
        BrokenIndexCase{"size not a multiple of 4", twoQuotes, {7}, "\x01\x02", {"z"}},
        BrokenIndexCase{"only a torn record", twoQuotes, {}, "\x07\x00", {}},
        BrokenIndexCase{"offset not at a delimiter", twoQuotes, {1}, "", {"y"}},
        BrokenIndexCase{
            "text in front of the first delimiter", "lead\r\n\x01q\r\n", {6}, "", {"q"}}),
    [](const auto& info) {
      std::string name;
      for (const char* p = info.param.what; *p; ++p) name += std::isalnum(*p) ? *p : '_';
      return name;
    });

TEST_F(StoreTest, OverlongQuoteIsNotDelivered) {
  std::string data = "\x01";
  while (data.size() <= MaxQuoteBytes + 10) data += "a line of a very long quote\r\n";
  WriteData(data);
  TStringList quote{"left over"};
  GetRandomQuote(quote);
  EXPECT_TRUE(quote.empty());
}

TEST_F(StoreTest, QuoteAcrossReadBlocksIsWhole) {
  std::string data = "\x01";
  TStringList expected;
  for (int i = 0; i < 2000; ++i) {
    expected.push_back("line " + std::to_string(i));
    data += expected.back() + "\r\n";
  }
  WriteData(data + "\x01tail\r\n");
  WriteIndex({0});
  TStringList quote;
  GetRandomQuote(quote);
  EXPECT_EQ(quote, expected);
}

TEST_F(StoreTest, SameSeedSamePick) {
  std::string data;
  for (int i = 0; i < 50; ++i) data += "\x01quote " + std::to_string(i) + "\r\n";
  WriteData(data);
  TStringList first, second;
  SetRandSeed(4242);
  GetRandomQuote(first);
  SetRandSeed(4242);
  GetRandomQuote(second);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, TStringList{"quote " + std::to_string(RecordDrawn(4242, 50))});
}

TEST(QuoteDirTest, StartsAsCurrentFolder) {
  EXPECT_EQ(QuoteDir.Get(), std::string(".") + HostPathStyle().delimiter);
}

}  // namespace
}  // namespace pithorama::test
