// The fields decoded once per request answer exactly what the look-ups over
// the text answer.
#include <gtest/gtest.h>

#include "pithorama/engine/FormFields.h"
#include "pithorama/engine/HttpEng.h"

using namespace pithorama;

namespace {

struct FieldsCase {
  const char* title;
  std::string text;
  std::vector<std::string> wanted;  // names looked up, absent ones included
};

const FieldsCase kCases[] = {
    {"piece without = before a field", "flag&page=2", {"flag", "page", "FLAG", "other"}},
    {"repeated names joined in order", "q=1&r=2&Q=3&q=", {"q", " Q ", "r"}},
    {"values decoded and trimmed", "a=%20x%20&b=two+words&c=%09", {"a", "B", "c"}},
    {"names decoded, wanted name not", "%41=1&%2541=2", {"A", "%41", "%2541"}},
    {"value keeps & and =", "v=a%26b%3Dc&w=x=y", {"v", "w"}},
    {"empty pieces and empty names", "&&=1&a=&&", {"", "a"}},
    {"blank name trimmed away", "+=1& a =2", {"", "a"}},
    {"zero byte kept", std::string("z=a%00b&y\0=1", 12), {"z", std::string("y\0", 2)}},
    {"empty text", "", {"a"}},
};

TEST(FormFields, SameAnswersAsTheTextLookUps) {
  for (const FieldsCase& c : kCases) {
    SCOPED_TRACE(c.title);
    const TFormFields fields(c.text);
    for (const std::string& name : c.wanted) {
      SCOPED_TRACE(name);
      EXPECT_EQ(fields.Value(name, NotAvailable), GetFieldValue(name, c.text, NotAvailable));
    }
    EXPECT_EQ(fields.Names(), THttpEngine::ParseFieldNames(c.text));
  }
}

TEST(FormFields, Table) {
  const TFormFields fields("flag&page=2&a=1&A=+2+&page=3");
  EXPECT_EQ(fields.Value("flag", "none"), "");
  EXPECT_EQ(fields.Value("page", "none"), "2\r\n3");
  EXPECT_EQ(fields.Value("a", "none"), "1\r\n2");
  EXPECT_EQ(fields.Value("missing", "none"), "none");
  EXPECT_EQ(fields.Names(), (TStringList{"flag", "page", "a", "A", "page"}));
}

}  // namespace

TEST(FormFields, EveryValueOfARepeatedField) {
  const struct {
    const char* text;
    const char* name;
    TStringList values;
  } cases[] = {
      {"a=1&b=2&A=3", "a", {"1", "3"}},
      {"a=line+1%0D%0Aline+2&a=x", "a", {"line 1\r\nline 2", "x"}},  // a value's own CR LF stays
      {"a=&a=+2+", " A ", {"", "2"}},
      {"a=1", "b", {}},
      {"", "a", {}},
      {"flag&flag=1", "flag", {"", "1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TFormFields(c.text).Values(c.name), c.values);
  }
}
