// The ISAPI engine against a server in memory: variables, input, redirects,
// the executable path, the version calls and the filter.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <thread>

#include "pithorama/gateways/isapi/IsapiEng.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/Threads.h"
#include "tests/gateways/isapi/FakeServer.h"
#include "tests/support/Process.h"

using namespace pithorama;
using namespace pithorama::test;

namespace {

TGatewaySettings Settings(int32_t readLimit = 10000) {
  TGatewaySettings settings;
  settings.AutoReadLimit = readLimit;
  return settings;
}

// The error log of this test program in a folder of its own.
class LogFolder {
 public:
  LogFolder() { pithorama::test::SetEnvironment("CGI_LOG_DIR", folder_.Path()); }
  ~LogFolder() { pithorama::test::UnsetEnvironment("CGI_LOG_DIR"); }
  std::string Text() const {
    return pithorama::test::ReadWholeFile(folder_.File("isapi_tests.Log"));
  }

 private:
  pithorama::test::TempFolder folder_;
};

TEST(IsapiVariables, LookUp) {
  FakeServer server;
  server.query = "a=1";
  server.pathInfo = "/more";
  server.pathTranslated = "D:\\www\\more";
  server.variables = {{"SERVER_SOFTWARE", "Test/1.0"},
                      {"SCRIPT_NAME", "/scripts/app.dll"},
                      {"REMOTE_ADDR", "10.0.0.1"},
                      {"QUERY_STRING", "from the callback"},
                      {"HTTP_COOKIE", std::string(600, 'c')},
                      {"HTTP_X_" + std::string(60, 'N'), "long name"}};
  const struct {
    std::string name, value;
  } cases[] = {
      {"SERVER SOFTWARE", "Test/1.0"},
      {"remote addr", "10.0.0.1"},
      {"QUERY STRING", "a=1"},  // the control block's own fields
      {"PATH_INFO", "/more"},
      {"Path Translated", "D:\\www\\more"},
      {"EXECUTABLE PATH", "/scripts/app.dll"},
      {"HTTP COOKIE", std::string(600, 'c')},           // longer than the first buffer: asked again
      {"HTTP X " + std::string(60, 'N'), "long name"},  // names of any length
      {"NOT OFFERED", ""},
  };
  TISAPIEngine engine(nullptr, Settings());
  engine.OnExecRequest = [&](TObject*) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      EXPECT_EQ(engine.GetVariable(c.name), c.value);
    }
    EXPECT_EQ(engine.GetVariable("#1NOT_AVAILABLE#1"), "");
  };
  EXPECT_EQ(engine.HttpExtensionProc(server.Block()), isapi::HSE_STATUS_SUCCESS);
  EXPECT_EQ(std::count(server.askedNames.begin(), server.askedNames.end(), "QUERY_STRING"), 0);
}

