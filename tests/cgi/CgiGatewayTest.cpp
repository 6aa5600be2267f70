#include <gtest/gtest.h>

#include "tests/support/Process.h"

using testsupport::ReadWholeFile;
using testsupport::RunProgram;

namespace {

const std::string kProbe = testsupport::BinaryDir() + "/cgi_probe";
const std::string kHeader = "content-type:text/html\r\n\r\n";

struct Hit {
  std::string answer;
  std::string log;
  int exitCode;
};

Hit HitProbe(std::map<std::string, std::string> env, const std::string& body = "") {
  testsupport::TempFolder logs;
  env["CGI_LOG_DIR"] = logs.Path();
  if (!env.count("SERVER_SOFTWARE")) env["SERVER_SOFTWARE"] = "lighttpd/1.4.69";
  auto result = RunProgram(kProbe, {}, env, body, "", 30);
  return {result.output, ReadWholeFile(logs.File("cgi_probe.Log")), result.exitCode};
}

}  // namespace

TEST(CgiGateway, StatusLineBySoftware) {
  const struct {
    std::string software;
    bool statusLine;
  } cases[] = {
      {"lighttpd/1.4.69", true},      {"Apache/2.4.71 (Debian)", false}, {"apache", false},
      {"Netscape-Enterprise", false}, {"nginx/1.22.1", true},            {"MyAPACHEServer", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.software);
    Hit hit = HitProbe({{"SERVER_SOFTWARE", c.software}, {"PROBE", "none"}});
    EXPECT_EQ(hit.exitCode, 0);
    const std::string status = c.statusLine ? "HTTP/1.0 200 OK\r\n" : "";
    EXPECT_EQ(hit.answer, status + "X-First:1\r\n[last]" + kHeader);
  }
}

TEST(CgiGateway, ContentOfGetAndPost) {
  const struct {
    const char* name;
    std::map<std::string, std::string> env;
    std::string body;
    std::string fields;
  } cases[] = {
      {"GET query", {{"QUERY_STRING", "a=1&b=x%26y&a=2"}}, "", "[a=1\r\n2][b=x&y][a=1\r\n2]"},
      {"POST body", {{"CONTENT_LENGTH", "9"}, {"QUERY_STRING", "q=0"}}, "q=1&r=%3D", "[q=1][r==]"},
      {"zero byte cuts", {{"CONTENT_LENGTH", "7"}}, std::string("a=1\0b=2", 7), "[a=1]"},
      {"body ends early", {{"CONTENT_LENGTH", "500"}}, "a=short", "[a=short]"},
      {"negative length", {{"CONTENT_LENGTH", "-5"}, {"QUERY_STRING", "g=1"}}, "p=1", "[g=1]"},
      {"no read", {{"CONTENT_LENGTH", "3"}, {"PROBE_NOREAD", "1"}}, "a=1", ""},
      {"multipart type without semicolon read as text",
       {{"CONTENT_LENGTH", "3"}, {"CONTENT_TYPE", "multipart/form-data"}}, "a=1", "[a=1]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto env = c.env;
    env["PROBE"] = "fields";
    Hit hit = HitProbe(env, c.body);
    EXPECT_EQ(hit.answer, "HTTP/1.0 200 OK\r\nX-First:1\r\n" + kHeader + "<pre>" + c.fields + "[last]");
    EXPECT_EQ(hit.log, "");
  }
}

TEST(CgiGateway, BodyOverLimitIsLoggedAndSkipped) {
  Hit hit = HitProbe({{"PROBE", "fields"}, {"PROBE_LIMIT", "10"}, {"CONTENT_LENGTH", "11"}},
                "a=123456789");
  EXPECT_EQ(hit.answer, "HTTP/1.0 200 OK\r\nX-First:1\r\n" + kHeader + "<pre>[last]");
  EXPECT_NE(hit.log.find(" : Content length exceeds AutoReadLimit\r\n"), std::string::npos) << hit.log;

  Hit atLimit = HitProbe({{"PROBE", "fields"}, {"PROBE_LIMIT", "11"}, {"CONTENT_LENGTH", "11"}},
                    "a=123456789");
  EXPECT_NE(atLimit.answer.find("[a=123456789]"), std::string::npos);
}

TEST(CgiGateway, BadContentLengthIsAnErrorOfTheRequest) {
  for (std::string length : {"12x", "99999999999", "0x", " "}) {
    SCOPED_TRACE(length);
    Hit hit = HitProbe({{"PROBE", "fields"}, {"CONTENT_LENGTH", length}}, "a=1");
    EXPECT_EQ(hit.exitCode, 0);
    EXPECT_EQ(hit.answer, "");
    EXPECT_NE(hit.log.find(" : Unhandled exception : '" + length + "' is not a valid integer value"),
              std::string::npos)
        << hit.log;
  }
}

TEST(CgiGateway, HandlerErrorIsLoggedAndAnswerStaysEmpty) {
  Hit hit = HitProbe({{"PROBE", "raise"}});
  EXPECT_EQ(hit.exitCode, 0);
  EXPECT_EQ(hit.answer, "HTTP/1.0 200 OK\r\nX-First:1\r\n");
  EXPECT_NE(hit.log.find(" : Unhandled exception : boom\r\n"), std::string::npos) << hit.log;
}

TEST(CgiGateway, VariableMapping) {
  const struct {
    std::string asked, envName, value;
  } cases[] = {
      {"executable path", "SCRIPT_NAME", "/cgi-bin/probe"},
      {"http user agent", "HTTP_USER_AGENT", "curl/7.88"},
      {"Remote Addr", "REMOTE_ADDR", "127.0.0.1"},
      {"PITHORAMA_ANY", "PITHORAMA_ANY", "any value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asked);
    Hit hit = HitProbe({{"PROBE", "var:" + c.asked}, {c.envName, c.value}});
    EXPECT_NE(hit.answer.find("<v>" + c.value + "[last]"), std::string::npos) << hit.answer;
  }
}

TEST(CgiGateway, HtmlWithNoCacheAndBytes) {
  Hit html = HitProbe({{"PROBE", "html"}});
  EXPECT_EQ(html.answer.rfind("HTTP/1.0 200 OK\r\nX-First:1\r\ncontent-type:text/html\r\n"
                              "Pragma:no-cache\r\nCache-Control:no-cache\r\nExpires:",
                              0),
            0u)
      << html.answer;
  EXPECT_NE(html.answer.find("GMT\r\n\r\n<p>hi</p>[last]"), std::string::npos);

  Hit bytes = HitProbe({{"PROBE", "bytes"}});
  EXPECT_EQ(bytes.answer, "HTTP/1.0 200 OK\r\nX-First:1\r\n" + kHeader + std::string("\0\1\2", 3) + "[last]");
}

TEST(CgiGateway, WindowsCgiStartIsNotServedHere) {
  // The standard gateway stays idle; this program carries no Windows CGI
  // gateway, so it logs and ends instead of waiting.
  Hit hit = HitProbe({{"PROBE", "html"}, {"CGI_VERSION", "CGI/1.3a (Win)"}});
  EXPECT_EQ(hit.exitCode, 0);
  EXPECT_EQ(hit.answer, "");
  EXPECT_NE(hit.log.find("No gateway of this program serves this start"), std::string::npos);
}
