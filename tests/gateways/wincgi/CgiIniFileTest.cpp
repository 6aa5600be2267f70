#include <gtest/gtest.h>

#include <optional>

#include "pithorama/gateways/wincgi/CgiIniFile.h"
#include "pithorama/platform/Errors.h"
#include "tests/support/Process.h"

using namespace pithorama;

namespace {

struct Lookup {
  std::string section, key;
  std::optional<std::string> value;  // nothing: the key is not there
};

struct ProfileCase {
  const char* name;
  std::string profile;
  std::vector<Lookup> lookups;
};

std::string Repeat(char c, size_t n) { return std::string(n, c); }

// Sections S1 ... Sn, each with the key K = its number.
std::string ManySections(int count) {
  std::string text;
  for (int i = 1; i <= count; ++i)
    text += "[S" + std::to_string(i) + "]\r\nK=" + std::to_string(i) + "\r\n";
  return text;
}

TEST(CgiIniFile, LineAndKeyRules) {
  const std::string key31 = Repeat('k', 31), key32 = Repeat('k', 32);
  const std::string longValue = Repeat('v', 5000);
  const ProfileCase cases[] = {
      {"CR LF lines, blanks before keys and around the equals sign",
       "[CGI]\r\n   Request Method  =  POST \r\n\tQuery String= a=1 \r\n",
       {{"CGI", "REQUEST METHOD", "POST"}, {"cgi", " query string ", "a=1"}}},
      {"a key given twice keeps the second value",
       "[CGI]\r\nA=1\r\nB=2\r\na = 3\r\n",
       {{"CGI", "A", "3"}, {"CGI", "B", "2"}}},
      {"equals sign at byte 32 counts, at byte 33 the line is ignored",
       "[X]\r\n" + key31 + "=in\r\n" + key32 + "=out\r\n",
       {{"X", key31, "in"}, {"X", key32, std::nullopt}}},
      {"header with blanks and a second closing bracket",
       "[ Form Literal ] ]  \r\ncolour=red\r\n",
       {{"Form Literal", "COLOUR", "red"}, {"FORM LITERAL", "colour", "red"}}},
      {"a lone LF does not end a line",
       "[CGI]\r\nA=1\nB=2\r\n",
       {{"CGI", "A", "1\nB=2"}, {"CGI", "B", std::nullopt}}},
      {"the byte after a CR starts the next line unless it is blank or control",
       "[CGI]\rA=1\rB=2\r\r\n  C=3",
       {{"CGI", "A", "1"}, {"CGI", "B", "2"}, {"CGI", "C", "3"}}},
      {"keys before the first section, empty keys and comments are ignored",
       "A=0\r\n; A=comment\r\n[CGI]\r\n=empty\r\n;comment\r\nno equals here\r\n",
       {{"CGI", "A", std::nullopt}, {"CGI", "", std::nullopt}, {"CGI", "; A", std::nullopt}}},
      {"the last line needs no line end", "[CGI]\r\nA=1", {{"CGI", "A", "1"}}},
      {"only the first equals sign splits",
       "[CGI]\r\nQuery String=a=1&b==2\r\n",
       {{"CGI", "QUERY STRING", "a=1&b==2"}}},
      {"a line longer than 4095 bytes is read whole",
       "[Form Literal]\r\nlong=" + longValue + "\r\nnext=1\r\n",
       {{"Form Literal", "LONG", longValue}, {"Form Literal", "NEXT", "1"}}},
      {"a repeated section header makes that section current again",
       "[CGI]\r\nA=1\r\n[System]\r\nB=2\r\n[CGI]\r\nC=3\r\n",
       {{"CGI", "C", "3"}, {"System", "C", std::nullopt}, {"System", "B", "2"}}},
      {"51 sections are kept", ManySections(51), {{"S1", "K", "1"}, {"S51", "K", "51"}}},
      {"the keys of a 52nd section are dropped, not added to the 51st",
       ManySections(53),
       {{"S51", "K", "51"}, {"S52", "K", std::nullopt}, {"S53", "K", std::nullopt}}},
      {"a known section after the full table is current again",
       ManySections(52) + "[S1]\r\nL=again\r\n",
       {{"S1", "L", "again"}, {"S51", "L", std::nullopt}}},
      {"a missing section or key",
       "[CGI]\r\nA=1\r\n",
       {{"Nope", "A", std::nullopt}, {"CGI", "B", std::nullopt}}},
  };
  for (const ProfileCase& c : cases) {
    SCOPED_TRACE(c.name);
    TCGIIniFile profile(c.profile);
    for (const Lookup& lookup : c.lookups) {
      SCOPED_TRACE(lookup.section + " / " + lookup.key.substr(0, 40));
      EXPECT_EQ(profile.Find(lookup.section, lookup.key), lookup.value);
      EXPECT_EQ(profile.ReadValue(lookup.section, lookup.key, "dflt"),
                lookup.value.value_or("dflt"));
    }
  }
}

TEST(CgiIniFile, SectionsInOrderOfFirstAppearance) {
  TCGIIniFile profile("[CGI]\r\n[ system ]\r\n[cgi]\r\n[]\r\n");
  EXPECT_EQ(profile.Sections(), (TStringList{"CGI", "SYSTEM", ""}));
}

TEST(CgiIniFile, SetValue) {
  TCGIIniFile profile("[CGI]\r\nA=1\r\n");
  profile.SetValue(" cgi ", "a", "  2\t");
  profile.SetValue("Missing", "A", "3");
  EXPECT_EQ(profile.ReadValue("CGI", "A", ""), "2");
  EXPECT_EQ(profile.Find("Missing", "A"), std::nullopt);
}

TEST(CgiIniFile, FormFieldNames) {
  const struct {
    const char* name;
    std::string profile;
    TStringList names;
  } cases[] = {
      {"numbered further values are left out",
       "[Form Literal]\r\ncolour=red\r\ncolour_1=green\r\ncolour_2=blue\r\n",
       {"COLOUR"}},
      {"names that only begin like a field stay fields",
       "[Form Literal]\r\nab_2=x\r\na=1\r\na_1=2\r\nab=3\r\na2=4\r\na_x=5\r\nab_1=6\r\n",
       {"A", "A_X", "A2", "AB"}},
      {"ten and more further values",
       "[Form Literal]\r\nf=0\r\nf_1=1\r\nf_10=10\r\nf_2=2\r\ng=9\r\n",
       {"F", "G"}},
      {"every form section in file order, other sections left out",
       "[Form File]\r\nup=[/tmp/1] 3 text/plain binary [a.txt]\r\n[CGI]\r\nA=1\r\n"
       "[Form External]\r\nbig=/tmp/2 300\r\n[Form Literal]\r\nsmall=1\r\n[Formless]\r\nz=1\r\n",
       {"UP", "BIG", "SMALL", "Z"}},
      {"a field named by digits alone is a field", "[Form Literal]\r\n12=a\r\n", {"12"}},
      {"the prefix starts afresh in each section",
       "[Form Literal]\r\nx=1\r\n[Form External]\r\nx_1=/tmp/1 1\r\n",
       {"X", "X_1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TCGIIniFile(c.profile).GetFormFieldNames(), c.names);
  }
}

TEST(CgiIniFile, CreateReadsTheFileAndFailsWhenItIsMissing) {
  pithorama::test::TempFolder folder;
  pithorama::test::WriteWholeFile(folder.File("p.ini"), "[System]\r\nOutput File=/tmp/o\r\n");
  EXPECT_EQ(TCGIIniFile::Create(folder.File("p.ini"))->ReadValue("System", "Output File", ""),
            "/tmp/o");
  EXPECT_THROW(TCGIIniFile::Create(folder.File("missing.ini")), EFOpenError);
}

}  // namespace
