// Streaming a template file: the default and relative names, the two errors,
// the 255-byte reads with their look-ahead, zero bytes, large files, and the
// file closed when a handler raises.
#include <gtest/gtest.h>

#include <filesystem>

#include "pithorama/engine/HttpFilter.h"
#include "pithorama/platform/Errors.h"
#include "pithorama/platform/Module.h"
#include "tests/support/FakeEngine.h"
#include "tests/support/Process.h"
#include "tests/support/ThisProcess.h"

namespace pithorama::test {
namespace {

struct NameCase {
  std::string modulePath;
  std::string fileName;  // "" for the default name
  bool windows;
  std::string resolved;
};

TEST(TemplateNameTest, DefaultAndRelativeNames) {
  const NameCase cases[] = {
      {"D:\\dir\\app.exe", "", true, "D:\\dir\\app.htm"},
      {"D:\\my.dir\\app.exe", "", true, "D:\\my.htm"},
      {"D:\\dir\\app.exe", "page.html", true, "D:\\dir\\page.html"},
      {"D:\\dir\\app.exe", "C:\\web\\page.html", true, "C:\\web\\page.html"},
      {"/srv/cgi-bin/app", "", false, "/srv/cgi-bin/app.htm"},
      {"/srv/cgi-bin/app.cgi", "", false, "/srv/cgi-bin/app.htm"},
      {"/srv/www.example/app", "", false, "/srv/www.htm"},
      {"/srv/cgi-bin/app", "page.html", false, "/srv/cgi-bin/page.html"},
      {"/srv/cgi-bin/app", "sub/page.html", false, "/srv/cgi-bin/sub/page.html"},
      {"/srv/cgi-bin/app", "/web/page.html", false, "/web/page.html"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.modulePath + " " + c.fileName);
    const PathStyle& style = c.windows ? WindowsPathStyle() : PosixPathStyle();
    std::string name = c.fileName.empty() ? DefaultTemplateFileName(c.modulePath) : c.fileName;
    EXPECT_EQ(ResolveTemplatePath(name, c.modulePath, style), c.resolved);
  }
}

class FileFilterTest : public ::testing::Test {
 protected:
  FileFilterTest() { filter.SetName("HttpFileFilter1"); }

  std::string Send(const std::string& bytes) {
    WriteWholeFile(folder.File("page.html"), bytes);
    filter.FileName = folder.File("page.html");
    filter.SendFile();
    return engine.Answer();
  }
  void ReplaceEntries() {
    filter.OnHttpEntry = [](std::string, bool& handled) { handled = false; };
  }

  TempFolder folder;
  FilterEngine engine;
  THttpFileFilter filter{nullptr};
};

TEST_F(FileFilterTest, MissingFileRaisesBeforeWriting) {
  filter.FileName = folder.File("none.html");
  try {
    filter.SendFile();
    FAIL() << "no error raised";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "HttpFileFilter1 : Can not find file named " + folder.File("none.html"));
  }
  EXPECT_TRUE(engine.writes.empty());
}

TEST_F(FileFilterTest, EmptyNameBecomesTheModuleDefaultAndStays) {
  const std::string expected = DefaultTemplateFileName(ModuleFileName());
  EXPECT_THROW(filter.SendFile(), Exception);
  EXPECT_EQ(filter.FileName, expected);
}

TEST_F(FileFilterTest, RelativeNameIsLookedUpBesideTheModule) {
  filter.FileName = "no-such-template.html";
  try {
    filter.SendFile();
    FAIL() << "no error raised";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "HttpFileFilter1 : Can not find file named " +
                               ExtractFilePath(ModuleFileName()) + "no-such-template.html");
  }
}

TEST_F(FileFilterTest, WithoutHandlerTheFileGoesOutByteForByte) {
  std::string page = "<html>%TIME% %DATE%";
  while (page.size() < 3000) page += " 100% <b>%x%</b>";
  EXPECT_EQ(Send(page), page);
}

TEST_F(FileFilterTest, ZeroByteDropsTheRestOfItsRead) {
  std::string page(600, 'a');
  page[10] = '\0';
  page[300] = '\0';
  EXPECT_EQ(Send(page), page.substr(0, 10) + page.substr(255, 45) + page.substr(510));
}

struct BorderCase {
  const char* what;
  size_t open;  // where the entry's first sign stands
  std::string name;
  bool replaced;
};

// An entry whose first sign is in the last 65 bytes of a full read is kept
// whole; one that opens earlier and crosses the border goes out as text.
TEST_F(FileFilterTest, EntriesAtTheReadBorder) {
  const BorderCase cases[] = {
      {"opens in the tail, closes after the border", 250, "V", true},
      {"opens at the first tail byte", 190, std::string(70, 'V'), true},
      {"opens before the tail, crosses", 189, std::string(70, 'V'), false},
      {"entry inside the first read", 100, "V", true},
      {"second read's tail", 255 + 240, "V", true},
  };
  ReplaceEntries();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    engine.writes.clear();
    engine.variables = {{c.name, "<R>"}};
    std::string page(1000, 'a');
    const std::string entry = "%" + c.name + "%";
    page.replace(c.open, entry.size(), entry);
    std::string expected = page;
    if (c.replaced) expected.replace(c.open, entry.size(), "<R>");
    EXPECT_EQ(Send(page), expected);
  }
}

// Signs in every read's tail chain reads together, but only up to the bound.
TEST_F(FileFilterTest, LargeTemplateGoesOutWholeInBoundedBlocks) {
  std::string page;
  while (page.size() < 10 * 1024 * 1024) page += "<p>50% of all text.</p> and 10% here<br>";
  EXPECT_EQ(Send(page), page);
  size_t largest = 0;
  for (const auto& w : engine.writes) largest = std::max(largest, w.size());
  EXPECT_LE(largest, MaxTemplateBlock);
}

TEST_F(FileFilterTest, PercentSignsOnlyWithHandler) {
  ReplaceEntries();
  EXPECT_EQ(Send(std::string(100000, '%')), "");
  engine.writes.clear();
  EXPECT_EQ(Send(std::string(100001, '%')), "%");
}

TEST_F(FileFilterTest, FileIsClosedWhenAHandlerRaises) {
  filter.OnHttpEntry = [](std::string, bool&) { throw Exception("handler failed"); };
  // A first round lets the system open what it opens once (Wine does); a
  // file left open shows as one more handle after each round.
  EXPECT_THROW(Send("<p>%X%</p>"), Exception);
  engine.writes.clear();
  const size_t before = pithorama::test::OpenHandleCount();
  EXPECT_THROW(Send("<p>%X%</p>"), Exception);
  EXPECT_EQ(pithorama::test::OpenHandleCount(), before);
  EXPECT_EQ(engine.Answer(), "<p>");
}

}  // namespace
}  // namespace pithorama::test
