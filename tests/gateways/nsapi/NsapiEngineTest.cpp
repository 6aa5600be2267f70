// The NSAPI gateway over the stand-in server's parameter blocks: the getters,
// the order of the variable look-up, the input cases, the answer through the
// response header block, the locks and a server without its functions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <thread>

#include "pithorama/gateways/nsapi/NsapiExp.h"
#include "pithorama/platform/Files.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/Paths.h"
#include "tests/gateways/nsapi/NsapiFixture.h"
#include "tests/support/Process.h"

using namespace pithorama;
using namespace pithorama::test;

namespace {

class NsapiEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    pithorama::test::SetEnvironment("CGI_LOG_DIR", logs_.Path());
    ASSERT_TRUE(Bind(ServerTable()));
  }
  void TearDown() override { pithorama::test::UnsetEnvironment("CGI_LOG_DIR"); }

  // Runs one request through the service function with `handler` as the
  // application's OnExecRequest.
  int Serve(NsapiCall& call, const std::function<void(TNSAPIEngine&)>& handler,
            int32_t readLimit = 10000) {
    TNSAPIEngine engine(nullptr);
    engine.AutoReadLimit = readLimit;
    engine.TempDir = temp_.Path();
    engine.OnExecRequest = [&](TObject*) { handler(engine); };
    return NsapiServe(call.pb, &call.session, &call.request);
  }

  std::string Log() const {
    // Named after the program, up to the first dot of its name.
    const std::string program = ExtractFileName(ModuleFileName());
    const std::string path = logs_.File(program.substr(0, program.find('.')) + ".Log");
    return FileExists(path) ? pithorama::test::ReadWholeFile(path) : std::string();
  }

  pithorama::test::TempFolder logs_;
  pithorama::test::TempFolder temp_;
};

TEST_F(NsapiEngine, GettersReadTheirBlocks) {
  MemoryConnection connection;
  NsapiCall call(connection.Connection());
  call.SetRequestLine("GET", "/app/echo", "a=1", "HTTP/1.1");
  call.AddHeader("User-Agent", "curl/8");
  call.AddHeader("Cookie", "k=v");
  call.AddHeader("Content-Type", "text/x-request");
  call.AddHeader("Content-Length", "12");
  call.AddHeader("Referer", "http://ref.example/x");
  call.AddHeader("X-Trace-Id", "t1");
  call.SetClient("127.0.0.9", "client.example");
  pblock_nvinsert("content-type", "text/x-answer", call.request.srvhdrs);

  struct Getter {
    const char* title;
    std::function<std::string(TNSAPIEngine&)> get;
    const char* expected;
  };
  const Getter getters[] = {
      {"protocol", [](TNSAPIEngine& e) { return e.GetServerProtocol(); }, "HTTP/1.1"},
      {"method", [](TNSAPIEngine& e) { return e.GetRequestMethod(); }, "GET"},
      {"query", [](TNSAPIEngine& e) { return e.GetQueryString(); }, "a=1"},
      {"executable path", [](TNSAPIEngine& e) { return e.GetExecutablePath(); }, "/app/echo"},
      {"script name", [](TNSAPIEngine& e) { return e.GetScriptName(); }, "/app/echo"},
      {"url", [](TNSAPIEngine& e) { return e.GetUrl(); }, "/app/echo"},
      {"user agent", [](TNSAPIEngine& e) { return e.GetUserAgent(); }, "curl/8"},
      {"cookie", [](TNSAPIEngine& e) { return e.GetCookie(); }, "k=v"},
      {"content type of the answer", [](TNSAPIEngine& e) { return e.GetContentType(); },
       "text/x-answer"},
      {"remote address", [](TNSAPIEngine& e) { return e.GetRemoteAddr(); }, "127.0.0.9"},
      {"remote host", [](TNSAPIEngine& e) { return e.GetRemoteHost(); }, "client.example"},
      {"content length", [](TNSAPIEngine& e) { return std::to_string(e.GetContentLength()); },
       "12"},
      {"referer", [](TNSAPIEngine& e) { return e.GetReferer(); }, "http://ref.example/x"},
      // Names in the CGI spelling reach the server's own entries.
      {"HTTP_REFERER", [](TNSAPIEngine& e) { return e.GetVariable("HTTP_REFERER"); },
       "http://ref.example/x"},
      {"HTTP USER AGENT", [](TNSAPIEngine& e) { return e.GetVariable("HTTP USER AGENT"); },
       "curl/8"},
      {"http_x_trace_id", [](TNSAPIEngine& e) { return e.GetVariable("http_x_trace_id"); }, "t1"},
      {"REMOTE_ADDR", [](TNSAPIEngine& e) { return e.GetVariable("REMOTE_ADDR"); }, "127.0.0.9"},
      {"REQUEST METHOD", [](TNSAPIEngine& e) { return e.GetVariable("REQUEST METHOD"); }, "GET"},
      {"own spelling", [](TNSAPIEngine& e) { return e.GetVariable("user-agent"); }, "curl/8"},
      {"absent variable", [](TNSAPIEngine& e) { return e.GetVariable("HTTP_X_NONE"); }, ""},
  };
  bool ran = false;
  EXPECT_EQ(Serve(call,
                  [&](TNSAPIEngine& engine) {
                    ran = true;
                    for (const Getter& g : getters) {
                      SCOPED_TRACE(g.title);
                      EXPECT_EQ(g.get(engine), g.expected);
                    }
                  }),
            REQ_PROCEED);
  EXPECT_TRUE(ran);
}

