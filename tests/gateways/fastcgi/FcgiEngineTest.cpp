// The FastCGI engine behind a scripted web server over loopback: variables,
// fields, the answer's header rules and records, uploads, and the events.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "pithorama/platform/Files.h"
#include "tests/gateways/fastcgi/FcgiPeer.h"
#include "tests/support/Process.h"
#include "tests/support/ThisProcess.h"

using namespace pithorama;
using namespace pithorama::test;

namespace {

const std::map<std::string, std::string> kGet = {
    {"REQUEST_METHOD", "GET"},  {"QUERY_STRING", "a=1&b=two+words"}, {"REMOTE_ADDR", "10.1.2.3"},
    {"SCRIPT_NAME", "/app"},    {"SERVER_SOFTWARE", "nginx/1.22"},   {"HTTP_COOKIE", "k=v"},
    {"REMOTE_USER", "fenwick"},
};

std::map<std::string, std::string> Post(const std::string& contentType, size_t length) {
  return {{"REQUEST_METHOD", "POST"},
          {"QUERY_STRING", "q=query"},
          {"CONTENT_TYPE", contentType},
          {"CONTENT_LENGTH", std::to_string(length)}};
}

// Writes "name=value;" for every field, after the variables asked for.
void EchoHandler(TObject* sender) {
  auto& engine = *static_cast<TFastCgiEngine*>(sender);
  std::string page = "<p>";
  for (const char* name : {"REQUEST METHOD", "Remote Addr", "EXECUTABLE PATH", "HTTP COOKIE"})
    page += engine.GetVariable(name) + "|";
  page += engine.GetRemoteUser() + "|";
  for (const std::string& field : engine.GetFieldNames())
    page += field + "=" + engine.GetField(field, "") + ";";
  engine.Write(page);
}

TGatewaySettings WithHandler(TExecRequestEvent handler, int32_t readLimit = 10000) {
  TGatewaySettings settings;
  settings.AutoReadLimit = readLimit;
  settings.OnExecRequest = std::move(handler);
  return settings;
}

// The error log of this test program in a folder of its own.
class LogFolder {
 public:
  LogFolder() { SetEnvironment("CGI_LOG_DIR", folder_.Path()); }
  ~LogFolder() { UnsetEnvironment("CGI_LOG_DIR"); }
  std::string Text() const { return ReadWholeFile(folder_.File("fastcgi_tests.Log")); }

