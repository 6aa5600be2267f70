// Building QUOTENDX.DTA: one little-endian record per 0x01, whatever the block
// borders; the empty index left behind when QUOTES.DTA is missing.
#include <filesystem>
#include <system_error>

#include "StoreFixture.h"
#include "pithorama/platform/Errors.h"

namespace pithorama::test {
namespace {

std::string DataWithDelimitersAt(size_t size, std::initializer_list<size_t> positions) {
  std::string data(size, 'a');
  for (size_t p : positions) data[p] = '\x01';
  return data;
}

struct IndexCase {
  const char* what;
  std::string data;
  std::vector<int32_t> offsets;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const IndexCase& c, std::ostream* os) { *os << c.what; }

class QuoteIndexTest : public StoreTest, public ::testing::WithParamInterface<IndexCase> {};

TEST_P(QuoteIndexTest, OneRecordPerDelimiter) {
  WriteData(GetParam().data);
  ASSERT_TRUE(BuildQuoteIndex());
  EXPECT_EQ(ReadWholeFile(IndexPath()), IndexBytes(GetParam().offsets));
}

// 2047 is the scanning block; delimiters on both sides of its borders.
INSTANTIATE_TEST_SUITE_P(
    Data, QuoteIndexTest,
    ::testing::Values(IndexCase{"empty", "", {}}, IndexCase{"no delimiter", "abc\r\n", {}},
                      IndexCase{"two quotes", "\x01x\r\ny\r\n\x01z\r\n", {0, 7}},
                      IndexCase{"delimiter last", "ab\x01", {2}},
                      IndexCase{
                          "block borders",
                          DataWithDelimitersAt(6000, {2045, 2046, 2047, 2048, 4093, 4094, 5999}),
                          {2045, 2046, 2047, 2048, 4093, 4094, 5999}},
                      IndexCase{"record bytes are little-endian",
                                DataWithDelimitersAt(70000, {0x0102, 0x10203}),
                                {0x0102, 0x10203}}),
    [](const auto& info) {
      std::string name;
      for (const char* p = info.param.what; *p; ++p) name += std::isalnum(*p) ? *p : '_';
      return name;
    });

TEST_F(StoreTest, IndexRecordBytesAreExact) {
  WriteData(DataWithDelimitersAt(0x0203, {0x0201}));
  ASSERT_TRUE(BuildQuoteIndex());
  EXPECT_EQ(ReadWholeFile(IndexPath()), std::string("\x01\x02\x00\x00", 4));
}

TEST_F(StoreTest, BuildWithoutDataLeavesEmptyIndexAndRaisesWithSystemCode) {
  try {
    BuildQuoteIndex();
    FAIL() << "no error raised";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode(), static_cast<int>(std::errc::no_such_file_or_directory));
  }
  EXPECT_TRUE(FileExists(IndexPath()));
  EXPECT_EQ(ReadWholeFile(IndexPath()), "");
}

TEST_F(StoreTest, BuildInMissingFolderAnswersFalse) {
  QuoteDir = folder_.Dir() + "missing/";
  WriteData("\x01x\r\n");
  EXPECT_FALSE(BuildQuoteIndex());
}

TEST_F(StoreTest, BuildLeavesNoTemporaryFiles) {
  WriteData("\x01x\r\n\x01y\r\n");
  ASSERT_TRUE(BuildQuoteIndex());
  ASSERT_TRUE(BuildQuoteIndex());  // over an existing index
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder_.Dir()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"QUOTENDX.DTA", "QUOTES.DTA"}));
  EXPECT_EQ(ReadWholeFile(IndexPath()), IndexBytes({0, 4}));
}

}  // namespace
}  // namespace pithorama::test
