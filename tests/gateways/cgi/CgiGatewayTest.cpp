#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/Process.h"

using pithorama::test::ReadWholeFile;
using pithorama::test::RunProgram;

namespace {

const std::string kProbe = pithorama::test::ProgramFile("cgi_probe");
const std::string kHeader = "content-type:text/html\r\n\r\n";

struct Hit {
  std::string answer;
  std::string log;
  int exitCode;
};

Hit HitProbe(std::map<std::string, std::string> env, const std::string& body = "") {
  pithorama::test::TempFolder logs;
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
      {"lighttpd/1.4.69", true}, {"Apache/2.4.71 (Debian)", false},
      {"apache", false},         {"Netscape-Enterprise", false},
      {"nginx/1.22.1", true},    {"MyAPACHEServer", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.software);
    Hit hit = HitProbe({{"SERVER_SOFTWARE", c.software}, {"PROBE", "none"}});
    EXPECT_EQ(hit.exitCode, 0);
    const std::string status = c.statusLine ? "HTTP/1.0 200 OK\r\n" : "";
    EXPECT_EQ(hit.answer, status + "X-First:1\r\n[last]" + kHeader);
  }
}

// A status the program chose goes where the status line would go, or as a
// Status line where the server makes the status line.
TEST(CgiGateway, ChosenStatusBySoftware) {
  const struct {
    std::string software, probe, answer;
  } cases[] = {
      {"lighttpd/1.4.69", "status",
       "HTTP/1.0 404 Not Found\r\nStatus:404 Not Found\r\n" + kHeader + "<p>gone</p>[last]"},
      {"Apache/2.4.71 (Debian)", "status",
       "Status:404 Not Found\r\n" + kHeader + "<p>gone</p>[last]"},
      {"nginx/1.22.1", "redirect",
       "HTTP/1.0 303 See Other\r\nStatus:303 See Other\r\nLocation:/next\r\n\r\n[last]"},
      {"Apache/2.4.71 (Debian)", "redirect",
       "Status:303 See Other\r\nLocation:/next\r\n\r\n[last]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.software + " " + c.probe);
    Hit hit =
        HitProbe({{"SERVER_SOFTWARE", c.software}, {"PROBE", c.probe}, {"PROBE_NOFIRST", "1"}});
    EXPECT_EQ(hit.answer, c.answer);
    EXPECT_EQ(hit.log, "");
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
       {{"CONTENT_LENGTH", "3"}, {"CONTENT_TYPE", "multipart/form-data"}},
       "a=1",
       "[a=1]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto env = c.env;
    env["PROBE"] = "fields";
    Hit hit = HitProbe(env, c.body);
    EXPECT_EQ(hit.answer,
              "HTTP/1.0 200 OK\r\nX-First:1\r\n" + kHeader + "<pre>" + c.fields + "[last]");
    EXPECT_EQ(hit.log, "");
  }
}

TEST(CgiGateway, BodyOverLimitIsLoggedAndSkipped) {
  Hit hit = HitProbe({{"PROBE", "fields"}, {"PROBE_LIMIT", "10"}, {"CONTENT_LENGTH", "11"}},
                     "a=123456789");
  EXPECT_EQ(hit.answer, "HTTP/1.0 200 OK\r\nX-First:1\r\n" + kHeader + "<pre>[last]");
  EXPECT_NE(hit.log.find(" : Content length exceeds AutoReadLimit\r\n"), std::string::npos)
      << hit.log;

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
    EXPECT_NE(
        hit.log.find(" : Unhandled exception : '" + length + "' is not a valid integer value"),
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
  EXPECT_EQ(bytes.answer,
            "HTTP/1.0 200 OK\r\nX-First:1\r\n" + kHeader + std::string("\0\1\2", 3) + "[last]");
}

TEST(CgiGateway, WindowsCgiStartIsNotServedHere) {
  // The standard gateway stays idle; this program carries no Windows CGI
  // gateway, so it logs and ends instead of waiting.
  Hit hit = HitProbe({{"PROBE", "html"}, {"CGI_VERSION", "CGI/1.3a (Win)"}});
  EXPECT_EQ(hit.exitCode, 0);
  EXPECT_EQ(hit.answer, "");
  EXPECT_NE(hit.log.find("No gateway of this program serves this start"), std::string::npos);
}

TEST(CgiGateway, EveryStandardErrorIsAnErrorOfTheRequest) {
  // std::stoi throws std::invalid_argument: logged like the system's own
  // errors, the answer written so far sent, the program ends normally.
  Hit hit = HitProbe({{"PROBE", "stoi"}, {"QUERY_STRING", "n=abc"}});
  EXPECT_EQ(hit.exitCode, 0);
  EXPECT_EQ(hit.answer, "HTTP/1.0 200 OK\r\nX-First:1\r\n" + kHeader + "<p>before");
  EXPECT_NE(hit.log.find(" : Unhandled exception : stoi\r\n"), std::string::npos) << hit.log;
}

TEST(CgiGateway, ForeignFailureStillSendsTheAnswerAndDeletesUploads) {
  pithorama::test::TempFolder uploads;
  const std::string body =
      "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n\r\n"
      "file data\r\n--XyZ--\r\n";
  Hit hit = HitProbe({{"PROBE", "foreign"},
                      {"PROBE_TEMPDIR", uploads.Path()},
                      {"REQUEST_METHOD", "POST"},
                      {"CONTENT_TYPE", "multipart/form-data; boundary=XyZ"},
                      {"CONTENT_LENGTH", std::to_string(body.size())}},
                     body);
  EXPECT_EQ(hit.exitCode, -1);  // the failure passed on and ended the program
  EXPECT_EQ(hit.answer, "HTTP/1.0 200 OK\r\nX-First:1\r\n" + kHeader + "<p>before");
  EXPECT_TRUE(std::filesystem::is_empty(uploads.Path()));
}

TEST(CgiGateway, ReaderThatHungUpDoesNotEndTheRequest) {
  // The reader of the answer is gone before the first byte: every write
  // fails, and the handler still runs to its end.
  if (!pithorama::test::HostToolsAvailable())
    GTEST_SKIP() << "needs bash for the pipeline, which this build cannot start";
  pithorama::test::TempFolder logs;
  auto result = RunProgram(
      "/bin/bash", {"-c", "\"$0\" | true; echo \"${PIPESTATUS[0]}\"", kProbe},
      {{"PROBE", "big"}, {"SERVER_SOFTWARE", "lighttpd/1.4.69"}, {"CGI_LOG_DIR", logs.Path()}}, "",
      "", 30);
  EXPECT_EQ(result.output, "0\n");
  EXPECT_NE(ReadWholeFile(logs.File("cgi_probe.Log")).find(" : handler finished\r\n"),
            std::string::npos);
}

TEST(CgiGateway, ARequestNeverStartsTheServer) {
  // A resident server would stay running past the bound of RunProgram (which
  // then reports -1); each of these starts must end, and a request must be
  // answered.
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    std::map<std::string, std::string> env;
  } cases[] = {
      {"by hand, other argument", {"profile.ini"}, {}},
      {"Apache, ISINDEX query START_SERVER",
       {"START_SERVER"},
       {{"SERVER_SOFTWARE", "Apache/2.4.62 (Debian)"},
        {"GATEWAY_INTERFACE", "CGI/1.1"},
        {"REQUEST_METHOD", "GET"},
        {"QUERY_STRING", "START_SERVER"}}},
      {"request without server software",
       {"START_SERVER"},
       {{"GATEWAY_INTERFACE", "CGI/1.1"}, {"REQUEST_METHOD", "GET"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pithorama::test::TempFolder logs;
    auto env = c.env;
    env["CGI_LOG_DIR"] = logs.Path();
    env["PROBE"] = "html";
    auto result = RunProgram(kProbe, c.arguments, env, "", "", 20);
    EXPECT_NE(result.exitCode, -1);
    if (c.env.count("SERVER_SOFTWARE")) {
      EXPECT_NE(result.output.find("<p>hi</p>"), std::string::npos) << result.output;
    }
  }
}

TEST(CgiGateway, RelativeLogFolderCountsFromTheProgram) {
  // The program in a folder of its own, started from another working folder.
  pithorama::test::TempFolder programFolder, workFolder;
  const std::string program = programFolder.File("cgi_probe");
  std::filesystem::copy_file(kProbe, program);
  auto result = RunProgram(program, {},
                           {{"PROBE", "log"},
                            {"PROBE_MESSAGE", "kept"},
                            {"SERVER_SOFTWARE", "lighttpd/1.4.69"},
                            {"CGI_LOG_DIR", "logs"}},
                           "", workFolder.Path(), 30);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_NE(ReadWholeFile(programFolder.File("logs/cgi_probe.Log")).find(" : kept\r\n"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(workFolder.File("logs")));
}

TEST(CgiGateway, LogLinesAreEscapedAndBounded) {
  const struct {
    const char* name;
    std::string message;
    std::string logged;
  } cases[] = {
      {"line ends", "a\r\n2024-01-01 00:00:00,  1 : forged",
       "a\\r\\n2024-01-01 00:00:00,  1 : forged"},
      {"other controls", std::string("t\tz\x01") + "e\x7f", "t\\tz\\x01e\\x7F"},
      {"8-bit text stays", "caf\xe9", "caf\xe9"},
      // Passed in the environment: within Windows' 32767 characters.
      {"long", std::string(32000, 'x'), std::string(2048, 'x') + "[...]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Hit hit = HitProbe({{"PROBE", "log"}, {"PROBE_MESSAGE", c.message}});
    const size_t start = hit.log.find(" : ");
    ASSERT_NE(start, std::string::npos) << hit.log;
    EXPECT_EQ(hit.log.substr(start + 3), c.logged + "\r\n");
  }
}
