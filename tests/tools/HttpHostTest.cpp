#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/Process.h"
#include "tools/httphost/HttpHost.h"

namespace {

TEST(ProgramOutput, HeadAndBody) {
  const struct {
    const char* name;
    std::string output;
    int status;
    httphost::THeaders headers;
    std::string body;
  } cases[] = {
      {"status line and headers",
       "HTTP/1.0 200 OK\r\ncontent-type:text/html\r\n\r\n<p>x</p>",
       200,
       {{"content-type", "text/html"}},
       "<p>x</p>"},
      {"other status", "HTTP/1.0 404 Not Found\r\nX-A: 1\r\n\r\ngone", 404, {{"X-A", "1"}}, "gone"},
      {"headers only, no status line",
       "Location:/elsewhere\r\n\r\n",
       200,
       {{"Location", "/elsewhere"}},
       ""},
      {"bare line feeds", "HTTP/1.1 201 Created\nA:b\n\nbody\r\n", 201, {{"A", "b"}}, "body\r\n"},
      {"no head at all", "just text", 200, {}, "just text"},
      {"blank inside a header name",
       "Document Expires:x\r\n\r\n",
       200,
       {{"Document Expires", "x"}},
       ""},
      {"text before any empty line", "<html>\r\n\r\n", 200, {}, "<html>\r\n\r\n"},
      {"head never ends", "HTTP/1.0 200 OK\r\nA:b\r\n", 200, {}, "HTTP/1.0 200 OK\r\nA:b\r\n"},
      {"empty output", "", 200, {}, ""},
      {"body keeps a zero byte",
       std::string("A:b\r\n\r\nx\0y", 10),
       200,
       {{"A", "b"}},
       std::string("x\0y", 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    httphost::TAnswer answer;
    answer.SetFromProgramOutput(c.output);
    EXPECT_EQ(answer.Status, c.status);
    EXPECT_EQ(answer.Headers, c.headers);
    EXPECT_EQ(answer.Body, c.body);
  }
}

TEST(DecodePath, PercentEscapes) {
  EXPECT_EQ(httphost::DecodePath("/a%20b/%2Fc+d"), "/a b//c+d");
  EXPECT_EQ(httphost::DecodePath("/bad%2"), "/bad%2");
  EXPECT_EQ(httphost::DecodePath("/bad%zz"), "/bad%zz");
}

// curl against the server: what the handler sees of a request, and what the
// client gets of the answer.
TEST(HttpServer, ServesRequestsWithBodies) {
  if (!pithorama::test::HostToolsAvailable())
    GTEST_SKIP() << "needs curl, which this build cannot start";
  httphost::THttpServer server(2, [](httphost::TRequest& request, httphost::TAnswer& answer) {
    char piece[3];
    std::string body;
    for (size_t n; (n = request.ReadBody(piece, sizeof piece)) > 0;) body.append(piece, n);
    answer.SetStatus(201);
    answer.AddHeader("X-Seen", request.Method + " " + request.Path + " ? " + request.QueryString);
    answer.AddHeader("Content-Length", "1");  // the server's own framing wins
    answer.Write(request.ClientAddress + "|" + request.Header("x-test") + "|" + body);
  });
  const uint16_t port = server.Start(0);
  ASSERT_NE(port, 0);
  auto result = pithorama::test::RunProgram(
      "/usr/bin/curl",
      {"-sS", "-i", "--max-time", "20", "-H", "X-Test: yes", "--data-binary", "hello body",
       "http://127.0.0.1:" + std::to_string(port) + "/some%20where?a=1&b=%41"},
      {}, "", "", 30);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_NE(result.output.find("HTTP/1.1 201"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("X-Seen: POST /some where ? a=1&b=%41\r\n"), std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("Content-Length: 24\r\n"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("\r\n\r\n127.0.0.1|yes|hello body"), std::string::npos)
      << result.output;
}

// A request head the server cannot keep is answered, not left hanging: a
// query of many arguments fits; header lines beyond the bound get 431.
TEST(HttpServer, LargeRequestHeadsAreAnswered) {
  if (!pithorama::test::HostToolsAvailable())
    GTEST_SKIP() << "needs curl, which this build cannot start";
  httphost::THttpServer server(2, [](httphost::TRequest& request, httphost::TAnswer& answer) {
    answer.Write(std::to_string(request.QueryString.size()));
  });
  const std::string url = "http://127.0.0.1:" + std::to_string(server.Start(0)) + "/x?";
  std::string query;
  for (int i = 0; i < 500; ++i) query += "a" + std::to_string(i) + "=" + std::to_string(i) + "&";
  pithorama::test::TempFolder folder;
  pithorama::test::WriteWholeFile(folder.File("header"), "X-Big: " + std::string(400000, 'y'));
  const struct {
    const char* name;
    std::vector<std::string> extra;
    std::string target;
    const char* status;
  } cases[] = {
      {"500 query arguments", {}, query, "HTTP/1.1 200"},
      {"header lines too large", {"-H", "@" + folder.File("header")}, "", "HTTP/1.1 431"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"-sS", "-i", "--max-time", "20"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    args.push_back(url + c.target);
    auto result = pithorama::test::RunProgram("/usr/bin/curl", args, {}, "", "", 30);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output.rfind(c.status, 0), 0u) << result.output.substr(0, 200);
  }
}

// A handler that takes its time holds one of the threads, not the
// connections that happen to arrive after it.
TEST(HttpServer, SlowHandlerDoesNotHoldOtherConnections) {
  if (!pithorama::test::HostToolsAvailable())
    GTEST_SKIP() << "needs curl, which this build cannot start";
  std::atomic<bool> release{false};
  httphost::THttpServer server(2, [&](httphost::TRequest& request, httphost::TAnswer& answer) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (request.Path == "/slow" && !release && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    answer.Write(request.Path);
  });
  const std::string base = "http://127.0.0.1:" + std::to_string(server.Start(0));
  std::thread slow([&] {
    pithorama::test::RunProgram("/usr/bin/curl", {"-sS", "--max-time", "40", base + "/slow"}, {},
                                "", "", 45);
  });
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    auto result = pithorama::test::RunProgram(
        "/usr/bin/curl", {"-sS", "--max-time", "10", base + "/fast"}, {}, "", "", 20);
    EXPECT_EQ(result.output, "/fast");
  }
  release = true;
  slow.join();
}

}  // namespace
