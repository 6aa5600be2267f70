// The answer's status and redirect that a program chooses: where the engine
// writes them, and what it refuses.
#include <gtest/gtest.h>

#include <functional>

#include "pithorama/engine/GenEng.h"
#include "pithorama/engine/HttpEng.h"
#include "tests/support/FakeEngine.h"
#include "tests/support/Process.h"

using namespace pithorama;
using pithorama::test::FakeEngine;

namespace {

const std::string kType = "content-type:text/html\r\n";

TEST(AnswerStatus, WrittenWhereTheServerExpectsIt) {
  const struct {
    const char* name;
    std::string software;
    std::function<void(THttpEngine&)> handler;
    std::string answer;
  } cases[] = {
      {"no status chosen", "lighttpd", [](THttpEngine&) {}, "HTTP/1.0 200 OK\r\n" + kType + "\r\n"},
      {"no status chosen, NETSCAPE", "Netscape-Enterprise/3.6", [](THttpEngine&) {},
       kType + "\r\n"},
      {"404 with its usual phrase", "lighttpd",
       [](THttpEngine& e) {
         EXPECT_TRUE(e.SetStatus(404));
         e.Write("<p>gone</p>");
       },
       "HTTP/1.0 404 Not Found\r\n" + kType + "\r\n<p>gone</p>"},
      {"own phrase", "lighttpd", [](THttpEngine& e) { EXPECT_TRUE(e.SetStatus(503, "Busy now")); },
       "HTTP/1.0 503 Busy now\r\n" + kType + "\r\n"},
      {"control bytes left out of the phrase", "lighttpd",
       [](THttpEngine& e) { EXPECT_TRUE(e.SetStatus(400, "Bad\r\nX-Evil:1")); },
       "HTTP/1.0 400 BadX-Evil:1\r\n" + kType + "\r\n"},
      {"a code without a phrase", "lighttpd", [](THttpEngine& e) { EXPECT_TRUE(e.SetStatus(299)); },
       "HTTP/1.0 299 \r\n" + kType + "\r\n"},
      {"NETSCAPE gets a Status line", "Netscape-Enterprise/3.6",
       [](THttpEngine& e) { EXPECT_TRUE(e.SetStatus(404)); },
       "Status:404 Not Found\r\n" + kType + "\r\n"},
      {"the last choice counts", "lighttpd",
       [](THttpEngine& e) {
         EXPECT_TRUE(e.SetStatus(500));
         EXPECT_TRUE(e.SetStatus(201));
       },
       "HTTP/1.0 201 Created\r\n" + kType + "\r\n"},
      {"redirect", "lighttpd", [](THttpEngine& e) { EXPECT_TRUE(e.Redirect("/next?a=1")); },
       "HTTP/1.0 302 Found\r\nLocation:/next?a=1\r\n\r\n"},
      {"redirect with 303 and a body", "lighttpd",
       [](THttpEngine& e) {
         EXPECT_TRUE(e.Redirect("http://x/", 303));
         e.Write("<a href=\"http://x/\">x</a>");
       },
       "HTTP/1.0 303 See Other\r\nLocation:http://x/\r\n\r\n<a href=\"http://x/\">x</a>"},
      {"cookie line between status and redirect", "lighttpd",
       [](THttpEngine& e) {
         EXPECT_TRUE(e.SetStatus(303));
         e.AddHeader("Set-Cookie", "a=; Max-Age=0");
         EXPECT_TRUE(e.Redirect("/", 303));
       },
       "HTTP/1.0 303 See Other\r\nSet-Cookie:a=; Max-Age=0\r\nLocation:/\r\n\r\n"},
      {"redirect under another status refused", "lighttpd",
       [](THttpEngine& e) {
         EXPECT_TRUE(e.SetStatus(303));
         e.AddHeader("X-A", "1");
         EXPECT_FALSE(e.Redirect("/", 302));
       },
       "HTTP/1.0 303 See Other\r\nX-A:1\r\n" + kType + "\r\n"},
      {"redirect under NETSCAPE", "Netscape-Enterprise/3.6",
       [](THttpEngine& e) { EXPECT_TRUE(e.Redirect("/n", 301)); },
       "Status:301 Moved Permanently\r\nLocation:/n\r\n\r\n"},
      {"a Location line of its own keeps no status line", "lighttpd",
       [](THttpEngine& e) {
         e.AddHeader("Location", "/x");
         e.EndHeaders();
       },
       "Location:/x\r\n\r\n" + kType + "\r\n"},
      {"too late after the header", "lighttpd",
       [](THttpEngine& e) {
         e.Write("<p>");
         EXPECT_FALSE(e.SetStatus(404));
         EXPECT_FALSE(e.Redirect("/late"));
       },
       "HTTP/1.0 200 OK\r\n" + kType + "\r\n<p>"},
      {"too late after a header line", "lighttpd",
       [](THttpEngine& e) {
         e.AddHeader("X-A", "1");
         EXPECT_FALSE(e.SetStatus(404));
       },
       "HTTP/1.0 200 OK\r\nX-A:1\r\n" + kType + "\r\n"},
      {"no HTTP codes", "lighttpd",
       [](THttpEngine& e) {
         EXPECT_FALSE(e.SetStatus(99));
         EXPECT_FALSE(e.SetStatus(600));
         EXPECT_FALSE(e.Redirect("/x", 200));
       },
       "HTTP/1.0 200 OK\r\n" + kType + "\r\n"},
      {"AutoHttpHeader off", "lighttpd",
       [](THttpEngine& e) {
         e.AutoHttpHeader = false;
         EXPECT_FALSE(e.SetStatus(404));
       },
       ""},
  };
  pithorama::test::TempFolder logs;
  pithorama::test::SetEnvironment("CGI_LOG_DIR", logs.Path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEngine engine;
    engine.variables["SERVER SOFTWARE"] = c.software;
    engine.exec = [&] { c.handler(engine); };
    engine.RunRequest();
    EXPECT_EQ(engine.answer, c.answer);
  }
  pithorama::test::UnsetEnvironment("CGI_LOG_DIR");
}

TEST(AnswerStatus, RefusalIsLogged) {
  pithorama::test::TempFolder logs;
  pithorama::test::SetEnvironment("CGI_LOG_DIR", logs.Path());
  FakeEngine engine;
  engine.exec = [&] {
    engine.Write("<p>");
    engine.SetStatus(404);
  };
  engine.RunRequest();
  const std::string log = pithorama::test::ReadWholeFile(logs.File("engine_tests.Log"));
  EXPECT_NE(log.find("Status 404 refused: the header is the program's own or has begun"),
            std::string::npos)
      << log;
  pithorama::test::UnsetEnvironment("CGI_LOG_DIR");
}

TEST(AnswerStatus, ChosenForOneRequestOnly) {
  FakeEngine engine;
  engine.exec = [&] { engine.SetStatus(404); };
  engine.RunRequest();
  engine.exec = nullptr;
  engine.answer.clear();
  engine.RunRequest();
  EXPECT_EQ(engine.answer, "HTTP/1.0 200 OK\r\n" + kType + "\r\n");
}

TEST(AnswerStatus, FacadeForwardsToTheCurrentEngine) {
  TComponent owner(nullptr);
  auto* facade = new TGeneralHttpEngine(&owner);
  EXPECT_FALSE(facade->SetStatus(404));  // no current engine on this thread
  EXPECT_FALSE(facade->Redirect("/x"));
  EXPECT_TRUE(facade->GetFieldValues("a").empty());
  FakeEngine engine;
  engine.content = "a=1&b=2&a=x";
  engine.exec = [&] {
    EXPECT_EQ(facade->GetFieldValues("A"), (TStringList{"1", "x"}));  // the base splits
    EXPECT_TRUE(facade->Redirect("/there", 307));
  };
  engine.RunRequest();
  EXPECT_EQ(engine.answer, "HTTP/1.0 307 Temporary Redirect\r\nLocation:/there\r\n\r\n");
}

}  // namespace
