// The pieces of the message text, each on its own.
#include <gtest/gtest.h>

#include "pithorama/mail/MailText.h"

using namespace pithorama;

namespace {

TEST(ReplacePlaceholder, FirstOccurrenceAnyCaseTextKeptWhole) {
  EXPECT_EQ(ReplacePlaceholder("To: %mailto% and %MAILTO%", "%MAILTO%", "a"), "To: a and %MAILTO%");
  EXPECT_EQ(ReplacePlaceholder("none here", "%MAILTO%", "a"), "none here");
  std::string longTail(5000, 'x');
  EXPECT_EQ(ReplacePlaceholder("%SUBJECT%" + longTail, "%SUBJECT%", "s"), "s" + longTail);
}

const TStringList DefaultTemplate = {"From: %MAILFROM%",
                                     "To: %MAILTO%",
                                     "CC: %MAILCC%",
                                     "Subject: %SUBJECT% ",
                                     "Mime-Version: 1.0",
                                     "Content-Type: text/plain; charset=iso-8859-1",
                                     "Content-Transfer-Encoding: quoted-printable"};

struct TemplateCase {
  const char* name;
  bool hasAttachments;
  bool ccEmpty;
  std::string header;
  std::string contentLines;
};

const TemplateCase TemplateCases[] = {
    {"PlainWithoutCc", false, true,
     "From: %MAILFROM%\r\nTo: %MAILTO%\r\nSubject: %SUBJECT% \r\nMime-Version: 1.0\r\n"
     "Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: "
     "quoted-printable\r\n",
     ""},
    {"PlainWithCc", false, false,
     "From: %MAILFROM%\r\nTo: %MAILTO%\r\nCC: %MAILCC%\r\nSubject: %SUBJECT% \r\nMime-Version: "
     "1.0\r\n"
     "Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: "
     "quoted-printable\r\n",
     ""},
    {"AttachmentsMoveContentLines", true, true,
     "From: %MAILFROM%\r\nTo: %MAILTO%\r\nSubject: %SUBJECT% \r\nMime-Version: 1.0\r\n",
     "Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: "
     "quoted-printable\r\n"},
};

TEST(SplitHeaderTemplate, DefaultTemplate) {
  for (const TemplateCase& c : TemplateCases) {
    SCOPED_TRACE(c.name);
    std::string header, content;
    SplitHeaderTemplate(DefaultTemplate, c.hasAttachments, c.ccEmpty, header, content);
    EXPECT_EQ(header, c.header);
    EXPECT_EQ(content, c.contentLines);
  }
}

TEST(SplitHeaderTemplate, CcRuleIsCaseSensitive) {
  std::string header, content;
  SplitHeaderTemplate({"cc: %MAILCC%", "BCC: %MAILCC%", "Bcc: %MAILCC%", "X-CC: none"}, false, true,
                      header, content);
  EXPECT_EQ(header, "cc: %MAILCC%\r\nBcc: %MAILCC%\r\nX-CC: none\r\n");
}

struct EntryCase {
  const char* body;
  const char* written;  // entries shown as [name]
};

const EntryCase EntryCases[] = {
    {"Dear %NAME%, hi", "Dear [NAME], hi"},
    {"100% sure 50% off", "100% sure 50% off"},  // a blank between the signs
    {"a %X\r\ny% b", "a [X\r\ny] b"},            // line breaks are no blanks
    {"%A%%B%", "[A][B]"},
    {"%%", "[]"},
    {"trailing %", "trailing %"},
    {"%", "%"},
    {"", ""},
    {"%one two% %Z%", "%one two% [Z]"},
};

TEST(ExpandBodyEntries, EntriesAndPlainPercentSigns) {
  for (const EntryCase& c : EntryCases) {
    SCOPED_TRACE(c.body);
    std::string out;
    ExpandBodyEntries(
        c.body, [&](std::string_view text) { out += text; },
        [&](const std::string& name) { out += "[" + name + "]"; });
    EXPECT_EQ(out, c.written);
  }
}

struct AttachmentCase {
  const char* line;
  const PathStyle& style;
  const char* displayName;
  const char* path;
  const char* fileName;
};

// The file name is the display name's base name in the path style given (the
// host's, in use): a POSIX path shows no folder in the POSIX style, a Windows
// path none in the Windows style.
const AttachmentCase AttachmentCases[] = {
    {"/tmp/a.bin", PosixPathStyle(), "/tmp/a.bin", "/tmp/a.bin", "a.bin"},
    {"  Report.pdf </data/r 1.pdf>  ", PosixPathStyle(), "Report.pdf", "/data/r 1.pdf",
     "Report.pdf"},
    {"Old/report.pdf </data/r.pdf>", PosixPathStyle(), "Old/report.pdf", "/data/r.pdf",
     "report.pdf"},
    {"x:name <p>", PosixPathStyle(), "x:name", "p", "x:name"},
    {"C:\\docs\\q.txt", WindowsPathStyle(), "C:\\docs\\q.txt", "C:\\docs\\q.txt", "q.txt"},
    {"x:name <p>", WindowsPathStyle(), "x:name", "p", "name"},
    {"a > b <c>", PosixPathStyle(), "a > b <c>", "a > b <c>",
     "a > b <c>"},  // the first ">" is not the last
    {"<p>", PosixPathStyle(), "", "p", ""},
};

TEST(ParseAttachmentLine, NameAndPath) {
  for (const AttachmentCase& c : AttachmentCases) {
    SCOPED_TRACE(c.line);
    TAttachmentLine parsed = ParseAttachmentLine(c.line, c.style);
    EXPECT_EQ(parsed.DisplayName, c.displayName);
    EXPECT_EQ(parsed.Path, c.path);
    EXPECT_EQ(parsed.FileName, c.fileName);
  }
}

TEST(Base64Lines, StandardVectorsOneLineEach) {
  const std::pair<std::string, std::string> vectors[] = {
      {"f", "Zg==\r\n"},
      {"fo", "Zm8=\r\n"},
      {"foo", "Zm9v\r\n"},
      {"foob", "Zm9vYg==\r\n"},
      {"fooba", "Zm9vYmE=\r\n"},
      {"foobar", "Zm9vYmFy\r\n"},
      {"", ""},
      {std::string("\0\xff\xfe", 3), "AP/+\r\n"},
  };
  for (const auto& [data, lines] : vectors) {
    std::string out;
    AppendBase64Lines(data, out);
    EXPECT_EQ(out, lines);
  }
}

TEST(Base64Lines, SixtyCharacterLines) {
  for (size_t size : {44u, 45u, 46u, 90u, 100u, 1000u}) {
    SCOPED_TRACE(size);
    std::string out;
    AppendBase64Lines(std::string(size, 'a'), out);
    size_t fullLines = size / 45, rest = size % 45;
    size_t expected = fullLines * 62 + (rest ? (rest + 2) / 3 * 4 + 2 : 0);
    EXPECT_EQ(out.size(), expected);
    for (size_t at = 0; at + 62 <= fullLines * 62; at += 62)
      EXPECT_EQ(out.substr(at + 60, 2), "\r\n");
  }
}

struct StuffCase {
  std::vector<std::string> pieces;
  std::string sent;
};

const StuffCase StuffCases[] = {
    {{".\r\n"}, "..\r\n"},
    {{"a\r\n.\r\nb\r\n"}, "a\r\n..\r\nb\r\n"},
    {{"see\r\n.net\r\n"}, "see\r\n..net\r\n"},
    {{"a.b\r\n"}, "a.b\r\n"},
    {{"a\r\n", ".", "x\r\n"}, "a\r\n..x\r\n"},
    {{"a\r", "\n.\r\n"}, "a\r\n..\r\n"},
    {{"a\n.b"}, "a\n..b"},  // a bare line feed still starts a line for some servers
    {{"..\r\n"}, "...\r\n"},
};

TEST(DotStuffer, EveryLineThatBeginsWithAPoint) {
  for (const StuffCase& c : StuffCases) {
    TDotStuffer stuffer;
    std::string out;
    for (const std::string& piece : c.pieces) stuffer.Append(piece, out);
    EXPECT_EQ(out, c.sent);
  }
}

}  // namespace
