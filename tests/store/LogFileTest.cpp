// The request log and the two string helpers that form its folder.

#include <map>
#include <thread>

#include "StoreFixture.h"
#include "tests/support/ThisProcess.h"

namespace pithorama::test {
namespace {

struct TrailingCase {
  std::string text;
  char c;
  std::string expected;
};

TEST(AddTrailingCharTest, Table) {
  const TrailingCase cases[] = {
      {"", '/', "/"},  {"a", '/', "a/"}, {"a/", '/', "a/"},  {"a//", '/', "a//"},
      {"/", '/', "/"}, {"x", 'x', "x"},  {"ab", 'a', "aba"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(AddTrailingChar(c.c, c.text), c.expected);
  }
}

TEST(AddTrailingBackslashTest, PosixAndWindowsStyles) {
  EXPECT_EQ(AddTrailingBackslash("", PosixPathStyle()), "/");
  EXPECT_EQ(AddTrailingBackslash("/srv/cgi", PosixPathStyle()), "/srv/cgi/");
  EXPECT_EQ(AddTrailingBackslash("/srv/cgi/", PosixPathStyle()), "/srv/cgi/");
  EXPECT_EQ(AddTrailingBackslash("", WindowsPathStyle()), "\\");
  EXPECT_EQ(AddTrailingBackslash("C:\\dir", WindowsPathStyle()), "C:\\dir\\");
  EXPECT_EQ(AddTrailingBackslash("C:\\dir\\", WindowsPathStyle()), "C:\\dir\\");
}

TEST(LogDirTest, EmptyAtStartAndAfterTheModuleEnd) {
  EXPECT_EQ(LogDir.Get(), "");
  LogDir = "/somewhere/";
  LogFileEnd();
  EXPECT_EQ(LogDir.Get(), "");
}

TEST_F(StoreTest, LinesAreAppendedUnchangedWithCrLf) {
  const std::string logPath = folder_.File("quote.log");
  const std::string odd("a\0b\xff|\n", 6);  // bytes go out as given
  EXPECT_TRUE(AppendLogLine("1.2.3.4 | ref |  | host"));
  EXPECT_EQ(ReadWholeFile(logPath), "1.2.3.4 | ref |  | host\r\n");
  EXPECT_TRUE(AppendLogLine(""));
  EXPECT_TRUE(AppendLogLine(odd));
  EXPECT_EQ(ReadWholeFile(logPath), "1.2.3.4 | ref |  | host\r\n\r\n" + odd + "\r\n");
}

TEST_F(StoreTest, FolderWithoutTrailingDelimiterStillWorks) {
  LogDir = folder_.Dir().substr(0, folder_.Dir().size() - 1);
  EXPECT_TRUE(AppendLogLine("x"));
  EXPECT_EQ(ReadWholeFile(folder_.File("quote.log")), "x\r\n");
}

TEST_F(StoreTest, UnopenableLogAnswersFalseWithoutRaising) {
  LogDir = folder_.Dir() + "missing/";
  EXPECT_FALSE(AppendLogLine("x"));
  LogDir = folder_.Dir();
  std::filesystem::create_directory(folder_.File("quote.log"));  // a folder in the way
  EXPECT_FALSE(AppendLogLine("x"));
}

// A file size limit stops a write part way, as a full disk does.
TEST_F(StoreTest, FullDiskLeavesNoPieceOfALine) {
  if (!pithorama::test::TFileSizeLimit::Available())
    GTEST_SKIP() << "no file size limit on this system to stand in for a full disk";
  const std::string logPath = folder_.File("quote.log");
  ASSERT_TRUE(AppendLogLine("first"));
  {
    pithorama::test::TFileSizeLimit limit(ReadWholeFile(logPath).size() + 5);
    EXPECT_FALSE(AppendLogLine("127.0.0.1 | http://referer/ |  | "));
  }
  EXPECT_EQ(ReadWholeFile(logPath), "first\r\n");
  ASSERT_TRUE(AppendLogLine("next"));
  EXPECT_EQ(ReadWholeFile(logPath), "first\r\nnext\r\n");
}

// Writers of differing line lengths at once: every line ends up whole, once.
TEST_F(StoreTest, ParallelAppendsNeitherTearNorLoseLines) {
  constexpr int writers = 8, linesEach = 400;
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w)
    threads.emplace_back([w] {
      for (int i = 0; i < linesEach; ++i)
        AppendLogLine(
            "writer " + std::to_string(w) + " line " + std::to_string(i) + " " +
            std::string(static_cast<size_t>(w * 97 + i % 50), static_cast<char>('a' + w)));
    });
  for (auto& t : threads) t.join();

  const std::string log = ReadWholeFile(folder_.File("quote.log"));
  std::map<std::string, int> seen;
  size_t start = 0, lines = 0;
  for (size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2, ++lines)
    ++seen[log.substr(start, end - start)];
  EXPECT_EQ(start, log.size()) << "text after the last line end";
  EXPECT_EQ(lines, size_t{writers * linesEach});
  for (int w = 0; w < writers; ++w)
    for (int i = 0; i < linesEach; ++i) {
      std::string line =
          "writer " + std::to_string(w) + " line " + std::to_string(i) + " " +
          std::string(static_cast<size_t>(w * 97 + i % 50), static_cast<char>('a' + w));
      EXPECT_EQ(seen[line], 1) << line;
    }
}

}  // namespace
}  // namespace pithorama::test