// The server's header function, where a test can see that it was asked.
int AnsweringHeaderFunction(const char* name, char** value, Session*, Request*) {
  thread_local std::string answer;
  answer = std::string("server:") + name;
  *value = answer.data();
  return REQ_PROCEED;
}

TEST_F(NsapiEngine, VariableLookUpOrder) {
  auto table = ServerTable();
  table["request_header"] = reinterpret_cast<void*>(&AnsweringHeaderFunction);
  ASSERT_TRUE(Bind(table));

  // "x" is put into the blocks from `first` on; the first of them answers.
  const char* blockNames[] = {"request line",    "working variables",
                              "request headers", "response headers",
                              "client",          "parameter block"};
  for (int first = 0; first <= 6; ++first) {
    SCOPED_TRACE(first < 6 ? blockNames[first] : "no block");
    MemoryConnection connection;
    NsapiCall call(connection.Connection());
    pblock* blocks[] = {call.request.reqpb,   call.request.vars,   call.request.headers,
                        call.request.srvhdrs, call.session.client, call.pb};
    for (int i = first; i < 6; ++i) pblock_nvinsert("x", blockNames[i], blocks[i]);
    std::string value;
    Serve(call, [&](TNSAPIEngine& engine) { value = engine.GetVariable("x"); });
    EXPECT_EQ(value, first < 6 ? blockNames[first] : "server:x");
  }

  // The name is used as given: no change of case, blanks or underscores.
  MemoryConnection connection;
  NsapiCall call(connection.Connection());
  pblock_nvinsert("CONTENT_TYPE", "from the working variables", call.request.vars);
  Serve(call, [&](TNSAPIEngine& engine) {
    EXPECT_EQ(engine.GetVariable("CONTENT_TYPE"), "from the working variables");
    EXPECT_EQ(engine.GetVariable("CONTENT TYPE"), "server:CONTENT TYPE");
    EXPECT_EQ(engine.GetVariable("content_type"), "server:content_type");
  });
}

struct InputCase {
  const char* title;
  const char* method;
  const char* query;
  std::optional<std::string> contentLength;  // nullopt: the body's size; "": no header
  std::string body;
  int32_t readLimit;
  size_t failAt;
  std::string expected;
  const char* logLine;  // expected in the error log, or ""
};

