#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>

#include "pithorama/engine/HUtils.h"
#include "pithorama/engine/HttpEng.h"
#include "pithorama/platform/Files.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/Threads.h"
#include "tests/support/FakeEngine.h"
#include "tests/support/Process.h"

using namespace pithorama;
using pithorama::test::FakeEngine;

namespace {

// True when `text` has the layout of `pattern`, where "9" stands for a digit
// and "A" for a letter; every other character must match itself.
bool HasLayout(std::string_view text, std::string_view pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char p = pattern[i], t = text[i];
    if (p == '9'   ? !std::isdigit(static_cast<unsigned char>(t))
        : p == 'A' ? !std::isalpha(static_cast<unsigned char>(t))
                   : p != t)
      return false;
  }
  return true;
}

// Runs `work` on a thread of its own; false when it has not ended within
// ten seconds (a deadlock), in which case the thread is left behind.
bool FinishesInTime(std::function<void()> work) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ended = done->get_future();
  StartDetachedThread([work = std::move(work), done] {
    work();
    done->set_value();
  });
  return ended.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

constexpr std::string_view kDateLayout = "AAA,  99 AAA 9999 99:99:99 GMT";

// Replaces each HTTP date after "Expires:" with "DATE" once its layout is checked.
std::string MaskDates(std::string text) {
  for (size_t pos = 0; (pos = text.find("Expires:", pos)) != std::string::npos;) {
    pos += 8;
    if (HasLayout(std::string_view(text).substr(pos, kDateLayout.size()), kDateLayout))
      text.replace(pos, kDateLayout.size(), "DATE");
  }
  return text;
}

struct Case {
  const char* name;
  std::string serverSoftware;
  bool noCache;
  bool autoHeader;
  std::function<void(FakeEngine&)> handler;
  std::string expected;  // the whole answer, dates masked
};

}  // namespace

TEST(RequestCycle, AnswerBytes) {
  const Case cases[] = {
      {"nothing written", "lighttpd", false, true, [](FakeEngine&) {},
       ("HTTP/1.0 200 OK\r\ncontent-type:text/html\r\n\r\n")},
      {"nothing written, Netscape", "Netscape-Enterprise/3.6", false, true, [](FakeEngine&) {},
       ("content-type:text/html\r\n\r\n")},
      {"html with NoCache", "lighttpd", true, true, [](FakeEngine& e) { e.Write("<p>hi</p>"); },
       "HTTP/1.0 200 OK\r\ncontent-type:text/html\r\nPragma:no-cache\r\n"
       "Cache-Control:no-cache\r\nExpires:DATE\r\n\r\n<p>hi</p>"},
      {"Location first", "lighttpd", false, true,
       [](FakeEngine& e) {
         e.AddHeader("Location", "http://example.org/");
         e.EndHeaders();
       },
       // The request cycle still completes the header: nothing started it.
       ("Location:http://example.org/\r\n\r\ncontent-type:text/html\r\n\r\n")},
      {"part of location", "lighttpd", false, true, [](FakeEngine& e) { e.AddHeader("loc", "x"); },
       ("loc:x\r\ncontent-type:text/html\r\n\r\n")},
      {"only headers", "lighttpd", false, true,
       [](FakeEngine& e) {
         e.AddHeader("Status", "404 Not Found");
         e.EndHeaders();
         e.Write("gone");
       },
       ("HTTP/1.0 200 OK\r\nStatus:404 Not Found\r\n\r\ngone"
        "content-type:text/html\r\n\r\n")},
      {"blank before tag", "lighttpd", false, true, [](FakeEngine& e) { e.Write(" <p>"); },
       (" <p>HTTP/1.0 200 OK\r\ncontent-type:text/html\r\n\r\n")},
      {"auto header off", "lighttpd", false, false,
       [](FakeEngine& e) {
         e.AddHeader("X", "1");
         e.Write("<p>");
       },
       ("X:1\r\n<p>")},
      {"second text", "lighttpd", false, true,
       [](FakeEngine& e) {
         e.Write("<a>");
         e.Write("<b>");
       },
       ("HTTP/1.0 200 OK\r\ncontent-type:text/html\r\n\r\n<a><b>")},
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
    EXPECT_EQ(MaskDates(engine.answer), c.expected);
  }
}

TEST(RequestCycle, ExpiresIsThousandDaysBack) {
  pithorama::test::SetEnvironment("TZ", "UTC0");
  FakeEngine engine;
  engine.NoCache = true;
  engine.OnExecRequest = [&](TObject*) { engine.Write("<x>"); };
  engine.RunRequest();
  const std::string expected = "Expires:" + HttpDate(Now() - 1000).substr(0, 16);
  EXPECT_NE(engine.answer.find(expected), std::string::npos) << engine.answer;
  pithorama::test::UnsetEnvironment("TZ");
}

TEST(RequestCycle, ErrorGoesToHandlerOrLog) {
  pithorama::test::TempFolder logs;
  pithorama::test::SetEnvironment("CGI_LOG_DIR", logs.Path());

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

  // The log is named after the program, up to the first dot of its name.
  const std::string program = ExtractFileName(ModuleFileName());
  const std::string log =
      pithorama::test::ReadWholeFile(logs.File(program.substr(0, program.find('.')) + ".Log"));
  // "date time,  number : message" with the request number of 0 to 999.
  const std::string tail = " : Unhandled exception : boom\r\n";
  ASSERT_GT(log.size(), 22 + tail.size()) << log;
  EXPECT_TRUE(HasLayout(log.substr(0, 22), "9999-99-99 99:99:99,  ")) << log;
  const std::string number = log.substr(22, log.size() - 22 - tail.size());
  EXPECT_TRUE(HasLayout(number, std::string(number.size(), '9')) && number.size() <= 3) << log;
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
  pithorama::test::UnsetEnvironment("CGI_LOG_DIR");
}

