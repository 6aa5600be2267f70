// The two quote tools as a user runs them: mkquotes over fortune text, then
// quote over the folder it wrote.
#include <gtest/gtest.h>

#include <set>

#include "pithorama/platform/Files.h"
#include "tests/support/Process.h"

namespace pithorama::test {
namespace {

TEST(QuoteToolsTest, ConvertThenPrintOneQuote) {
  TempFolder folder;
  WriteWholeFile(folder.File("sayings.txt"), "One\n\t-- A\n%\nTwo\n%\nThree\n");
  WriteWholeFile(folder.File("QUOTENDX.DTA"), "stale");
  auto made = pithorama::test::RunProgram(
      pithorama::test::ProgramFile("mkquotes"),
      {"-o", folder.File("QUOTES.DTA"), folder.File("sayings.txt")}, {}, "");
  ASSERT_EQ(made.exitCode, 0);
  EXPECT_EQ(ReadWholeFile(folder.File("QUOTES.DTA")),
            "\x01One\r\n        -- A\r\n\x01Two\r\n\x01Three\r\n");
  EXPECT_FALSE(FileExists(folder.File("QUOTENDX.DTA"))) << "a stale index must go";

  const std::set<std::string> quotes = {"One\n        -- A\n", "Two\n", "Three\n"};
  auto shown =
      pithorama::test::RunProgram(pithorama::test::ProgramFile("quote"), {folder.Dir()}, {}, "");
  EXPECT_EQ(shown.exitCode, 0);
  EXPECT_EQ(quotes.count(shown.output), 1u) << shown.output;
  EXPECT_EQ(ReadWholeFile(folder.File("QUOTENDX.DTA")).size(), 12u);
}

TEST(QuoteToolsTest, QuoteWithoutDataFails) {
  TempFolder folder;
  auto shown =
      pithorama::test::RunProgram(pithorama::test::ProgramFile("quote"), {folder.Dir()}, {}, "");
  EXPECT_EQ(shown.exitCode, 1);
  EXPECT_EQ(shown.output, "");
}

}  // namespace
}  // namespace pithorama::test
