// Entry replacement: what answers an entry, what counts as one, texts of any
// length, and the filter serving several request threads at once.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "pithorama/engine/HttpFilter.h"
#include "pithorama/platform/DateTime.h"
#include "tests/support/FakeEngine.h"

namespace pithorama::test {
namespace {

// A filter whose handler answers nothing, so the filter's own look-ups run.
struct LookingFilter {
  LookingFilter() {
    filter.OnHttpEntry = [this](std::string name, bool& handled) {
      names.push_back(name);
      handled = false;
    };
  }
  THttpTextFilterComponent filter{nullptr};
  std::vector<std::string> names;
};

struct EntryCase {
  const char* what;
  std::string text;
  std::map<std::string, std::string> variables, fields;
  std::string answer;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const EntryCase& c, std::ostream* os) { *os << c.what; }

const std::string na(NotAvailable);

const EntryCase entryCases[] = {
    {"no entry", "plain text", {}, {}, "plain text"},
    {"variable", "a%HOST%b", {{"HOST", "h"}}, {}, "ahb"},
    {"field", "a%NAME%b", {}, {{"NAME", "f"}}, "afb"},
    {"variable wins over field", "%X%", {{"X", "v"}}, {{"X", "f"}}, "v"},
    {"empty variable falls to the field", "%X%", {{"X", ""}}, {{"X", "f"}}, "f"},
    {"unavailable variable falls to the field", "%X%", {{"X", na}}, {{"X", "f"}}, "f"},
    {"empty field writes nothing", "[%X%]", {}, {{"X", ""}}, "[]"},
    {"unanswered entry vanishes", "a%NOPE%b", {}, {}, "ab"},
    {"names are case-sensitive", "%date%", {}, {}, ""},
    {"field beats the time", "%TIME%", {}, {{"TIME", "noon"}}, "noon"},
    {"field beats the date", "%DATE%", {}, {{"DATE", ""}}, ""},
    {"variable beats the hidden input",
     "%RANDOM_HIDDEN_INPUT%",
     {{"RANDOM_HIDDEN_INPUT", "v"}},
     {},
     "v"},
    {"blank in the stretch passes it as text", "50% off, 20% more", {}, {}, "50% off, 20% more"},
    {"blank-free stretch is an entry", "100%<br>50%", {}, {}, "100"},
    {"adjacent signs vanish", "a%%b", {}, {}, "ab"},
    {"adjacent signs with an empty-name field", "a%%b", {}, {{"", "F"}}, "aFb"},
    {"sign at the end", "end%", {}, {}, "end%"},
    {"sign alone", "%", {}, {}, "%"},
    {"sign without a closing one", "%open text", {}, {}, "%open text"},
    {"closing sign opens the next entry", "% x%V%", {{"V", "1"}}, {}, "% x1"},
    {"control bytes trimmed off the name", "%\tV\r%", {{"V", "1"}}, {}, "1"},
    {"zero byte kept as text",
     std::string("a\0b%V%", 6),
     {{"V", "1"}},
     {},
     std::string("a\0b1", 4)},
    {"three signs", "%V%%", {{"V", "1"}}, {}, "1%"},
};

class EntryTest : public ::testing::TestWithParam<EntryCase> {};

TEST_P(EntryTest, Answer) {
  const EntryCase& c = GetParam();
  FilterEngine engine;
  engine.variables = c.variables;
  engine.fields = c.fields;
  LookingFilter f;
  f.filter.SendText(c.text);
  EXPECT_EQ(engine.Answer(), c.answer);
}

INSTANTIATE_TEST_SUITE_P(Entries, EntryTest, ::testing::ValuesIn(entryCases), [](const auto& info) {
  std::string name;
  for (const char* p = info.param.what; *p; ++p)
    name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return name;
});

TEST(TextFilterTest, WithoutHandlerTextGoesOutUnchanged) {
  FilterEngine engine;
  engine.variables = {{"TIME", "v"}};
  THttpTextFilterComponent filter(nullptr);
  filter.SendText("at %TIME% and %DATE%");
  EXPECT_EQ(engine.writes, std::vector<std::string>{"at %TIME% and %DATE%"});
  EXPECT_EQ(engine.lookups, 0);
}

TEST(TextFilterTest, HandlerGetsTrimmedNameAndAnswersFirst) {
  FilterEngine engine;
  engine.variables = {{"GREET", "variable"}};
  THttpTextFilterComponent filter(nullptr);
  std::vector<std::string> names;
  filter.OnHttpEntry = [&](std::string name, bool& handled) {
    names.push_back(name);
    EXPECT_TRUE(handled);
    THttpTextFilterComponent inner(nullptr);
    inner.SendText("<hello>");
  };
  filter.SendText("a%\tGREET %b");  // a blank in the stretch: no entry
  filter.SendText("a%\tGREET\n%b");
  EXPECT_EQ(engine.Answer(), "a%\tGREET %ba<hello>b");
  EXPECT_EQ(names, std::vector<std::string>{"GREET"});
  EXPECT_EQ(engine.lookups, 0);
}

TEST(TextFilterTest, BuiltInTimeDateAndHiddenInput) {
  FilterEngine engine;
  LookingFilter f;
  f.filter.SendText("%TIME%|%DATE%|%RANDOM_HIDDEN_INPUT%");
  std::smatch m;
  const std::string answer = engine.Answer();
  ASSERT_TRUE(std::regex_match(
      answer, m,
      std::regex(
          R"re((\d\d:\d\d:\d\d)\|(\d{4}-\d\d-\d\d)\|<INPUT TYPE="HIDDEN" NAME="RANDOM_HIDDEN_INPUT" VALUE="(\d+)">)re")))
      << answer;
  long seconds = std::stol(m[3]);
  EXPECT_GE(seconds, 0);
  EXPECT_LT(seconds, 86400);
}

// A field named like the hidden input (the value posted back) is shadowed.
TEST(TextFilterTest, PostedHiddenInputIsShadowed) {
  FilterEngine engine;
  engine.fields = {{"RANDOM_HIDDEN_INPUT", "posted"}};
  LookingFilter f;
  f.filter.SendText("%RANDOM_HIDDEN_INPUT%");
  EXPECT_EQ(engine.Answer().rfind("<INPUT TYPE=\"HIDDEN\"", 0), 0u) << engine.Answer();
}

// Long texts are written whole, and a sign far from the last one is still seen.
TEST(TextFilterTest, LongTextsAreNotCut) {
  FilterEngine engine;
  engine.variables = {{"V", "1"}};
  LookingFilter f;
  const std::string filler(100000, 'x');
  f.filter.SendText(filler + "%V%" + filler);
  EXPECT_EQ(engine.Answer(), filler + "1" + filler);
  engine.writes.clear();
  f.filter.SendText("%V%" + filler + "%V" + filler);
  EXPECT_EQ(engine.Answer(), "1" + filler + "%V" + filler);
}

TEST(TextFilterTest, NoEngineNoOutputNoCrash) {
  THttpTextFilterComponent filter(nullptr);
  filter.OnHttpEntry = [](std::string, bool& handled) { handled = false; };
  EXPECT_NO_THROW(filter.SendText("a%TIME%b"));
}

// One filter, two request threads, each with its own engine.
TEST(TextFilterTest, EachThreadWritesToItsOwnEngine) {
  struct {
    THttpTextFilterComponent filter{nullptr};
  } f;
  f.filter.OnHttpEntry = [](std::string, bool& handled) { handled = false; };
  auto serve = [&](const std::string& value, std::string& answer) {
    FilterEngine engine;
    engine.variables = {{"WHO", value}};
    for (int i = 0; i < 500; ++i) f.filter.SendText("<%WHO%>");
    answer = engine.Answer();
  };
  std::string a, b;
  std::thread ta(serve, "a", std::ref(a)), tb(serve, "b", std::ref(b));
  ta.join();
  tb.join();
  std::string expectA, expectB;
  for (int i = 0; i < 500; ++i) expectA += "<a>", expectB += "<b>";
  EXPECT_EQ(a, expectA);
  EXPECT_EQ(b, expectB);
}

}  // namespace
}  // namespace pithorama::test