TEST(RequestCycle, EveryStandardErrorIsAnErrorOfTheRequest) {
  const struct {
    const char* name;
    std::function<void()> raise;
    std::string message;
  } cases[] = {
      {"the system's own", [] { throw EConvertError("'x' is not a valid integer value"); },
       "'x' is not a valid integer value"},
      {"std::stoi on a bad field", [] { (void)std::stoi("x"); }, "stoi"},
      {"std::out_of_range", [] { (void)std::string("ab").at(5); }, ""},
      {"std::runtime_error", [] { throw std::runtime_error("not ours"); }, "not ours"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEngine engine;
    std::string reported = "(not reported)";
    engine.OnRequestError = [&](TObject*, const Exception& error) { reported = error.Message(); };
    engine.OnExecRequest = [&](TObject*) {
      engine.Write("<p>");
      c.raise();
    };
    engine.RunRequest();
    if (!c.message.empty())
      EXPECT_EQ(reported, c.message);
    else
      EXPECT_NE(reported, "(not reported)");
    EXPECT_EQ(engine.answer.substr(engine.answer.size() - 3), "<p>");  // the answer stands
  }
}

TEST(RequestCycle, ForeignFailurePassesOnAfterTheEndOfRequestWork) {
  pithorama::test::TempFolder folder;
  const std::string upload = folder.File("1p.tmp");
  SetLibraryMode(true);  // a library in ServerMode serialises requests with its lock
  FakeEngine engine;
  engine.CGIMode = TCGIMode::ServerMode;
  engine.exec = [&] {
    pithorama::test::WriteWholeFile(upload, "x");
    RequestState().TempFiles = std::make_unique<TStringList>(TStringList{upload});
    throw 42;
  };
  EXPECT_THROW(engine.RunRequest(), int);
  EXPECT_FALSE(FileExists(upload));
  EXPECT_EQ(RequestState().TempFiles, nullptr);
  EXPECT_EQ(RequestState().SessionCookie, nullptr);

  // The lock was left: a request on another thread gets through.
  FakeEngine other;
  other.CGIMode = TCGIMode::ServerMode;
  EXPECT_TRUE(FinishesInTime([&other] { other.RunRequest(); }));
  SetLibraryMode(false);
}

TEST(RequestCycle, LockIsReentrantForItsOwner) {
  FakeEngine engine;
  TLock* lock = engine.CreateLock();
  EXPECT_TRUE(FinishesInTime([&] {
    engine.EnterLock(lock);
    engine.EnterLock(lock);
    engine.LeaveLock(lock);
    engine.LeaveLock(lock);
  }));
  // Left as often as entered, it is free for another thread.
  EXPECT_TRUE(FinishesInTime([&] {
    engine.EnterLock(lock);
    engine.LeaveLock(lock);
  }));
  engine.DestroyLock(lock);
}

TEST(RequestCycle, HeaderLinesCarryNoLineEnds) {
  const struct {
    const char* name;
    std::string headerName, value;
    std::string expected;  // the answer, with AutoHttpHeader off
  } cases[] = {
      {"plain", "Location", "http://example.org/", "Location:http://example.org/\r\n"},
      {"value with CR LF", "Location", "/a\r\nSet-Cookie: s=1\r\n\r\n<script>",
       "Location:/aSet-Cookie: s=1<script>\r\n"},
      {"value with bare LF", "X-Note", "a\nb", "X-Note:ab\r\n"},
      {"name with a blank", "Document Expires", "x", ""},
      {"name with CR LF", "X\r\nSet-Cookie", "x", ""},
      {"name with a colon", "X:Y", "x", ""},
      {"empty name", "", "x", ""},
      {"token signs", "X-a.b_c!#$%&'*+^`|~1", "v", "X-a.b_c!#$%&'*+^`|~1:v\r\n"},
  };
  pithorama::test::TempFolder logs;
  pithorama::test::SetEnvironment("CGI_LOG_DIR", logs.Path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEngine engine;
    engine.AutoHttpHeader = false;
    engine.AddHeader(c.headerName, c.value);
    EXPECT_EQ(engine.answer, c.expected);
  }
  pithorama::test::UnsetEnvironment("CGI_LOG_DIR");
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
  pithorama::test::TempFolder folder;
  const std::string upload = folder.File("1p.tmp");
  FakeEngine engine;
  engine.exec = [&] {
    pithorama::test::WriteWholeFile(upload, "x");
    RequestState().TempFiles =
        std::make_unique<TStringList>(TStringList{upload, folder.File("gone")});
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
  pithorama::test::TempFolder folder;
  FakeEngine engine;
  engine.exec = [&] {
    RequestState().SessionFile = folder.File("session");
    RequestState().SessionLines->push_back("user=1");
    RequestState().SessionLines->push_back("");
  };
  engine.RunRequest();
  RequestState().SessionFile.clear();
  const std::string text = pithorama::test::ReadWholeFile(folder.File("session"));
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
