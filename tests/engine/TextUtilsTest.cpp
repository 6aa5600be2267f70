#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>

#include "pithorama/engine/HttpEng.h"
#include "pithorama/engine/Scramble.h"
#include "tests/support/ThisProcess.h"

using namespace pithorama;

TEST(UrlDecode, Table) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"a%2", "a%2"},     {"%zz", "%zz"},   {"%", "%"},
      {"a+b%41", "a bA"}, {"%4a%4A", "JJ"}, {"%00x", std::string("\0x", 2)},
      {"%%41", "%A"},     {"100%", "100%"}, {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(UrlDecode(c.in), c.out);
  }
}

TEST(UrlEncode, Table) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"a b/x.y", "a+b/x.y"},           {"x=1&y", "x%3D1%26y"},   {"\xE9", "%E9"},
      {"-_*~:,", "%2D%5F%2A%7E%3A%2C"}, {"C:\\dir", "C%3A\\dir"}, {std::string("\0", 1), "%00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(UrlEncode(c.in), c.out);
    EXPECT_EQ(UrlDecode(UrlEncode(c.in)), c.in);
  }
}

TEST(GetFieldValue, Table) {
  const struct {
    std::string name, text, fallback, out;
  } cases[] = {
      {" q ", "Q=1&r=2&q=3", "none", "1\r\n3"},
      {"q", "r=2", "none", "none"},
      {"a", "a=%20x%20", "", "x"},
      {"B", "a=1&b=two+words", "", "two words"},
      {"page", "flag&page=2", "none", "2"},  // a piece without "=" is a field of its own
      {"flag", "flag&page=2", "none", ""},
      {"FLAG", "page=2&flag", "none", ""},
      {"junk&x", "junk&x=1", "none", "none"},
      {"a", "a&a=2", "none", "\r\n2"},
      {"b", "a=1&&b=2&", "none", "2"},  // empty pieces are no fields
      {"", "&&", "none", "none"},
      {"a", "a=&a=2", "", "\r\n2"},
      {"%41", "A=1", "", ""},  // the wanted name is not decoded
      {"A", "%41=1", "", "1"},
      {"v", "v=a%26b%3Dc", "", "a&b=c"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " in " + c.text);
    EXPECT_EQ(GetFieldValue(c.name, c.text, c.fallback), c.out);
  }
}

