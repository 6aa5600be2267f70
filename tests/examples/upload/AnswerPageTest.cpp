// The upload example's answer: every field name once with all of its values,
// and one row per uploaded file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "examples/upload/UploadPage.h"
#include "pithorama/engine/FormFields.h"
#include "pithorama/engine/HttpText.h"
#include "tests/support/Process.h"

namespace {

struct Rows {
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<std::string> files;  // "field:name as sent:size"
};

// The texts of the cells (th and td) of every row that begins with `rowStart`.
std::vector<std::vector<std::string>> Cells(const std::string& page, const std::string& rowStart) {
  std::vector<std::vector<std::string>> rows;
  for (size_t at = page.find(rowStart); at != std::string::npos; at = page.find(rowStart, at + 1)) {
    const size_t from = at + rowStart.size();
    const std::string row = page.substr(from, page.find("</tr>", from) - from);
    std::vector<std::string> cells;
    for (size_t tag = row.find("<t"); tag != std::string::npos; tag = row.find("<t", tag + 1)) {
      const size_t text = row.find('>', tag) + 1;
      cells.push_back(row.substr(text, row.find('<', text) - text));
    }
    rows.push_back(cells);
  }
  return rows;
}

Rows ParseRows(const std::string& page) {
  Rows rows;
  for (const auto& cells : Cells(page, "<tr class=\"field\">"))
    rows.fields.emplace_back(cells.at(0), cells.at(1));
  for (const auto& cells : Cells(page, "<tr class=\"file\">"))
    rows.files.push_back(cells.at(0) + ":" + cells.at(1) + ":" + cells.at(2));
  return rows;
}

std::string AnswerFor(const std::string& posted) {
  const pithorama::TFormFields fields(posted);
  return upload::AnswerPage({[&] { return fields.Names(); },
                             [&](const std::string& name) { return fields.Value(name, ""); }});
}

TEST(AnswerPage, EachNameOnce) {
  const struct {
    const char* title;
    std::string posted;
    std::vector<std::pair<std::string, std::string>> fields;
  } cases[] = {
      {"repeats in one run", "a=1&a=2&b=3", {{"a", "1\r\n2"}, {"b", "3"}}},
      {"repeats apart", "a=1&b=3&a=2&b=4&a=5", {{"a", "1\r\n2\r\n5"}, {"b", "3\r\n4"}}},
      {"a name that differs in case is its own row", "a=1&A=2", {{"a", "1\r\n2"}, {"A", "1\r\n2"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    EXPECT_EQ(ParseRows(AnswerFor(c.posted)).fields, c.fields);
  }
}

// Uploads under one name interleave three entries each; the page lists the
// name's fields once and every file once.
TEST(AnswerPage, ManyUploadsUnderOneName) {
  const pithorama::test::TempFolder temp;
  const std::filesystem::path folder = temp.Path();
  std::string posted;
  std::vector<std::string> expectedFiles;
  for (int i = 0; i < 300; ++i) {
    const std::string stored = (folder / (std::to_string(i) + ".tmp")).string();
    std::ofstream(stored) << std::string(i, 'x');
    posted += "f_CONTENT_TYPE=text%2Fplain&f=n" + std::to_string(i) +
              ".txt&f_FILENAME=" + pithorama::UrlEncode(stored) + "&";
    expectedFiles.push_back("f:n" + std::to_string(i) + ".txt:" + std::to_string(i));
  }
  const Rows rows = ParseRows(AnswerFor(posted));
  ASSERT_EQ(rows.fields.size(), 3u);
  EXPECT_EQ(rows.fields[0].first, "f_CONTENT_TYPE");
  EXPECT_EQ(rows.fields[1].first, "f");
  EXPECT_EQ(rows.fields[2].first, "f_FILENAME");
  EXPECT_EQ(rows.files, expectedFiles);
}

}  // namespace
