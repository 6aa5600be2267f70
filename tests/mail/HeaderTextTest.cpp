// Header values as readers show them: encoded words, values without line
// ends, folded lines, the declared charset and the Date field.
#include <gtest/gtest.h>

#include "pithorama/mail/HeaderText.h"

using namespace pithorama;

namespace {

struct TextCase {
  const char* name;
  std::string text;
  std::string value;
};

const TextCase TextCases[] = {
    {"PlainStays", "Pithorama", "Pithorama"},
    {"LineEndsBecomeBlanks", "Hi\r\nBcc: evil@x.org\nX: y", "Hi  Bcc: evil@x.org X: y"},
    {"EightBit",
     "Gr\xFC\xDF"
     "e aus K\xF6ln",
     "=?iso-8859-1?Q?Gr=FC=DFe_aus_K=F6ln?="},
    {"LookAlikeEncodedWord", "=?x?Q?a?=", "=?iso-8859-1?Q?=3D=3Fx=3FQ=3Fa=3F=3D?="},
    {"LongWord", std::string(1000, 's'), ""},  // encoded words of at most 75 characters
};

TEST(HeaderText, ValuesReadersShowAsWritten) {
  for (const TextCase& c : TextCases) {
    SCOPED_TRACE(c.name);
    std::string value = HeaderText(c.text, "iso-8859-1");
    if (!c.value.empty()) {
      EXPECT_EQ(value, c.value);
    }
    EXPECT_EQ(value.find_first_of("\r\n"), std::string::npos);
    size_t start = 0;
    for (size_t end; (end = value.find(' ', start)) != std::string::npos; start = end + 1)
      EXPECT_LE(end - start, 900u);
  }
}

TEST(EncodeWords, SplitIntoWordsOfAtMost75) {
  std::string text(100, '\xE9');
  std::string words = EncodeWords(text, "iso-8859-1");
  std::string expected;
  for (int count : {19, 19, 19, 19, 19, 5}) {
    if (!expected.empty()) expected += ' ';
    expected += "=?iso-8859-1?Q?";
    for (int i = 0; i < count; ++i) expected += "=E9";
    expected += "?=";
  }
  EXPECT_EQ(words, expected);
}

TEST(EncodeWords, Utf8CharactersStayWhole) {
  std::string text;
  for (int i = 0; i < 30; ++i) text += "\xC3\xA9";  // é
  std::string words = EncodeWords(text, "UTF-8");
  for (size_t at = 0; (at = words.find("?= ", at)) != std::string::npos; ++at)
    EXPECT_EQ(words.substr(at - 6, 6), "=C3=A9");
}

TEST(FormatHeaderAddressList, EightBitNamesEncodedQuotesUndone) {
  EXPECT_EQ(
      FormatHeaderAddressList(
          "J\xF6rg M\xFCller <j@x.org>, \"M\xFCller, J\xF6rg\" <m@x.org>, Ann <a@x.org>",
          "iso-8859-1"),
      "=?iso-8859-1?Q?J=F6rg_M=FCller?= <j@x.org>,=?iso-8859-1?Q?M=FCller=2C_J=F6rg?= <m@x.org>,"
      "Ann <a@x.org>");
}

struct FoldCase {
  const char* name;
  std::string line;
  std::string folded;
};

const std::string Address = "<someone.with.a.long.name@example.org>";  // 38 characters

const FoldCase FoldCases[] = {
    {"ShortStays", "To: <a@x.org>,<b@x.org>", "To: <a@x.org>,<b@x.org>"},
    {"AddressListAfterCommas", "To: " + Address + "," + Address + "," + Address,
     "To: " + Address + ",\r\n " + Address + "," + Address},
    {"SubjectBeforeBlanks", "Subject: " + std::string(40, 'a') + " " + std::string(40, 'b') + " c ",
     "Subject: " + std::string(40, 'a') + "\r\n " + std::string(40, 'b') + " c "},
    {"CommaInSubjectIsNoFold", "Subject: " + std::string(40, 'a') + "," + std::string(40, 'b'),
     "Subject: " + std::string(40, 'a') + "," + std::string(40, 'b')},
    {"CommaInQuotedNameIsNoFold",
     "To: \"" + std::string(40, 'a') + "," + std::string(40, 'b') + "\" <a@x.org>",
     "To: \"" + std::string(40, 'a') + "," + std::string(40, 'b') + "\"\r\n <a@x.org>"},
};

TEST(FoldHeaderLines, FoldsWhereUnfoldingGivesTheLineBack) {
  for (const FoldCase& c : FoldCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FoldHeaderLines("From: <q@x.org>\r\n" + c.line + "\r\nX: y\r\n"),
              "From: <q@x.org>\r\n" + c.folded + "\r\nX: y\r\n");
  }
}

TEST(FoldHeaderLines, LongListLinesAtMost78) {
  std::string line = "To: ";
  for (int i = 0; i < 60; ++i) line += (i ? "," : "") + Address;
  std::string folded = FoldHeaderLines(line + "\r\n");
  size_t start = 0;
  for (size_t end; (end = folded.find("\r\n", start)) != std::string::npos; start = end + 2)
    EXPECT_LE(end - start, 78u);
  std::string unfolded = folded;
  for (size_t at; (at = unfolded.find("\r\n ")) != std::string::npos;) unfolded.erase(at, 3);
  EXPECT_EQ(unfolded, line + "\r\n");
}

TEST(DeclaredCharset, FromTheContentTypeLine) {
  EXPECT_EQ(DeclaredCharset({"Subject: x", "Content-Type: text/plain; charset=iso-8859-1"}),
            "iso-8859-1");
  EXPECT_EQ(DeclaredCharset({"content-type: text/plain; CHARSET=\"utf-8\"; format=flowed"}),
            "utf-8");
  EXPECT_EQ(DeclaredCharset({"X-Note: charset=koi8-r", "Subject: x"}), "iso-8859-1");
  EXPECT_TRUE(DeclaresQuotedPrintable({"Content-Transfer-Encoding: Quoted-Printable "}));
  EXPECT_FALSE(DeclaresQuotedPrintable({"Content-Transfer-Encoding: 8bit"}));
  EXPECT_FALSE(DeclaresQuotedPrintable({"X-Transfer: quoted-printable"}));
}

TEST(FormatMailDate, LocalTimeWithItsZone) {
  TDateTime local = EncodeDateTime({2026, 12, 10, 12, 16, 33, 500, 0});
  EXPECT_EQ(FormatMailDate(local, -60), "Thu, 10 Dec 2026 12:16:33 +0100");
  EXPECT_EQ(FormatMailDate(local, 0), "Thu, 10 Dec 2026 12:16:33 +0000");
  EXPECT_EQ(FormatMailDate(EncodeDateTime({2027, 1, 3, 7, 5, 9, 0, 0}), 270),
            "Sun, 3 Jan 2027 07:05:09 -0430");
}

TEST(HasHeaderField, ByNameInAnyCase) {
  EXPECT_TRUE(HasHeaderField("From: a\r\ndate: x\r\n", "Date"));
  EXPECT_TRUE(HasHeaderField("Message-Id: <x>\r\n", "Message-ID"));
  EXPECT_FALSE(HasHeaderField("X-Date: x\r\nSubject: Date: y\r\n", "Date"));
}

}  // namespace