TEST(IsapiInput, ReadingCases) {
  const std::string multipart =
      "--XyZ\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nhello\r\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"up\"; filename=\"a.txt\"\r\n"
      "Content-Type: text/plain\r\n\r\n" +
      std::string(3000, 'u') + "\r\n--XyZ--\r\n";
  const std::string formType = "application/x-www-form-urlencoded";
  const std::string multipartType = "multipart/form-data; boundary=XyZ";
  const struct {
    const char* title;
    std::string contentType, body;
    size_t preload, readPiece;
    std::string query;
    int32_t limit;
    std::string content;  // "" with checkFields: look at fields instead
    bool logged;
  } cases[] = {
      {"GET: the query string", "", "", 0, 1, "q=1&r=2", 100, "q=1&r=2", false},
      {"preloaded only", formType, "a=1&b=2", 7, 1, "", 100, "a=1&b=2", false},
      {"preloaded plus remainder in pieces", formType, "a=1&b=" + std::string(50, 'x'), 4, 7, "",
       100, "a=1&b=" + std::string(50, 'x'), false},
      {"nothing preloaded", formType, "a=1&b=2", 0, 2, "", 100, "a=1&b=2", false},
      {"POST with query string", formType, "a=1", 3, 1, "q=2", 100, "a=1&q=2", false},
      {"zero byte ends the text", formType, std::string("a=1\0junk", 8), 8, 1, "", 100, "a=1",
       false},
      {"remainder over AutoReadLimit", formType, "a=1&b=" + std::string(500, 'x'), 4, 1000, "q=2",
       100, "a=1&", true},
      {"multipart", multipartType, multipart, 100, 500, "q=3", 10000, "", false},
      {"multipart over AutoReadLimit", multipartType, multipart, 100, 500, "q=3", 1000, "q=3",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    LogFolder log;
    pithorama::test::TempFolder temp;
    FakeServer server;
    server.method = c.body.empty() ? "GET" : "POST";
    server.contentType = c.contentType;
    server.variables["CONTENT_TYPE"] = c.contentType;
    server.query = c.query;
    server.readPiece = c.readPiece;
    server.SetBody(c.body, c.preload);
    TISAPIEngine engine(nullptr, Settings(c.limit));
    engine.TempDir = temp.Path();
    std::string content, f, upload, q;
    int32_t length = -1;
    engine.OnExecRequest = [&](TObject*) {
      content = IsapiThreadState().RequestContent;
      f = engine.GetField("f", "-");
      upload = engine.GetField("up", "-");
      q = engine.GetField("q", "-");
      length = engine.GetContentLength();
    };
    EXPECT_EQ(engine.HttpExtensionProc(server.Block()), isapi::HSE_STATUS_SUCCESS);
    EXPECT_EQ(length, static_cast<int32_t>(c.body.size()));
    if (c.content.empty()) {
      EXPECT_EQ(f, "hello");
      EXPECT_EQ(upload, "a.txt");
      EXPECT_EQ(q, "3");
    } else {
      EXPECT_EQ(content, c.content);
    }
    EXPECT_EQ(log.Text().find(" : Content length exceeds AutoReadLimit\r\n") != std::string::npos,
              c.logged)
        << log.Text();
  }
}

TEST(IsapiInput, ReadBufferFailsWhenTheServerRunsDry) {
  FakeServer server;
  server.SetBody("abcdefgh", 3);
  TISAPIEngine engine(nullptr, Settings());
  engine.AutoReadInput = false;
  engine.OnExecRequest = [&](TObject*) {
    char buffer[16];
    EXPECT_EQ(engine.ReadBuffer(buffer, 5), 5);  // 3 preloaded, 2 read
    EXPECT_EQ(std::string(buffer, 5), "abcde");
    EXPECT_EQ(engine.ReadBuffer(buffer, 10), -1);  // only 3 more exist
  };
  engine.HttpExtensionProc(server.Block());
}

TEST(IsapiAnswer, Redirects) {
  const std::string longLocation = "http://example.org/" + std::string(2000, 'p');
  const struct {
    const char* title;
    std::string name, location;
    bool refuse;
    std::vector<std::string> redirects;
    std::string output;
  } cases[] = {
      {"Location", "Location", "/elsewhere", false, {"/elsewhere"}, ""},
      {"any letter case", "lOCATION", "/x", false, {"/x"}, ""},
      {"longer than 512", "Location", longLocation, false, {longLocation}, ""},
      {"a part of the word is a header line",
       "LOC",
       "/y",
       false,
       {},
       "LOC:/y\r\ncontent-type:text/html\r\n\r\n"},
      {"refused by the server",
       "Location",
       "/z",
       true,
       {},
       "HTTP/1.0 200 OK\r\ncontent-type:text/html\r\n\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    LogFolder log;
    FakeServer server;
    server.refuseRedirect = c.refuse;
    TISAPIEngine engine(nullptr, Settings());
    engine.OnExecRequest = [&](TObject*) { engine.AddHeader(c.name, c.location); };
    engine.HttpExtensionProc(server.Block());
    EXPECT_EQ(server.redirects, c.redirects);
    EXPECT_EQ(server.output, c.output);
    EXPECT_EQ(log.Text().find("refused the redirect") != std::string::npos, c.refuse);
  }
}

// A chosen status goes to the server in the control block and opens the
// answer; a 302 redirect is the server's own, any other is written out.
TEST(IsapiAnswer, ChosenStatusAndRedirects) {
  const struct {
    const char* title;
    std::function<void(THttpEngine&)> handler;
    uint32_t code;
    std::vector<std::string> redirects;
    std::string output;
  } cases[] = {
      {"no status chosen: the block as the server filled it",
       [](THttpEngine& e) { e.Write("<p>"); },
       0,
       {},
       "HTTP/1.0 200 OK\r\ncontent-type:text/html\r\n\r\n<p>"},
      {"no status chosen: a Location after a cookie line is still the server's",
       [](THttpEngine& e) {
         e.AddHeader("Set-Cookie", "a=1");
         e.AddHeader("Location", "/there");
       },
       0,
       {"/there"},
       "HTTP/1.0 200 OK\r\nSet-Cookie:a=1\r\n"},
      {"404",
       [](THttpEngine& e) {
         e.SetStatus(404);
         e.Write("<p>");
       },
       404,
       {},
       "HTTP/1.0 404 Not Found\r\ncontent-type:text/html\r\n\r\n<p>"},
      {"302 redirect by the server",
       [](THttpEngine& e) { e.Redirect("/there"); },
       0,
       {"/there"},
       ""},
      {"302 after a cookie line written out",
       [](THttpEngine& e) {
         e.SetStatus(302);
         e.AddHeader("Set-Cookie", "a=1");
         e.Redirect("/there");
       },
       302,
       {},
       "HTTP/1.0 302 Found\r\nSet-Cookie:a=1\r\nLocation:/there\r\n\r\n"},
      {"303 redirect written out",
       [](THttpEngine& e) { e.Redirect("/there", 303); },
       303,
       {},
       "HTTP/1.0 303 See Other\r\nLocation:/there\r\n\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    FakeServer server;
    TISAPIEngine engine(nullptr, Settings());
    engine.OnExecRequest = [&](TObject*) { c.handler(engine); };
    auto& block = server.Block();
    engine.HttpExtensionProc(block);
    EXPECT_EQ(block.dwHttpStatusCode, c.code);
    EXPECT_EQ(server.redirects, c.redirects);
    EXPECT_EQ(server.output, c.output);
  }
}

TEST(IsapiAnswer, ExecutablePath) {
  const struct {
    std::string script, path;
  } cases[] = {
      {"D:\\www\\scripts\\app.dll", "/scripts/app.dll"},
      {"C:\\scripts\\app.dll", "/scripts/app.dll"},
      {"C:\\app.dll", "/app.dll"},
      {"/scripts/app.dll", "/scripts/app.dll"},
      {"scripts\\app.dll", "scripts\\app.dll"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    EXPECT_EQ(IsapiExecutablePath(c.script), c.path);
  }
}

TEST(IsapiEntryPoints, ExceptionsBecomeStatusAndLogData) {
  FakeServer server;
  TISAPIEngine engine(nullptr, Settings());
  // The request cycle reports a handler's error itself; an error handler that
  // fails in turn is what reaches the entry point.
  engine.OnExecRequest = [](TObject*) { throw std::runtime_error("bad field"); };
  engine.OnRequestError = [](TObject*, const Exception&) {
    throw std::runtime_error(std::string(200, 'e'));
  };
  isapi::TEXTENSION_CONTROL_BLOCK& block = server.Block();
  EXPECT_EQ(engine.HttpExtensionProc(block), isapi::HSE_STATUS_ERROR);
  EXPECT_EQ(std::string(block.lpszLogData), std::string(79, 'e'));
  EXPECT_EQ(IsapiThreadState().ExtensionBlock, nullptr);  // not kept past the call
}

TEST(IsapiEntryPoints, NoHandlerAnswersNothing) {
  FakeServer server;
  TISAPIEngine engine(nullptr, Settings());
  EXPECT_EQ(engine.HttpExtensionProc(server.Block()), isapi::HSE_STATUS_SUCCESS);
  EXPECT_EQ(server.output, "");
}

TEST(IsapiEntryPoints, Versions) {
  TISAPIEngine engine(nullptr, Settings());
  isapi::THSE_VERSION_INFO extension{};
  EXPECT_TRUE(engine.GetExtensionVersion(extension));
  EXPECT_EQ(extension.dwExtensionVersion, 0x00010001u);
  EXPECT_STREQ(extension.lpszExtensionDesc, "Gatewright 3.0");

  engine.OnHttpExtensionVersion = [](uint32_t& version, std::string& description, bool& result) {
    version = 0x00020003;
    description = std::string(400, 'd');  // cut to fit the record
    result = false;
  };
  EXPECT_FALSE(engine.GetExtensionVersion(extension));
  EXPECT_EQ(extension.dwExtensionVersion, 0x00020003u);
  EXPECT_EQ(std::string(extension.lpszExtensionDesc), std::string(255, 'd'));

  isapi::THTTP_FILTER_VERSION filter{};
  EXPECT_TRUE(engine.GetFilterVersion(filter));
  EXPECT_EQ(filter.dwFlags, isapi::SF_NOTIFY_READ_RAW_DATA);
  EXPECT_EQ(filter.dwFilterVersion, 0x00010000u);
  LogFolder log;
  engine.OnHttpFilterVersion = [](uint32_t&, uint32_t&, std::string&, uint32_t&, bool&) {
    throw Exception("no filter today");
  };
  EXPECT_FALSE(engine.GetFilterVersion(filter));
  EXPECT_NE(log.Text().find(" : no filter today\r\n"), std::string::npos);
}

TEST(IsapiEntryPoints, FirstRequestOnceWhenTwoArriveTogether) {
  TISAPIEngine engine(nullptr, Settings());
  std::atomic<int> firsts{0};
  std::atomic<bool> firstDone{false};
  std::atomic<int> beforeFirstDone{0};
  engine.OnFirstExecRequest = [&](TObject*) {
    ++firsts;
    SleepMs(100);
    firstDone = true;
  };
  engine.OnExecRequest = [&](TObject*) {
    if (!firstDone) ++beforeFirstDone;
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      FakeServer server;
      engine.HttpExtensionProc(server.Block());
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(firsts, 1);
  EXPECT_EQ(beforeFirstDone, 0);
}

// ---- the filter ----

class FilterServer {
 public:
  FilterServer() {
    context.cbSize = sizeof context;
    context.ServerContext = this;
    context.GetServerVariable = [](isapi::THTTP_FILTER_CONTEXT* pfc, char* name, void* buffer,
                                   isapi::DWORD* size) -> isapi::BOOL {
      auto& self = *static_cast<FilterServer*>(pfc->ServerContext);
      auto it = self.variables.find(name);
      if (it == self.variables.end() || *size <= it->second.size()) return 0;
      std::memcpy(buffer, it->second.c_str(), it->second.size() + 1);
      *size = static_cast<isapi::DWORD>(it->second.size() + 1);
      return 1;
    };
    context.WriteClient = [](isapi::THTTP_FILTER_CONTEXT* pfc, void* buffer, isapi::DWORD* bytes,
                             isapi::DWORD) -> isapi::BOOL {
      static_cast<FilterServer*>(pfc->ServerContext)
          ->output.append(static_cast<const char*>(buffer), *bytes);
      return 1;
    };
  }
  isapi::THTTP_FILTER_CONTEXT context{};
  std::map<std::string, std::string> variables;
  std::string output;
};

TEST(IsapiFilter, NeverUsesAStaleControlBlock) {
  FakeServer extensionServer;
  extensionServer.variables["SERVER_NAME"] = "from the old block";
  FilterServer filterServer;
  filterServer.variables["SERVER_NAME"] = "from the filter";
  TISAPIEngine engine(nullptr, Settings());
  std::string name;
  engine.OnHttpFilterProc = [&](isapi::THTTP_FILTER_CONTEXT&, uint32_t, void*, uint32_t& result) {
    name = engine.GetVariable("SERVER NAME");
    engine.Write("filtered");
    result = isapi::SF_STATUS_REQ_HANDLED_NOTIFICATION;
  };
  // As if an extension call of this thread had left its block behind.
  IsapiThreadState().ExtensionBlock = &extensionServer.Block();
  EXPECT_EQ(engine.HttpFilterProc(filterServer.context, isapi::SF_NOTIFY_PREPROC_HEADERS, nullptr),
            isapi::SF_STATUS_REQ_HANDLED_NOTIFICATION);
  EXPECT_EQ(name, "from the filter");
  EXPECT_EQ(filterServer.output, "filtered");
  EXPECT_EQ(extensionServer.output, "");
}

TEST(IsapiFilter, RawDataAndCookie) {
  FilterServer filterServer;
  TISAPIEngine engine(nullptr, Settings());
  std::string raw =
      "POST /app.dll?q=1 HTTP/1.1\r\nCookie: s=42\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n\r\na=1";
  // Exactly the delivered bytes, no zero after them.
  std::unique_ptr<char[]> bytes(new char[raw.size()]);
  std::memcpy(bytes.get(), raw.data(), raw.size());
  isapi::THTTP_FILTER_RAW_DATA data{bytes.get(), static_cast<isapi::DWORD>(raw.size()),
                                    static_cast<isapi::DWORD>(raw.size()), 0};
  std::string fields, cookie;
  engine.OnHttpFilterProc = [&](isapi::THTTP_FILTER_CONTEXT&, uint32_t type, void*, uint32_t&) {
    if (type == isapi::SF_NOTIFY_READ_RAW_DATA)
      fields = engine.GetField("a", "") + engine.GetField("q", "");
    else
      cookie = engine.GetVariable("HTTP COOKIE");
  };
  LogFolder log;
  EXPECT_EQ(engine.HttpFilterProc(filterServer.context, isapi::SF_NOTIFY_READ_RAW_DATA, &data),
            isapi::SF_STATUS_REQ_NEXT_NOTIFICATION);
  engine.HttpFilterProc(filterServer.context, isapi::SF_NOTIFY_PREPROC_HEADERS, nullptr);
  EXPECT_EQ(fields, "11");
  EXPECT_EQ(cookie, " s=42");

  engine.OnHttpFilterProc = [](isapi::THTTP_FILTER_CONTEXT&, uint32_t, void*, uint32_t& result) {
    result = isapi::SF_STATUS_REQ_FINISHED;
    throw Exception("filter trouble");
  };
  EXPECT_EQ(engine.HttpFilterProc(filterServer.context, isapi::SF_NOTIFY_READ_RAW_DATA, &data),
            isapi::SF_STATUS_REQ_FINISHED);
  EXPECT_NE(log.Text().find(" : filter trouble\r\n"), std::string::npos);
}

}  // namespace

namespace {

// In a library the facade makes the ISAPI engine with its own settings and
// ISAPI events; a build without an NSAPI gateway leaves that slot empty.
TEST(IsapiFacade, LibraryStartCreatesTheEngine) {
  InitApplication();
  IsapiEngStart();
  SetLibraryMode(true);
  auto* form = new TForm(Application);
  auto* facade = new TGeneralHttpEngine(form);
  facade->SetAutoReadLimit(1234);
  facade->OnIsapiExtensionVersion = [](uint32_t&, std::string& description, bool&) {
    description = "from the facade";
  };
  form->Loaded();
  SetLibraryMode(false);
  ASSERT_NE(facade->IsapiEngine(), nullptr);
  EXPECT_EQ(facade->IsapiEngine(), ActiveISAPIEngine());
  EXPECT_EQ(facade->NsapiEngine(), nullptr);
  EXPECT_EQ(facade->IsapiEngine()->AutoReadLimit, 1234);
  isapi::THSE_VERSION_INFO version{};
  EXPECT_TRUE(ActiveISAPIEngine()->GetExtensionVersion(version));
  EXPECT_STREQ(version.lpszExtensionDesc, "from the facade");
  delete form;
  EXPECT_EQ(ActiveISAPIEngine(), nullptr);
}

}  // namespace
