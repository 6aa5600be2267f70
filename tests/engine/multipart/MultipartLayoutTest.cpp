// What a decoded body yields: the fields text and the uploads' contents.
#include <gtest/gtest.h>

#include "tests/engine/multipart/MultipartSupport.h"

using namespace pithorama::test;
using pithorama::UrlEncode;

namespace {

// "{0}", "{1}"... in `expected` stand for the encoded names of the temporary
// files, in the order they were made.
std::string WithTempNames(std::string expected, const pithorama::TStringList& tempFiles) {
  for (size_t i = 0; i < tempFiles.size(); ++i) {
    const std::string mark = "{" + std::to_string(i) + "}";
    for (size_t pos; (pos = expected.find(mark)) != std::string::npos;)
      expected.replace(pos, mark.size(), UrlEncode(tempFiles[i]));
  }
  return expected;
}

struct LayoutCase {
  const char* title;
  std::string body;
  std::string fields;                // expected, with {n} for temporary file names
  std::vector<std::string> uploads;  // expected contents of the temporary files
};

const std::string kB = "----xYz0123abcDEF";

// The entry announcing a part's content type.
std::string Type(const std::string& name, const std::string& type) {
  return name + "_CONTENT_TYPE=" + UrlEncode(type) + "&";
}

std::vector<LayoutCase> LayoutCases() {
  const std::string big = Bytes(100'000, 7);
  const std::string longText(100'000, 'w');
  return {
      {"field then file, in body order",
       Body(kB, {{FieldHeader("a"), "x"}, {FileHeader("f", "p.gif", "image/gif"), "GIF89a"}}),
       "a=x&" + Type("f", " image/gif") + FileEntries("f", "p.gif", "{0}"),
       {"GIF89a"}},
      {"values keep & and = and blanks",
       Body(kB, {{FieldHeader("q"), "a&b=c d"}}),
       "q=a%26b%3Dc+d&",
       {}},
      {"repeated names all kept in order",
       Body(kB, {{FieldHeader("r"), "1"}, {FieldHeader("s"), "2"}, {FieldHeader("r"), "3"}}),
       "r=1&s=2&r=3&",
       {}},
      {"name trimmed, taken up to the quote",
       Body(kB, {{"Content-Disposition: form-data; name=\" n m \"", "v"}}),
       "n m=v&",
       {}},
      {"value with line breaks inside keeps them",
       Body(kB, {{FieldHeader("t"), "one\r\ntwo\n"}}),
       "t=one%0D%0Atwo%0A&",
       {}},
      {"value stops at a zero byte",
       Body(kB, {{FieldHeader("z"), std::string("ab\0cd", 5)}}),
       "z=ab&",
       {}},
      {"empty file: both entries and an empty file",
       Body(kB, {{FileHeader("e", "empty.txt", "text/plain"), ""}}),
       Type("e", " text/plain") + FileEntries("e", "empty.txt", "{0}"),
       {""}},
      {"file without Content-Type: no type entry, data kept",
       Body(kB, {{FileHeader("f", "n.bin", ""), "data"}}),
       FileEntries("f", "n.bin", "{0}"),
       {"data"}},
      {"content type ends at a semicolon, blank kept",
       Body(kB, {{FileHeader("f", "a.txt", "text/plain; charset=utf-8"), "x"}}),
       Type("f", " text/plain") + FileEntries("f", "a.txt", "{0}"),
       {"x"}},
      {"client path kept as the value",
       Body(kB, {{FileHeader("f", "C:\\Users\\me\\p.gif", "image/gif"), "g"}}),
       Type("f", " image/gif") + FileEntries("f", "C:\\Users\\me\\p.gif", "{0}"),
       {"g"}},
      {"part without a name adds no field",
       Body(kB, {{"Content-Disposition: form-data", "lost"}, {FieldHeader("k"), "kept"}}),
       "k=kept&",
       {}},
      {"part without header lines is dropped",
       Body(kB, {{"", "lost"}, {FieldHeader("k"), "kept"}}),
       "k=kept&",
       {}},
      {"unnamed upload adds nothing and makes no file",
       Body(kB, {{"Content-Disposition: form-data; name=\"\"; filename=\"u.txt\"\r\n"
                  "Content-Type: text/plain",
                  std::string(70'000, 'u')},
                 {FieldHeader("k"), "kept"}}),
       "k=kept&",
       {}},
      {"empty file name is a field",
       Body(kB, {{FileHeader("f", "", "application/octet-stream"), ""}}),
       Type("f", " application/octet-stream") + "f=&",
       {}},
      {"bare line feeds throughout",
       Body(kB,
            {{FieldHeader("a"), "x"},
             {"Content-Disposition: form-data; name=\"f\"; "
              "filename=\"b.txt\"\nContent-Type: text/plain",
              "line1\nline2"}},
            "\n"),
       "a=x&" + Type("f", " text/plain") + FileEntries("f", "b.txt", "{0}"),
       {"line1\nline2"}},
      {"header and parameter names in any case",
       Body(kB, {{"Content-Disposition: form-data; NAME=\"a\"", "x"},
                 {"content-disposition: form-data; name=\"b\"\r\ncontent-type: text/plain", "y"},
                 {"CONTENT-DISPOSITION: form-data; Name=\"c\"; FileName=\"c.txt\"\r\n"
                  "CONTENT-TYPE: text/plain",
                  "z"}}),
       "a=x&" + Type("b", " text/plain") + "b=y&" + Type("c", " text/plain") +
           FileEntries("c", "c.txt", "{0}"),
       {"z"}},
      {"name as a token",
       Body(kB, {{"Content-Disposition: form-data; name=bit", "1"},
                 {"Content-Disposition: form-data;name=two;filename=t.txt", "2"}}),
       "bit=1&two=t.txt&two_FILENAME={0}&",
       {"2"}},
      {"filename before name",
       Body(kB, {{"Content-Disposition: form-data; filename=\"a.txt\"; name=\"f\"\r\n"
                  "Content-Type: text/plain",
                  "data"}}),
       Type("f", " text/plain") + FileEntries("f", "a.txt", "{0}"),
       {"data"}},
      {"Content-Type before Content-Disposition",
       Body(kB, {{"Content-Type: text/plain\r\nContent-Disposition: form-data; name=\"t\"", "v"}}),
       Type("t", " text/plain") + "t=v&",
       {}},
      {"parameter syntax: blanks, semicolons in quotes, other parameters",
       Body(kB, {{"Content-Disposition: form-data; x-name=\"no\"; name = \"a;b\" ; size=3", "v"},
                 {"Content-Disposition: form-data; name=\"g\"; filename*=UTF-8''g.txt", "w"}}),
       "a;b=v&g=w&",
       {}},
      {"file larger than the ring, data crossing flushes",
       Body(
           kB,
           {{FieldHeader("a"), "1"}, {FileHeader("big", "big.bin"), big}, {FieldHeader("z"), "2"}}),
       "a=1&" + Type("big", " application/octet-stream") + FileEntries("big", "big.bin", "{0}") +
           "z=2&",
       {big}},
      {"text field larger than the ring returned whole",
       Body(kB, {{FieldHeader("long"), longText}, {FieldHeader("after"), "ok"}}),
       "long=" + longText + "&after=ok&",
       {}},
      {"data that passes the quick test but not the full one",
       Body(kB, {{FieldHeader("a"), "--" + kB.substr(0, 10) + "\r\n" + kB.substr(1) + "x"}}),
       "a=" + UrlEncode("--" + kB.substr(0, 10) + "\r\n" + kB.substr(1) + "x") + "&",
       {}},
      {"epilogue after the closing line ignored",
       Body(kB, {{FieldHeader("a"), "x"}}) + "epilogue\r\n",
       "a=x&",
       {}},
      {"epilogue that looks like parts ignored",
       Body(kB, {{FieldHeader("a"), "x"}}) + "\r\n" +
           Body(kB, {{FieldHeader("e"), "evil"}, {FileHeader("u", "u.txt"), "upload"}}),
       "a=x&",
       {}},
      {"closing line without a line end",
       Body(kB, {{FieldHeader("a"), "x"}})
           .substr(0, Body(kB, {{FieldHeader("a"), "x"}}).size() - 2),
       "a=x&",
       {}},
      {"boundary text inside a line is data",
       Body("boundary", {{FieldHeader("a"), "Keep inside the boundary of the form."},
                         {FieldHeader("b"), "after"}}),
       "a=Keep+inside+the+boundary+of+the+form.&b=after&",
       {}},
      {"boundary at a line start without its dashes is data",
       Body("boundary", {{FileHeader("f", "b.txt"), "x\r\nboundary\r\n-boundary\r\ny"}}),
       Type("f", " application/octet-stream") + FileEntries("f", "b.txt", "{0}"),
       {"x\r\nboundary\r\n-boundary\r\ny"}},
      {"line of dashes and the boundary with more after it is data",
       Body(kB, {{FieldHeader("a"), "1\r\n--" + kB + "x\r\n--" + kB + "-x\r\n--" + kB + " x"}}),
       "a=" + UrlEncode("1\r\n--" + kB + "x\r\n--" + kB + "-x\r\n--" + kB + " x") + "&",
       {}},
      {"one-letter boundary inside file data",
       Body("q", {{FileHeader("f", "q.txt"), "q qq\r\nq\r\n-q\nq--"}, {FieldHeader("b"), "q"}}),
       Type("f", " application/octet-stream") + FileEntries("f", "q.txt", "{0}") + "b=q&",
       {"q qq\r\nq\r\n-q\nq--"}},
      {"blanks after the boundary on a delimiter line",
       "--" + kB + " \t\r\n" + FieldHeader("a") + "\r\n\r\nx\r\n--" + kB + "  \r\n" +
           FieldHeader("b") + "\r\n\r\ny\r\n--" + kB + "--\r\n",
       "a=x&b=y&",
       {}},
      {"leading line end before the first boundary",
       "\r\n" + Body(kB, {{FieldHeader("a"), "x"}}),
       "a=x&",
       {}},
      {"preamble before the first boundary",
       "This is a preamble.\r\nIt has two lines.\r\n" + Body(kB, {{FieldHeader("a"), "x"}}),
       "a=x&",
       {}},
      {"part with no data line at all",
       "--" + kB + "\r\n" + FieldHeader("a") + "\r\n\r\n--" + kB + "\r\n" + FieldHeader("b") +
           "\r\n\r\ny\r\n--" + kB + "--\r\n",
       "a=&b=y&",
       {}},
      {"short boundary of one character",
       Body("q", {{FieldHeader("a"), "x"}, {FileHeader("f", "s.txt", "t/p"), "ab-c"}}),
       "a=x&" + Type("f", " t/p") + FileEntries("f", "s.txt", "{0}"),
       {"ab-c"}},
      {"short boundary of three characters",
       Body("abc", {{FieldHeader("a"), "bc-ab"}}),
       "a=bc%2Dab&",
       {}},
      {"long boundary line, file crossing flushes",
       Body(std::string(200, 'B') + "z", {{FileHeader("f", "l.bin"), big}}),
       Type("f", " application/octet-stream") + FileEntries("f", "l.bin", "{0}"),
       {big}},
      {"header line longer than the line buffer: the rest skipped",
       Body(kB,
            {{"X-Pad: " + std::string(3000, 'p') + " name=\"late\"\r\n" + FieldHeader("a"), "x"}}),
       "a=x&",
       {}},
      {"header line longer than the ring",
       Body(kB, {{FieldHeader("a") + "; pad=\"" + std::string(40'000, 'p') + "\"", "x"},
                 {FieldHeader("b"), "y"}}),
       "a=x&b=y&",
       {}},
  };
}

TEST(MultipartLayout, FieldsAndUploads) {
  for (const LayoutCase& c : LayoutCases()) {
    SCOPED_TRACE(c.title);
    pithorama::test::TempFolder temp;
    Decoded decoded = Decode(c.body, temp.Path());
    EXPECT_EQ(decoded.fields, WithTempNames(c.fields, decoded.tempFiles));
    EXPECT_EQ(decoded.tempFiles.size(), c.uploads.size());
    for (size_t i = 0; i < std::min(c.uploads.size(), decoded.tempFiles.size()); ++i)
      EXPECT_EQ(pithorama::test::ReadWholeFile(decoded.tempFiles[i]), c.uploads[i]) << i;
    EXPECT_EQ(FilesIn(temp.Path()), Sorted(decoded.tempFiles));
  }
}

// Bodies that are no multipart body at all give no fields and read nothing
// past their end.
TEST(MultipartLayout, NotMultipartGivesNothing) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty body", ""},
      {"url-encoded, no line end", "a=1&b=2"},
      {"url-encoded with a line end", "a=1&b=2\r\n"},
      {"boundary line only", "--" + kB + "\r\n"},
      {"headers but the boundary never returns",
       "--" + kB +
           "\r\nContent-Type: text/plain\r\nContent-Disposition: form-data; "
           "name=\"a\"\r\n\r\nvalue\r\n"},
      {"line of two characters", "--\r\n--\r\n"},
      {"line of one character", "-\n\n-\n"},
      {"control byte first, boundary line only", "\r\n--" + kB + "\r\n"},
      {"no line begins with dashes", "preamble\r\n-" + kB + "\r\nx\r\n-" + kB + "--\r\n"},
  };
  for (const auto& [title, body] : cases) {
    SCOPED_TRACE(title);
    pithorama::test::TempFolder temp;
    PieceSource source(body);
    Decoded decoded = Decode(source, static_cast<int64_t>(body.size()), temp.Path());
    EXPECT_EQ(decoded.fields, "");
    EXPECT_EQ(source.Delivered(), body.size());
  }
}

// Without a boundary from the content type, the first line that begins with
// "--" gives it only when that line ends within the body's first 32768 bytes,
// however much of the body the decoder reads at once.
TEST(MultipartLayout, BoundaryLineLookedForInFirst32KiB) {
  const std::string body = Body(kB, {{FieldHeader("a"), "1"}});
  // The boundary line's carriage return sits 19 bytes after its start.
  const std::vector<std::pair<size_t, std::string>> cases = {
      {0, "a=1&"}, {32768 - 20, "a=1&"}, {32768 - 19, ""}, {40000, ""}};
  for (const auto& [preamble, fields] : cases) {
    SCOPED_TRACE(preamble);
    pithorama::test::TempFolder temp;
    const std::string text = preamble == 0 ? body : std::string(preamble - 1, 'p') + "\n" + body;
    for (size_t piece : {size_t{4096}, size_t{1} << 20})
      EXPECT_EQ(Decode(text, temp.Path(), piece).fields, fields);
  }
}

TEST(MultipartLayout, TenThousandTinyParts) {
  std::vector<Part> parts;
  std::string expected;
  for (int i = 0; i < 10'000; ++i) {
    const std::string name = "n" + std::to_string(i);
    parts.push_back({FieldHeader(name), std::to_string(i % 7)});
    expected += name + "=" + std::to_string(i % 7) + "&";
  }
  pithorama::test::TempFolder temp;
  for (size_t piece : {size_t{7}, size_t{1} << 20}) {
    SCOPED_TRACE(piece);
    EXPECT_EQ(Decode(Body(kB, parts), temp.Path(), piece).fields, expected);
  }
}

// After the step bound the fields found so far stay; later ones are lost.
TEST(MultipartLayout, StepBoundKeepsEarlierFields) {
  std::vector<Part> parts;
  for (int i = 0; i < 50; ++i) parts.push_back({FieldHeader("f" + std::to_string(i)), "v"});
  const std::string body = Body(kB, parts);
  pithorama::test::TempFolder temp;
  PieceSource source(body);
  Decoded decoded = Decode(source, static_cast<int64_t>(body.size()), temp.Path(), 10);
  EXPECT_FALSE(decoded.fields.empty());
  EXPECT_EQ(decoded.fields.rfind("f0=v&", 0), 0u);
  EXPECT_EQ(decoded.fields.find("f49="), std::string::npos);
}

}  // namespace