TEST_F(NsapiEngine, InputCases) {
  using namespace std::string_literals;
  const InputCase cases[] = {
      {"GET takes the query", "GET", "a=1&b=2", "", "", 10000, SIZE_MAX, "a=1&b=2", ""},
      {"HEAD reads nothing", "HEAD", "a=1", "", "", 10000, SIZE_MAX, "", ""},
      {"POST reads the body and leaves the query out", "POST", "q=9", std::nullopt,
       "a=1&b=two+words", 10000, SIZE_MAX, "a=1&b=two+words", ""},
      {"POST body ends at a zero byte", "POST", "", std::nullopt, "a=1\0b=2"s, 10000, SIZE_MAX,
       "a=1", ""},
      {"POST over AutoReadLimit reads nothing", "POST", "", std::nullopt, "a=123456", 5, SIZE_MAX,
       "", "Content length exceeds AutoReadLimit"},
      {"POST without content-length", "POST", "", "", "a=1", 10000, SIZE_MAX, "",
       "POST without a usable content-length : ''"},
      {"POST with a broken content-length", "POST", "", "12x", "a=1", 10000, SIZE_MAX, "",
       "POST without a usable content-length : '12x'"},
      {"read error keeps the text before it", "POST", "", std::nullopt, "a=1&b=2", 10000, 4, "a=1&",
       ""},
      {"body shorter than its length", "POST", "", "20", "a=1&b=2", 10000, SIZE_MAX, "a=1&b=2", ""},
  };
  for (const InputCase& c : cases) {
    SCOPED_TRACE(c.title);
    MemoryConnection connection;
    connection.body = c.body;
    connection.failAt = c.failAt;
    NsapiCall call(connection.Connection(), 7);
    call.SetRequestLine(c.method, "/app", c.query, "HTTP/1.1");
    call.AddHeader("Content-Type", "application/x-www-form-urlencoded");
    const std::string length = c.contentLength.value_or(std::to_string(c.body.size()));
    if (!length.empty()) call.AddHeader("Content-Length", length);
    std::string content;
    const std::string logBefore = Log();
    EXPECT_EQ(
        Serve(
            call, [&](TNSAPIEngine&) { content = NsapiThreadState().RequestContent; }, c.readLimit),
        REQ_PROCEED);
    EXPECT_EQ(content, c.expected);
    const std::string logged = Log().substr(logBefore.size());
    if (*c.logLine == '\0')
      EXPECT_EQ(logged, "");
    else
      EXPECT_NE(logged.find(c.logLine), std::string::npos) << logged;
  }
}

std::string MultipartBody(const std::string& fileData) {
  return "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nx y\r\n"
         "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"one.bin\"\r\n"
         "Content-Type: application/octet-stream\r\n\r\n" +
         fileData + "\r\n--XyZ--\r\n";
}