 private:
  TempFolder folder_;
};

TEST(FastCgiEngine, VariablesAndFields) {
  TServedEngine served(WithHandler(EchoHandler));
  ASSERT_TRUE(served.listening);
  const struct {
    const char* name;
    std::map<std::string, std::string> params;
    std::string body;
    size_t piece;
    std::string expected;
  } cases[] = {
      {"get", kGet, "", 1, "<p>GET|10.1.2.3|/app|k=v|fenwick|a=1;b=two words;"},
      {"post", Post("application/x-www-form-urlencoded", 7), "x=1&y=2", 65535,
       "<p>POST|||||x=1;y=2;"},
      {"post in one-byte records", Post("application/x-www-form-urlencoded", 7), "x=1&y=2", 1,
       "<p>POST|||||x=1;y=2;"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TPeerConnection web(served.Address());
    ASSERT_TRUE(
        web.Send(BeginRecord(1) + ParamsRecords(1, c.params) + StdinRecords(1, c.body, c.piece)));
    ASSERT_TRUE(web.ReadUntil(kFcgiEndRequest, 1));
    const std::string out = web.Stdout(1);
    EXPECT_EQ(out.substr(0, 25), "content-type:text/html\r\n\r");
    EXPECT_EQ(out.substr(out.find("<p>")), c.expected);
    EXPECT_EQ(web.End(1).ProtocolStatus, kFcgiRequestComplete);
  }
}

TEST(FastCgiEngine, AnswerHeaderRules) {
  const struct {
    const char* name;
    bool noCache;
    bool autoHeader;
    std::function<void(TFastCgiEngine&)> handler;
    std::vector<std::string> lines;  // the answer's first lines, in order
  } cases[] = {
      {"auto header, no status line",
       false,
       true,
       [](TFastCgiEngine& e) { e.Write("<b>hi</b>"); },
       {"content-type:text/html", "", "<b>hi</b>"}},
      {"redirect",
       false,
       true,
       [](TFastCgiEngine& e) {
         e.AddHeader("Location", "http://example.org/next");
         e.EndHeaders();
       },
       {"Status: 302 Found", "Location:http://example.org/next", ""}},
      {"status named by the program",
       false,
       false,
       [](TFastCgiEngine& e) {
         e.AddHeader("Status", "404 Not Found");
         e.AddHeader("Content-Type", "text/plain");
         e.EndHeaders();
         e.Write("none");
       },
       {"Status:404 Not Found", "Content-Type:text/plain", "", "none"}},
      {"status chosen through the engine",
       false,
       true,
       [](TFastCgiEngine& e) {
         EXPECT_TRUE(e.SetStatus(404));
         e.Write("<p>");
       },
       {"Status:404 Not Found", "content-type:text/html", "", "<p>"}},
      {"redirect with a chosen status",
       false,
       true,
       [](TFastCgiEngine& e) { EXPECT_TRUE(e.Redirect("/next", 301)); },
       {"Status:301 Moved Permanently", "Location:/next", ""}},
      {"302 chosen, a cookie line, then the redirect: one Status line",
       false,
       true,
       [](TFastCgiEngine& e) {
         EXPECT_TRUE(e.SetStatus(302));
         e.AddHeader("Set-Cookie", "a=1");
         EXPECT_TRUE(e.Redirect("/next"));
       },
       {"Status:302 Found", "Set-Cookie:a=1", "Location:/next", ""}},
      {"no-cache lines",
       true,
       true,
       [](TFastCgiEngine& e) { e.Write("<i>x</i>"); },
       {"content-type:text/html", "Pragma:no-cache", "Cache-Control:no-cache"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TGatewaySettings settings =
        WithHandler([&c](TObject* sender) { c.handler(*static_cast<TFastCgiEngine*>(sender)); });
    settings.NoCache = c.noCache;
    settings.AutoHttpHeader = c.autoHeader;
    TServedEngine served(settings);
    TPeerConnection web(served.Address());
    ASSERT_TRUE(web.Send(Request(1, kGet)));
    ASSERT_TRUE(web.ReadUntil(kFcgiEndRequest, 1));
    const std::string out = web.Stdout(1);
    size_t at = 0;
    for (const std::string& line : c.lines) {
      const size_t end = out.find("\r\n", at);
      EXPECT_EQ(out.substr(at, end == std::string::npos ? std::string::npos : end - at), line);
      at = end == std::string::npos ? out.size() : end + 2;
    }
  }
}

// A long answer goes out in records of at most 65,535 bytes, whole.
TEST(FastCgiEngine, LongAnswerInRecords) {
  const std::string page = "<" + std::string(300000, 'x') + ">";
  TServedEngine served(WithHandler([&](TObject* sender) {
    auto& engine = *static_cast<TFastCgiEngine*>(sender);
    engine.Write(page.substr(0, 10));
    for (size_t at = 10; at < page.size(); at += 70000) engine.Write(page.substr(at, 70000));
  }));
  TPeerConnection web(served.Address());
  ASSERT_TRUE(web.Send(Request(1, kGet)));
  ASSERT_TRUE(web.ReadUntil(kFcgiEndRequest, 1));
  const std::string out = web.Stdout(1);
  EXPECT_EQ(out.substr(out.find("\r\n\r\n") + 4), page);
  EXPECT_LE(web.MaxContent, kFcgiMaxContentLength);
}

std::string MultipartBody(const std::string& boundary, const std::string& file) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhello\r\n--" +
         boundary +
         "\r\nContent-Disposition: form-data; name=\"up\"; filename=\"a.bin\"\r\n"
         "Content-Type: application/octet-stream\r\n\r\n" +
         file + "\r\n--" + boundary + "--\r\n";
}

TEST(FastCgiEngine, UploadStreamedToATemporaryFileThatGoesWithTheRequest) {
  TempFolder temp;
  std::string file(3 * 1024 * 1024, '\0');
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>(i * 7 + i / 4096);
  const std::string body = MultipartBody("XyZ", file);
  std::string seenPath, seenNote;
  bool sameBytes = false;
  TGatewaySettings settings = WithHandler(
      [&](TObject* sender) {
        auto& engine = *static_cast<TFastCgiEngine*>(sender);
        seenNote = engine.GetField("note", "");
        seenPath = engine.GetField("up_FILENAME", "");  // where the decoder stored it
        sameBytes = FileExists(seenPath) && ReadWholeFile(seenPath) == file;
      },
      static_cast<int32_t>(body.size()));
  settings.TempDir = temp.Path();
  TServedEngine served(settings);
  TPeerConnection web(served.Address());
  ASSERT_TRUE(web.Send(Request(1, Post("multipart/form-data; boundary=XyZ", body.size()), body)));
  ASSERT_TRUE(web.ReadUntil(kFcgiEndRequest, 1));
  EXPECT_EQ(seenNote, "hello");
  EXPECT_TRUE(sameBytes) << seenPath;
  EXPECT_FALSE(seenPath.empty());
  EXPECT_FALSE(FileExists(seenPath));
}

// The web server goes away in the middle of an upload: the request ends,
// its temporary file is deleted, and the process serves on.
TEST(FastCgiEngine, ConnectionLostMidUpload) {
  LogFolder log;
  TempFolder temp;
  const std::string body = MultipartBody("XyZ", std::string(2 * 1024 * 1024, 'u'));
  std::atomic<int> served{0};
  TGatewaySettings settings =
      WithHandler([&](TObject*) { ++served; }, static_cast<int32_t>(body.size()));
  settings.TempDir = temp.Path();
  TServedEngine server(settings);
  {
    TPeerConnection web(server.Address());
    const auto params = Post("multipart/form-data; boundary=XyZ", body.size());
    ASSERT_TRUE(web.Send(BeginRecord(1) + ParamsRecords(1, params)));
    // Half the body, not ended.
    std::string half = StdinRecords(1, std::string_view(body).substr(0, body.size() / 2));
    half.resize(half.size() - kFcgiHeaderLength);  // without the end record
    ASSERT_TRUE(web.Send(half));
    web.Close();
  }
  TPeerConnection next(server.Address());
  ASSERT_TRUE(next.Send(Request(2, kGet)));
  ASSERT_TRUE(next.ReadUntil(kFcgiEndRequest, 2));
  // The cut request's handler finishes too. Its connection may be read after
  // the second one: a stop before its variables arrived would drop it unbegun.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (served.load() < 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  server.Stop();  // waits for every request
  EXPECT_EQ(served.load(), 2);
  EXPECT_TRUE(ListFiles(temp.Path(), "").empty());
}

TEST(FastCgiEngine, FirstAndLastEventsOnce) {
  std::atomic<int> first{0}, last{0}, requests{0};
  TGatewaySettings settings = WithHandler([&](TObject*) { ++requests; });
  settings.OnFirstExecRequest = [&](TObject*) { ++first; };
  settings.OnLastExecRequest = [&](TObject*) { ++last; };
  {
    TServedEngine served(settings, 4);
    std::vector<std::unique_ptr<TPeerConnection>> webs;
    for (int i = 0; i < 6; ++i) webs.push_back(std::make_unique<TPeerConnection>(served.Address()));
    for (uint16_t id : {1, 2}) {
      for (auto& web : webs) ASSERT_TRUE(web->Send(Request(id, kGet)));
      for (auto& web : webs) ASSERT_TRUE(web->ReadUntil(kFcgiEndRequest, id));
    }
    EXPECT_EQ(last.load(), 0);
  }
  EXPECT_EQ(requests.load(), 12);
  EXPECT_EQ(first.load(), 1);
  EXPECT_EQ(last.load(), 1);
}

}  // namespace
