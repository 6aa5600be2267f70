// The two quote tools as a user runs them: mkquotes over fortune text, then
// quote over the folder it wrote.
#include <gtest/gtest.h>

#include <set>

#include "TempFolder.h"
#include "tests/support/Process.h"

namespace pithorama::testing {
namespace {

TEST(QuoteToolsTest, ConvertThenPrintOneQuote) {
  TTempFolder folder;
  WriteBytes(folder.File("sayings.txt"), "One\n\t-- A\n%\nTwo\n%\nThree\n");
  WriteBytes(folder.File("QUOTENDX.DTA"), "stale");
  auto made = testsupport::RunProgram(testsupport::ProgramFile("mkquotes"),
                                      {"-o", folder.File("QUOTES.DTA"), folder.File("sayings.txt")},
                                      {}, "");
  ASSERT_EQ(made.exitCode, 0);
  EXPECT_EQ(ReadBytes(folder.File("QUOTES.DTA")),
            "\x01One\r\n        -- A\r\n\x01Two\r\n\x01Three\r\n");
  EXPECT_FALSE(FileExists(folder.File("QUOTENDX.DTA"))) << "a stale index must go";

  const std::set<std::string> quotes = {"One\n        -- A\n", "Two\n", "Three\n"};
  auto shown = testsupport::RunProgram(testsupport::ProgramFile("quote"), {folder.Dir()}, {}, "");
  EXPECT_EQ(shown.exitCode, 0);
  EXPECT_EQ(quotes.count(shown.output), 1u) << shown.output;
  EXPECT_EQ(ReadBytes(folder.File("QUOTENDX.DTA")).size(), 12u);
}

TEST(QuoteToolsTest, QuoteWithoutDataFails) {
  TTempFolder folder;
  auto shown = testsupport::RunProgram(testsupport::ProgramFile("quote"), {folder.Dir()}, {}, "");
  EXPECT_EQ(shown.exitCode, 1);
  EXPECT_EQ(shown.output, "");
}

}  // namespace
}  // namespace pithorama::testing
