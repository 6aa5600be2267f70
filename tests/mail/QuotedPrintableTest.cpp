// The quoted-printable body encoding, line by line: what readers would change
// if the text went out raw, and the 76-character lines.
#include <gtest/gtest.h>

#include "pithorama/mail/QuotedPrintable.h"

using namespace pithorama;

namespace {

struct QpCase {
  const char* name;
  std::string text;
  std::string encoded;
};

const std::string Long80(80, 'a');

const QpCase QpCases[] = {
    {"PlainTextStays", "Hello, world.\r\n", "Hello, world.\r\n"},
    {"EqualsSign", "if (a==b)\r\n", "if (a=3D=3Db)\r\n"},
    {"LookAlikeEscape", "ten plus ten=20\r\n", "ten plus ten=3D20\r\n"},
    {"LineEndingInEquals", "a =\r\nb\r\n", "a =3D\r\nb\r\n"},
    {"EightBit", "y\xBE\r\n", "y=BE\r\n"},
    {"TrailingBlankAndTab", "ten plus ten \r\nx\t\r\n", "ten plus ten=20\r\nx=09\r\n"},
    {"BlanksInsideStay", "a  b\tc\r\n", "a  b\tc\r\n"},
    {"EmptyLinesStay", "\r\n\r\na\r\n", "\r\n\r\na\r\n"},
    {"BareLineFeedIsALineBreak", "a\nb\r\n", "a\r\nb\r\n"},
    {"BareCarriageReturn", "a\rb\r\n", "a=0Db\r\n"},
    {"NoFinalLineBreak", "end ", "end=20"},
    {"ControlAndZero", std::string("a\0b\x7f", 4), "a=00b=7F"},
    {"SeventySixFit", std::string(76, 'a') + "\r\n", std::string(76, 'a') + "\r\n"},
    {"SoftBreakAfter75", Long80 + "\r\n", std::string(75, 'a') + "=\r\naaaaa\r\n"},
    {"EscapeNotCut", std::string(74, 'a') + "==\r\n", std::string(74, 'a') + "=\r\n=3D=3D\r\n"},
    {"LastEscapeFitsAt76", std::string(73, 'a') + "=\r\n", std::string(73, 'a') + "=3D\r\n"},
    {"TrailingBlankAfterSoftBreak", std::string(75, 'a') + " \r\n",
     std::string(75, 'a') + "=\r\n=20\r\n"},
};

TEST(QuotedPrintable, EncodesWhatReadersWouldChange) {
  for (const QpCase& c : QpCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EncodeQuotedPrintable(c.text), c.encoded);
  }
}

// A quote line far over the 998 bytes that servers take.
TEST(QuotedPrintable, EveryLineAtMost76Characters) {
  std::string text;
  for (int i = 0; i < 3000; ++i)
    text += static_cast<char>(i % 7 == 0 ? '=' : i % 11 == 0 ? '\xE9' : 'a' + i % 26);
  std::string encoded = EncodeQuotedPrintable(text + "\r\n");
  size_t start = 0;
  for (size_t end; (end = encoded.find("\r\n", start)) != std::string::npos; start = end + 2)
    EXPECT_LE(end - start, 76u) << encoded.substr(start, end - start);
  EXPECT_EQ(start, encoded.size());
}

}  // namespace