TEST_F(NsapiEngine, MultipartKeepsZeroBytesAndFailsOnReadError) {
  const std::string fileData("\0\x01zero\0bytes\0", 13);
  const std::string body = MultipartBody(fileData);
  struct Case {
    const char* title;
    size_t failAt;
    bool decoded;
  } cases[] = {{"whole body", SIZE_MAX, true}, {"read error in the file", 120, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    MemoryConnection connection;
    connection.body = body;
    connection.failAt = c.failAt;
    NsapiCall call(connection.Connection(), 7);
    call.SetRequestLine("POST", "/app", "", "HTTP/1.1");
    call.AddHeader("Content-Type", "multipart/form-data; boundary=XyZ");
    call.AddHeader("Content-Length", std::to_string(body.size()));
    Serve(call, [&](TNSAPIEngine& engine) {
      if (!c.decoded) {
        EXPECT_EQ(NsapiThreadState().RequestContent, "");
        return;
      }
      EXPECT_EQ(engine.GetField("a", "none"), "x y");
      EXPECT_EQ(engine.GetField("f", "none"), "one.bin");
      EXPECT_EQ(pithorama::test::ReadWholeFile(engine.GetField("f_FILENAME", "")), fileData);
    });
  }
}

TEST_F(NsapiEngine, AnswerGoesThroughTheResponseHeaderBlock) {
  MemoryConnection connection;
  NsapiCall call(connection.Connection());
  call.SetRequestLine("GET", "/app", "", "HTTP/1.1");
  std::string contentTypeSeen;
  Serve(call, [&](TNSAPIEngine& engine) {
    engine.AddHeader("X-Twice", "first");
    engine.AddHeader("X-Twice", "second");
    engine.Write("<p>hi</p>");
    contentTypeSeen = engine.GetContentType();
    engine.WriteBuffer("a\0b", 3);
  });
  EXPECT_EQ(contentTypeSeen, "text/html");
  EXPECT_EQ(connection.starts, 1);
  EXPECT_EQ(connection.status, "200 OK");
  std::map<std::string, std::string> headers;
  for (const auto& [name, value] : connection.headers) {
    EXPECT_EQ(headers.count(name), 0u) << name;
    headers[name] = value;
  }
  EXPECT_EQ(headers["X-Twice"], "second");
  EXPECT_EQ(headers["content-type"], "text/html");
  // No status line or header text among the answer's bytes.
  EXPECT_EQ(connection.answer, std::string("<p>hi</p>a\0b", 12));
}

TEST_F(NsapiEngine, ChosenStatusGoesToTheServer) {
  const struct {
    const char* title;
    std::function<void(TNSAPIEngine&)> handler;
    std::string status, location;
  } cases[] = {
      {"none chosen", [](TNSAPIEngine& e) { e.Write("<p>"); }, "200 OK", ""},
      {"404",
       [](TNSAPIEngine& e) {
         EXPECT_TRUE(e.SetStatus(404));
         e.Write("<p>");
       },
       "404 Not Found", ""},
      {"own phrase", [](TNSAPIEngine& e) { EXPECT_TRUE(e.SetStatus(503, "Later")); }, "503 Later",
       ""},
      {"redirect", [](TNSAPIEngine& e) { EXPECT_TRUE(e.Redirect("/there", 301)); },
       "301 Moved Permanently", "/there"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    MemoryConnection connection;
    NsapiCall call(connection.Connection());
    call.SetRequestLine("GET", "/app", "", "HTTP/1.1");
    Serve(call, c.handler);
    EXPECT_EQ(connection.starts, 1);
    EXPECT_EQ(connection.status, c.status);
    std::string location;
    for (const auto& [name, value] : connection.headers)
      if (name == "Location") location = value;
    EXPECT_EQ(location, c.location);
  }
}

TEST_F(NsapiEngine, HandlerThatWritesNothingStillSendsTheHeader) {
  MemoryConnection connection;
  NsapiCall call(connection.Connection());
  call.SetRequestLine("GET", "/app", "", "HTTP/1.1");
  Serve(call, [](TNSAPIEngine& engine) { engine.AutoContentType = "text/plain"; });
  EXPECT_EQ(connection.starts, 1);
  EXPECT_EQ(connection.answer, "");
  ASSERT_EQ(connection.headers.size(), 2u);  // the status entry and the content type
  EXPECT_EQ(pblock_findval("content-type", call.request.srvhdrs), std::string("text/plain"));
}

// Two threads count under the engine's lock, each entering it twice (a
// critical section lets its holder in again); answers whether the lock was a
// server critical section.
bool CountUnderLock(TNSAPIEngine& engine) {
  TLock* lock = engine.CreateLock();
  const bool serverLock = dynamic_cast<TNsapiLock*>(lock) != nullptr;
  int counter = 0;
  auto count = [&] {
    for (int i = 0; i < 20000; ++i) {
      engine.EnterLock(lock);
      engine.EnterLock(lock);
      ++counter;
      engine.LeaveLock(lock);
      engine.LeaveLock(lock);
    }
  };
  std::thread other(count);
  count();
  other.join();
  EXPECT_EQ(counter, 40000);
  engine.DestroyLock(lock);
  return serverLock;
}

TEST_F(NsapiEngine, LocksAreServerCriticalSections) {
  TNSAPIEngine engine(nullptr);
  EXPECT_TRUE(CountUnderLock(engine));
}

TEST_F(NsapiEngine, MissingServerFunctionAnswersErrorsWithoutCalls) {
  auto table = ServerTable();
  table.erase("netbuf_next");
  table.erase("crit_exit");
  EXPECT_FALSE(Bind(table));
  EXPECT_NE(Log().find("NSAPI server functions missing in the test table : netbuf_next, crit_exit"),
            std::string::npos)
      << Log();

  MemoryConnection connection;
  NsapiCall call(connection.Connection());
  call.SetRequestLine("GET", "/app", "a=1", "HTTP/1.1");
  bool ran = false;
  EXPECT_EQ(Serve(call, [&](TNSAPIEngine&) { ran = true; }), REQ_ABORTED);
  EXPECT_FALSE(ran);
  EXPECT_EQ(connection.starts, 0);

  // Locks fall back to the platform's own.
  TNSAPIEngine engine(nullptr);
  EXPECT_FALSE(CountUnderLock(engine));
}

}  // namespace
