#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <thread>

#include "engine/HttpEng.h"
#include "engine/HUtils.h"
#include "platform/Files.h"
#include "platform/Module.h"
#include "tests/engine/FakeEngine.h"
#include "tests/support/Process.h"

using namespace pithorama;

namespace {

const std::string kDate = R"([A-Z][a-z]{2},  \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT)";

struct Case {
  const char* name;
  std::string serverSoftware;
  bool noCache;
  bool autoHeader;
  std::function<void(FakeEngine&)> handler;
  std::string expected;  // a regular expression over the whole answer
};

std::string Quote(const std::string& text) {
  return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

}  // namespace

TEST(RequestCycle, AnswerBytes) {
  const Case cases[] = {
      {"nothing written", "lighttpd", false, true, [](FakeEngine&) {},
       Quote("HTTP/1.0 200 OK\r\ncontent-type:text/html\r\n\r\n")},
      {"nothing written, Netscape", "Netscape-Enterprise/3.6", false, true, [](FakeEngine&) {},
       Quote("content-type:text/html\r\n\r\n")},
      {"html with NoCache", "lighttpd", true, true, [](FakeEngine& e) { e.Write("<p>hi</p>"); },
       Quote("HTTP/1.0 200 OK\r\ncontent-type:text/html\r\nPragma:no-cache\r\n"
             "Cache-Control:no-cache\r\nExpires:") + kDate + Quote("\r\nDocument Expires:") +
           kDate + Quote("\r\n\r\n<p>hi</p>")},
      {"Location first", "lighttpd", false, true,
       [](FakeEngine& e) {
         e.AddHeader("Location", "http://example.org/");
         e.EndHeaders();
       },
       // The request cycle still completes the header: nothing started it.
       Quote("Location:http://example.org/\r\n\r\ncontent-type:text/html\r\n\r\n")},
      {"part of location", "lighttpd", false, true, [](FakeEngine& e) { e.AddHeader("loc", "x"); },
       Quote("loc:x\r\ncontent-type:text/html\r\n\r\n")},
      {"only headers", "lighttpd", false, true,
       [](FakeEngine& e) {
         e.AddHeader("Status", "404 Not Found");
         e.EndHeaders();
         e.Write("gone");
       },
       Quote("HTTP/1.0 200 OK\r\nStatus:404 Not Found\r\n\r\ngone"
             "content-type:text/html\r\n\r\n")},
      {"blank before tag", "lighttpd", false, true, [](FakeEngine& e) { e.Write(" <p>"); },
       Quote(" <p>HTTP/1.0 200 OK\r\ncontent-type:text/html\r\n\r\n")},
      {"auto header off", "lighttpd", false, false,
       [](FakeEngine& e) {
         e.AddHeader("X", "1");
         e.Write("<p>");
       },
       Quote("X:1\r\n<p>")},
      {"second text", "lighttpd", false, true,
       [](FakeEngine& e) {
         e.Write("<a>");
         e.Write("<b>");
       },
       Quote("HTTP/1.0 200 OK\r\ncontent-type:text/html\r\n\r\n<a><b>")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEngine engine;
    engine.variables["SERVER SOFTWARE"] = c.serverSoftware;
    engine.NoCache = c.noCache;
    engine.AutoHttpHeader = c.autoHeader;
    engine.OnExecRequest = [&](TObject* sender) {
      EXPECT_EQ(sender, &engine);
      c.handler(engine);
    };
    engine.RunRequest();
    EXPECT_TRUE(std::regex_match(engine.answer, std::regex(c.expected))) << engine.answer;
  }
}

TEST(RequestCycle, ExpiresIsThousandDaysBack) {
  setenv("TZ", "UTC0", 1);
  FakeEngine engine;
  engine.NoCache = true;
  engine.OnExecRequest = [&](TObject*) { engine.Write("<x>"); };
  engine.RunRequest();
  const std::string expected = "Expires:" + HttpDate(Now() - 1000).substr(0, 16);
  EXPECT_NE(engine.answer.find(expected), std::string::npos) << engine.answer;
  unsetenv("TZ");
}

TEST(RequestCycle, ErrorGoesToHandlerOrLog) {
  testsupport::TempFolder logs;
  setenv("CGI_LOG_DIR", logs.Path().c_str(), 1);

  FakeEngine withHandler;
  std::string reported;
  withHandler.OnRequestError = [&](TObject* sender, const Exception& error) {
    EXPECT_EQ(sender, &withHandler);
    reported = error.Message();
  };
  withHandler.OnExecRequest = [](TObject*) { throw EConvertError("bad"); };
  withHandler.RunRequest();
  EXPECT_EQ(reported, "bad");
  EXPECT_EQ(withHandler.answer, "");  // no header completed after an error

  FakeEngine withoutHandler;
  bool finished = false;
  withoutHandler.OnExecRequest = [](TObject*) { throw Exception("boom"); };
  withoutHandler.exec = [&] { finished = true; };
  withoutHandler.RunRequest();
  EXPECT_FALSE(finished);
  EXPECT_EQ(withoutHandler.answer, "");
  EXPECT_EQ(RequestState().RequestNumber, 0);

  const std::string log =
      testsupport::ReadWholeFile(logs.File(ExtractFileName(ModuleFileName()) + ".Log"));
  EXPECT_TRUE(std::regex_match(
      log, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,  \d{1,3} : Unhandled exception : boom\r\n)")))
      << log;
  unsetenv("CGI_LOG_DIR");
}

TEST(RequestCycle, OtherFailuresPassOn) {
  FakeEngine engine;
  engine.OnExecRequest = [](TObject*) { throw std::runtime_error("not ours"); };
  EXPECT_THROW(engine.RunRequest(), std::runtime_error);
}

TEST(RequestCycle, VariableGetters) {
  FakeEngine engine;
  engine.variables["QUERY STRING"] = std::string(NotAvailable);
  engine.variables["HTTP COOKIE"] = std::string(NotAvailable);
  engine.variables["CONTENT LENGTH"] = "12x";
  engine.variables["SERVER PORT SECURE"] = "1";
  engine.variables["SCRIPT NAME"] = "/cgi-bin/app";
  EXPECT_EQ(engine.GetQueryString(), "");
  EXPECT_EQ(engine.GetCookie(), NotAvailable);
  EXPECT_EQ(engine.GetContentLength(), 0);
  EXPECT_TRUE(engine.IsServerPortSecure());
  EXPECT_EQ(engine.GetUrl(), "/cgi-bin/app");
  engine.variables["SERVER PORT SECURE"] = "01";
  EXPECT_FALSE(engine.IsServerPortSecure());
  engine.variables["CONTENT LENGTH"] = "42";
  EXPECT_EQ(engine.GetContentLength(), 42);
}

TEST(RequestCycle, TempFilesGoAndSessionIsPerRequest) {
  testsupport::TempFolder folder;
  const std::string upload = folder.File("1p.tmp");
  FakeEngine engine;
  engine.exec = [&] {
    testsupport::WriteWholeFile(upload, "x");
    RequestState().TempFiles = std::make_unique<TStringList>(TStringList{upload, folder.File("gone")});
    ASSERT_NE(RequestState().SessionCookie, nullptr);
    EXPECT_TRUE(RequestState().SessionCookie->Coded);
  };
  engine.RunRequest();
  EXPECT_FALSE(FileExists(upload));
  EXPECT_EQ(RequestState().TempFiles, nullptr);
  EXPECT_EQ(RequestState().SessionCookie, nullptr);
  EXPECT_TRUE(engine.Components().empty());
}

TEST(RequestCycle, SessionFileIsScrambledAndEncoded) {
  testsupport::TempFolder folder;
  FakeEngine engine;
  engine.exec = [&] {
    RequestState().SessionFile = folder.File("session");
    RequestState().SessionLines->push_back("user=1");
    RequestState().SessionLines->push_back("");
  };
  engine.RunRequest();
  RequestState().SessionFile.clear();
  const std::string text = testsupport::ReadWholeFile(folder.File("session"));
  ASSERT_EQ(text.substr(text.size() - 4), "\r\n\r\n");
  EXPECT_EQ(UrlDecode(text.substr(0, text.size() - 4)).size(), 6u);
}

TEST(RequestCycle, ForwardsWithoutEngineAreQuiet) {
  std::thread([] {
    EXPECT_EQ(CurrentEngine(), nullptr);
    EngineWrite("<p>");
    EXPECT_EQ(EngineGetVariable("REMOTE ADDR"), "");
    EXPECT_EQ(EngineGetField("a", "d"), "");
    EXPECT_EQ(EngineGetRemoteHost(), "");
    EXPECT_EQ(EngineGetReferer(), "");
    EngineDestroyLock(nullptr);
  }).join();
}