TEST(ParseFieldNames, Table) {
  const struct {
    std::string text;
    TStringList names;
  } cases[] = {
      {"a=1&a=2&b=3&a=4", {"a", "b", "a"}},
      {"x&y=1", {"x", "y"}},
      {"flag&page=2&flag", {"flag", "page", "flag"}},
      {"a=1&&a=2&", {"a"}},
      {"%41=1", {"A"}},
      {"%2541=1", {"%41"}},
      {"", {}},
      {"=1", {""}},
      {"a=1&A=2", {"a", "A"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(THttpEngine::ParseFieldNames(c.text), c.names);
  }
}

class HttpDateTest : public ::testing::Test {
 protected:
  void SetZone(const char* zone) {
    pithorama::test::SetEnvironment("TZ", zone);
    tzset();
  }
  void TearDown() override {
    if (saved_)
      pithorama::test::SetEnvironment("TZ", saved_->c_str());
    else
      pithorama::test::UnsetEnvironment("TZ");
    tzset();
  }
  std::optional<std::string> saved_ =
      std::getenv("TZ") ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;
};

TEST_F(HttpDateTest, LayoutAndDayShift) {
  if (!pithorama::test::TimeZoneFollowsTZ())
    GTEST_SKIP() << "the local time zone comes from the system's settings, not from TZ";
  const struct {
    const char* zone;
    DateTimeParts local;
    std::string out;
  } cases[] = {
      {"UTC0", {1994, 11, 6, 8, 49, 37}, "Sun,  06 Nov 1994 08:49:37 GMT"},
      // 00:30 in a zone ahead of GMT falls on the previous day.
      {"CET-1CEST,M3.5.0,M10.5.0/3", {2026, 1, 1, 0, 30, 0}, "Wed,  31 Dec 2025 23:30:00 GMT"},
      // Summer time counts only where it is in force: July is two hours ahead...
      {"CET-1CEST,M3.5.0,M10.5.0/3", {2026, 7, 1, 12, 0, 0}, "Wed,  01 Jul 2026 10:00:00 GMT"},
      // ...and January one hour.
      {"CET-1CEST,M3.5.0,M10.5.0/3", {2026, 1, 15, 12, 0, 0}, "Thu,  15 Jan 2026 11:00:00 GMT"},
      {"EST5EDT,M3.2.0,M11.1.0", {2024, 2, 28, 22, 0, 0}, "Thu,  29 Feb 2024 03:00:00 GMT"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    SetZone(c.zone);
    EXPECT_EQ(HttpDate(EncodeDateTime(c.local)), c.out);
  }
}

TEST(BuildFileName, WindowsStyle) {
  const auto& win = WindowsPathStyle();
  EXPECT_EQ(BuildFileName("D:\\web\\app.exe", "logs", false, "app.exe", false, "Log", win),
            "D:\\web\\logs\\app.Log");
  EXPECT_EQ(BuildFileName("D:\\web\\app.exe", "D:\\web\\Log", false, "app.exe", false, "Log", win),
            "D:\\web\\Log\\app.Log");
  EXPECT_EQ(BuildFileName("D:\\web\\app.exe", "", false, "1234p.gif", false, "tmp", win),
            "D:\\web\\1234p.tmp");
  EXPECT_EQ(BuildFileName("D:\\web\\app.exe", ".", false, "x.tar.gz", false, "", win),
            "D:\\web\\x.tar.gz");
  EXPECT_EQ(BuildFileName("D:\\web\\app.exe", "tmp", false, "E:\\keep.me", false, "tmp", win),
            "E:\\keep.me");
  EXPECT_EQ(BuildFileName("\\\\server\\share\\app.exe", "", false, "a", false, "Log", win),
            "\\server\\share\\a.Log");
  EXPECT_EQ(BuildFileName("D:\\web\\app.cgi.exe", "", true, "x", true, "", win),
            "D:\\web\\appx.cgi.exe");
}

TEST(BuildFileName, PosixStyle) {
  const auto& posix = PosixPathStyle();
  EXPECT_EQ(BuildFileName("/srv/web/app", "Log", false, "app", false, "Log", posix),
            "/srv/web/Log/app.Log");
  EXPECT_EQ(BuildFileName("/srv/web/app", "/var/log/app", false, "app", false, "Log", posix),
            "/var/log/app/app.Log");
  EXPECT_EQ(BuildFileName("/srv/web/app", "/tmp", false, "42p.gif", false, "tmp", posix),
            "/tmp/42p.tmp");
  EXPECT_EQ(BuildFileName("/srv/web/app", "./up/", false, "f", false, "tmp", posix),
            "/srv/web/up/f.tmp");
}

TEST(GetEnvVar, ZbRule) {
  pithorama::test::SetEnvironment("SERVER_SOFTWARE", "ZB-Server/1.0");
  EXPECT_EQ(GetEnvVar("SERVER_SOFTWARE"), "");
  pithorama::test::SetEnvironment("SERVER_SOFTWARE", "zb-server/1.0");
  EXPECT_EQ(GetEnvVar("SERVER_SOFTWARE"), "zb-server/1.0");
  pithorama::test::SetEnvironment("OTHER_SOFTWARE", "ZB");
  EXPECT_EQ(GetEnvVar("OTHER_SOFTWARE"), "ZB");
  pithorama::test::UnsetEnvironment("SERVER_SOFTWARE");
  EXPECT_EQ(GetEnvVar("SERVER_SOFTWARE"), "");
  // Read whole: longer than any fixed buffer, within Windows' limit of 32767
  // characters for one variable.
  const std::string longValue(32000, 'q');
  pithorama::test::SetEnvironment("QUERY_STRING", longValue);
  EXPECT_EQ(GetEnvVar("QUERY_STRING"), longValue);
  pithorama::test::UnsetEnvironment("QUERY_STRING");
}

TEST(StrToInt, Table) {
  EXPECT_EQ(StrToInt("12"), 12);
  EXPECT_EQ(StrToInt("-7"), -7);
  EXPECT_EQ(StrToInt("$1F"), 31);
  EXPECT_EQ(StrToIntDef("12x", 0), 0);
  EXPECT_EQ(StrToIntDef("99999999999", 0), 0);
  EXPECT_EQ(StrToIntDef("", 5), 5);
  try {
    StrToInt("12x");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'12x' is not a valid integer value");
  }
}

TEST(ScrambleString, KeepsLengthAndIsKeyed) {
  for (const std::string& text :
       TStringList{"", "a", "ab", "abc", "hello world", std::string("\0\xff", 2)}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ScrambleString(text, 1234).size(), text.size());
  }
  // Swap pairs from the end ("ab" -> "ba"), XOR with key+i, rotate right by (key%2483+i)%8.
  // key 0: 'b'^1 = 0x63 rotated right by 1 = 0xB1; 'a'^2 = 0x63 rotated right by 2 = 0xD8.
  EXPECT_EQ(ScrambleString("ab", 0), "\xB1\xD8");
  EXPECT_NE(ScrambleString("session", 1), ScrambleString("session", 2));
  EXPECT_EQ(ScrambleString("x", INT32_MIN).size(), 1u);
}

TEST(HtmlEscape, Table) {
  const struct {
    std::string_view text, html, attribute;
  } cases[] = {
      {"plain text", "plain text", "plain text"},
      {"<script>a&b</script>", "&lt;script&gt;a&amp;b&lt;/script&gt;",
       "&lt;script&gt;a&amp;b&lt;/script&gt;"},
      {"say \"hi\" and 'bye'", "say &quot;hi&quot; and 'bye'",
       "say &quot;hi&quot; and &#39;bye&#39;"},
      {"&amp;", "&amp;amp;", "&amp;amp;"},
      {std::string_view("a\0\xff", 3), std::string_view("a\0\xff", 3),
       std::string_view("a\0\xff", 3)},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    EXPECT_EQ(HtmlEscape(c.text), c.html);
    EXPECT_EQ(HtmlAttributeEscape(c.text), c.attribute);
  }
}

TEST(CookieValue, Table) {
  const struct {
    const char* name;
    std::string_view header, cookie;
    std::optional<std::string> value;
  } cases[] = {
      {"one cookie", "visits=3", "visits", "3"},
      {"among several", "a=1; visits=3; b=2", "visits", "3"},
      {"no blank after ;", "a=1;visits=3", "visits", "3"},
      {"quoted", "id=\"x y\"; a=1", "id", "x y"},
      {"empty value", "a=; b=2", "a", ""},
      {"missing", "a=1; b=2", "c", std::nullopt},
      {"case matters", "Visits=3", "visits", std::nullopt},
      {"first of the name wins", "a=1; a=2", "a", "1"},
      {"value holds =", "t=a=b", "t", "a=b"},
      {"pair without =", "flag; a=1", "a", "1"},
      {"blanks around", "  a = 1 ;b=2", "a", "1"},
      {"prefix of another name", "ab=1; a=2", "a", "2"},
      {"empty header", "", "a", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CookieValue(c.header, c.cookie), c.value);
  }
}

TEST(HttpText, ReasonPhrases) {
  const struct {
    int code;
    std::string_view phrase;
  } cases[] = {{200, "OK"}, {302, "Found"}, {404, "Not Found"}, {503, "Service Unavailable"},
               {299, ""},   {0, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(HttpReasonPhrase(c.code), c.phrase);
  }
}
