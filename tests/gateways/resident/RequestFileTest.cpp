#include <gtest/gtest.h>

#include "pithorama/gateways/resident/RequestFile.h"
#include "tests/support/Process.h"

namespace pithorama {
namespace {

TEST(RequestFile, HeadLayout) {
  EXPECT_EQ(RequestFileHead({"A=1", "HTTP_COOKIE=s=2"}),
            "A=1\r\nHTTP_COOKIE=s=2\r\nKESTREL_CGI_DEBUG=true\r\n\r\n");
  EXPECT_EQ(RequestFileHead({}), "KESTREL_CGI_DEBUG=true\r\n\r\n");
}

TEST(RequestFile, VariableBlock) {
  const struct {
    const char* name;
    std::string input;
    TStringList lines;
    bool done;
    size_t used;  // bytes the block takes
  } cases[] = {
      {"lines and body", "A=1\r\nB=2\r\n\r\nbody", {"A=1", "B=2"}, true, 12},
      {"written layout",
       RequestFileHead({"X=y"}) + "q",
       {"X=y", "KESTREL_CGI_DEBUG=true"},
       true,
       31},
      {"bare line feeds count too", "A=1\n\nB\n\n\n\nrest", {"A=1", "B"}, true, 10},
      {"single CR does not end a line", "A=1\rB=2\r\n\r\n", {"A=1B=2"}, true, 11},
      {"three line ends add one line", "A\r\n\rB\r\n\r\n", {"A", "B"}, true, 9},
      {"block ends before CR LF CR LF", "A=1\r\nB=2", {"A=1"}, false, 8},
      {"empty file", "", {}, false, 0},
      {"blank line first", "\r\n\r\nbody", {""}, true, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TVariableBlockReader whole;
    EXPECT_EQ(whole.Feed(c.input), c.used);
    EXPECT_EQ(whole.Lines(), c.lines);
    EXPECT_EQ(whole.Done(), c.done);

    // Fed one byte at a time, the reader gives the same lines.
    TVariableBlockReader bytewise;
    size_t used = 0;
    for (char byte : c.input) {
      if (bytewise.Done()) break;
      used += bytewise.Feed(std::string_view(&byte, 1));
    }
    EXPECT_EQ(used, c.used);
    EXPECT_EQ(bytewise.Lines(), c.lines);
  }
}

TEST(RequestFile, ReaderLeavesTheFileAtTheBody) {
  const struct {
    const char* name;
    std::string content;
    TStringList lines;
    std::string body;
  } cases[] = {
      {"body follows",
       "A=1\r\nKESTREL_CGI_DEBUG=true\r\n\r\nx=1&y=2",
       {"A=1", "KESTREL_CGI_DEBUG=true"},
       "x=1&y=2"},
      {"block longer than one read",
       "V=" + std::string(5000, 'v') + "\r\n\r\nB",
       {"V=" + std::string(5000, 'v')},
       "B"},
      {"cut before the blank line", "A=1\r\nB=2\r\n", {"A=1", "B=2"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pithorama::test::TempFolder folder;
    pithorama::test::WriteWholeFile(folder.File("r"), c.content);
    TFile file;
    ASSERT_TRUE(file.Open(folder.File("r"), FileAccess::Read, FileShare::DenyNone,
                          FileCreate::OpenExisting));
    EXPECT_EQ(ReadVariableBlock(file), c.lines);
    std::string body(100, '\0');
    body.resize(static_cast<size_t>(file.Read(body.data(), body.size())));
    EXPECT_EQ(body, c.body);
  }
}

}  // namespace
}  // namespace pithorama
