// The Windows CGI engine in this process: each case writes a profile (and the
// files it names) into a fresh folder, runs one request cycle and looks at
// what the handler saw and what reached the output file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "pithorama/gateways/wincgi/CgiWEng.h"
#include "tests/support/Process.h"

using namespace pithorama;
using pithorama::test::ReadWholeFile;
using pithorama::test::WriteWholeFile;

namespace {

const std::string kMarker(NotAvailable);

class WinEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    // Not a Windows CGI start: the constructor only sets the engine up, and
    // each case runs the request cycle itself.
    WinCGIStart = false;
    engine_ = std::make_unique<TCGIWinEngine>(nullptr, TGatewaySettings{});
    engine_->AutoTerminate = false;
    engine_->TempDir = folder_.Path();
    pithorama::test::SetEnvironment("CGI_LOG_DIR", folder_.Path());
  }
  void TearDown() override {
    pithorama::test::UnsetEnvironment("CGI_LOG_DIR");
    RequestState().CurrentEngine = nullptr;
  }

  // "$DIR" in the profile stands for the case's folder; the output file is
  // $DIR/out unless the profile names another.
  std::string Serve(std::string profile, std::function<void()> handler = nullptr) {
    profile = Expand(profile);
    if (profile.find("Output File") == std::string::npos)
      profile += "\r\n[System]\r\nOutput File=" + Path("out") + "\r\n";
    WriteWholeFile(Path("p.ini"), profile);
    fired_ = false;
    engine_->OnExecRequest = [this, handler](TObject*) {
      fired_ = true;
      if (handler) handler();
    };
    WinCgiThreadState().ProfileFileName = Path("p.ini");
    engine_->RunRequest();
    return ReadWholeFile(Path("out"));
  }

  std::string Expand(std::string text) const {
    for (size_t at; (at = text.find("$DIR")) != std::string::npos;)
      text.replace(at, 4, folder_.Path());
    return text;
  }
  std::string Path(const std::string& name) const { return folder_.File(name); }
  // The error log: the one file the engine names after the test program.
  std::string Log() const {
    for (const auto& entry : std::filesystem::directory_iterator(folder_.Path()))
      if (entry.path().extension() == ".Log") return ReadWholeFile(entry.path().string());
    return {};
  }

  pithorama::test::TempFolder folder_;
  std::unique_ptr<TCGIWinEngine> engine_;
  bool fired_ = false;
};

const std::string kVariables =
    "[CGI]\r\n"
    "Request Method=GET\r\n"
    "Server Software=Stand-in/1.0\r\n"
    "Executable Path=/cgi-win/probe\r\n"
    "Remote Address=10.0.0.1\r\n"
    "User Agent=curl/7.88.1\r\n"
    "Referer=http://127.0.0.1/form\r\n"
    "[System]\r\n"
    "GMT Offset=3600\r\n"
    "Server Software=not this one\r\n"
    "Output File=$DIR/out\r\n"
    "[Extra Headers]\r\n"
    "Host=127.0.0.1:8080\r\n"
    "[Accept]\r\n"
    "text/html=Yes\r\n";

TEST_F(WinEngine, Variables) {
  const struct {
    std::string asked, value;
  } cases[] = {
      {"SERVER_SOFTWARE", "Stand-in/1.0"},
      {" server software ", "Stand-in/1.0"},
      {"SCRIPT NAME", "/cgi-win/probe"},
      {"script_name", "/cgi-win/probe"},
      {"GMT Offset", "3600"},
      {"HOST", "127.0.0.1:8080"},
      {"text/html", "Yes"},
      // Names the profile spells its own way.
      {"REMOTE ADDR", "10.0.0.1"},
      {"HTTP USER AGENT", "curl/7.88.1"},
      {"HTTP_REFERER", "http://127.0.0.1/form"},
      {"HTTP HOST", "127.0.0.1:8080"},
      {"PATH INFO", ""},
      {"NOWHERE", ""},
  };
  std::vector<std::string> seen;
  Serve(kVariables, [&] {
    for (const auto& c : cases) seen.push_back(engine_->GetVariable(c.asked));
  });
  ASSERT_EQ(seen.size(), std::size(cases));
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], cases[i].value) << cases[i].asked;
}

TEST_F(WinEngine, Cookie) {
  std::string cookie;
  Serve(kVariables, [&] { cookie = engine_->GetCookie(); });
  EXPECT_EQ(cookie, kMarker);
  Serve(kVariables + "[Extra Headers]\r\nCookie=a=1; b=2\r\n",
        [&] { cookie = engine_->GetCookie(); });
  EXPECT_EQ(cookie, "a=1; b=2");
}

TEST_F(WinEngine, Fields) {
  WriteWholeFile(Path("ext"), "hello");
  WriteWholeFile(Path("zero"), std::string("ab\0cd", 5));
  const struct {
    const char* name;
    std::string profile;
    std::string field;
    std::string value;  // "dflt" when absent
    TStringList names;
  } cases[] = {
      {"further values joined by CR LF",
       "[CGI]\r\nRequest Method=POST\r\n[Form Literal]\r\ncolour=red\r\ncolour_1=green\r\n"
       "colour_2=blue\r\n",
       "Colour",
       "red\r\ngreen\r\nblue",
       {"COLOUR"}},
      {"GET answers from the query string",
       "[CGI]\r\nRequest Method=GET\r\nQuery String=a=1&b=x%26y\r\n[Form Literal]\r\na=9\r\n",
       "a",
       "1",
       {"a", "b"}},
      {"POST answers from the form sections, not the query string",
       "[CGI]\r\nRequest Method=POST\r\nQuery String=a=1\r\n",
       "a",
       "dflt",
       {}},
      {"file field gives its raw entry",
       "[CGI]\r\nRequest Method=POST\r\n[Form File]\r\nup=[/tmp/x] 3 text/plain binary [a "
       "b.txt]\r\n",
       "up",
       "[/tmp/x] 3 text/plain binary [a b.txt]",
       {"UP"}},
      {"external value",
       "[CGI]\r\nRequest Method=POST\r\n[Form External]\r\nbig=$DIR/ext 5\r\n",
       "big",
       "hello",
       {"BIG"}},
      {"external value longer than its length is cut",
       "[CGI]\r\nRequest Method=POST\r\n[Form External]\r\nbig=$DIR/ext 3\r\n",
       "big",
       "hel",
       {"BIG"}},
      {"external file shorter than its length gives what is there",
       "[CGI]\r\nRequest Method=POST\r\n[Form External]\r\nbig=$DIR/ext 4000\r\n",
       "big",
       "hello",
       {"BIG"}},
      {"external value stops at a zero byte",
       "[CGI]\r\nRequest Method=POST\r\n[Form External]\r\nz=$DIR/zero 5\r\n",
       "z",
       "ab",
       {"Z"}},
      {"external file missing",
       "[CGI]\r\nRequest Method=POST\r\n[Form External]\r\nbig=$DIR/none 5\r\n",
       "big",
       "dflt",
       {"BIG"}},
      {"external length not a number",
       "[CGI]\r\nRequest Method=POST\r\n[Form External]\r\nbig=$DIR/ext five\r\n",
       "big",
       "dflt",
       {"BIG"}},
      {"external entry without length",
       "[CGI]\r\nRequest Method=POST\r\n[Form External]\r\nbig=$DIR/ext\r\n",
       "big",
       "dflt",
       {"BIG"}},
      {"literal before file before external",
       "[CGI]\r\nRequest Method=POST\r\n[Form External]\r\nv=$DIR/ext 5\r\n[Form "
       "File]\r\nv=file\r\n"
       "[Form Literal]\r\nv=literal\r\n",
       "v",
       "literal",
       {"V", "V", "V"}},
      {"field missing",
       "[CGI]\r\nRequest Method=POST\r\n[Form Literal]\r\nb=1\r\n",
       "a",
       "dflt",
       {"B"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string value;
    TStringList names;
    Serve(c.profile, [&] {
      value = engine_->GetField(c.field, "dflt");
      names = engine_->GetFieldNames();
    });
    EXPECT_TRUE(fired_);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(names, c.names);
  }
}

TEST_F(WinEngine, OutputFileStartsWithTheHeaderLines) {
  const struct {
    const char* name;
    bool noCache;
    std::function<void(TCGIWinEngine&)> handler;
    std::string start;
  } cases[] = {
      {"page", false, [](TCGIWinEngine& e) { e.Write("<p>hi</p>"); },
       "content-type:text/html\r\n\r\n<p>hi</p>"},
      {"nothing written", false, [](TCGIWinEngine&) {}, "content-type:text/html\r\n\r\n"},
      {"no-cache lines", true, [](TCGIWinEngine& e) { e.Write("<p>"); },
       "content-type:text/html\r\nPragma:no-cache\r\nCache-Control:no-cache\r\nExpires:"},
      {"redirect", false,
       [](TCGIWinEngine& e) {
         e.AddHeader("Location", "http://127.0.0.1/moved");
         e.EndHeaders();
       },
       "Location:http://127.0.0.1/moved\r\n\r\ncontent-type:text/html\r\n\r\n"},
      {"request text adds no line of its own", false,
       [](TCGIWinEngine& e) {
         e.AddHeader("Location", "/x\r\nSet-Cookie:evil=1");
         e.AddHeader("X Bad", "1");
         e.EndHeaders();
       },
       "Location:/xSet-Cookie:evil=1\r\n\r\n"},
      {"chosen status", false,
       [](TCGIWinEngine& e) {
         EXPECT_TRUE(e.SetStatus(404));
         e.Write("<p>");
       },
       "Status:404 Not Found\r\ncontent-type:text/html\r\n\r\n<p>"},
      {"redirect with a chosen status", false,
       [](TCGIWinEngine& e) { EXPECT_TRUE(e.Redirect("/next", 303)); },
       "Status:303 See Other\r\nLocation:/next\r\n\r\n"},
      {"bytes", false, [](TCGIWinEngine& e) { e.WriteBuffer("\0\1", 2); },
       std::string("content-type:text/html\r\n\r\n\0\1", 28)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    engine_->NoCache = c.noCache;
    const std::string output =
        Serve("[CGI]\r\nServer Software=Stand-in\r\n", [&] { c.handler(*engine_); });
    EXPECT_EQ(output.substr(0, c.start.size()), c.start);
  }
}

TEST_F(WinEngine, OutputFileOfAnEarlierAnswerIsCut) {
  WriteWholeFile(Path("out"), std::string(500, 'x'));
  EXPECT_EQ(Serve("[CGI]\r\n", [&] { engine_->Write("<p>"); }),
            "content-type:text/html\r\n\r\n<p>");
}

// A name without a drive gets the system folder's drive where paths have
// drives (the Windows style, and the host's own on Windows); elsewhere it
// stays as it is.
TEST_F(WinEngine, OutputFileWithoutDriveIsMadeAbsolute) {
  const struct {
    std::string name;
    bool getsDrive;
  } cases[] = {
      {"temp\\out.txt", true},
      {"\\temp\\out.txt", true},
      {"D:\\web\\out.txt", false},
      {"/tmp/out", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto expected = [&c](std::string_view drive) {
      return (c.getsDrive ? std::string(drive) : "") + c.name;
    };
    EXPECT_EQ(MakeAbsolutePath(c.name, WindowsPathStyle()), expected("C:"));
    EXPECT_EQ(MakeAbsolutePath(c.name), expected(HostPathStyle().systemDrive));
  }
}

TEST_F(WinEngine, NoOutputFileSkipsTheRequest) {
  Serve("[CGI]\r\nRequest Method=GET\r\n[System]\r\nOutput File=\r\n",
        [&] { engine_->Write("<p>"); });
  EXPECT_FALSE(fired_);
  EXPECT_FALSE(std::filesystem::exists(Path("out")));
  EXPECT_EQ(Log(), "");
}

TEST_F(WinEngine, MissingProfileIsAnErrorOfTheRequest) {
  fired_ = false;
  engine_->OnExecRequest = [this](TObject*) { fired_ = true; };
  WinCgiThreadState().ProfileFileName = Path("missing.ini");
  engine_->RunRequest();
  EXPECT_FALSE(fired_);
  EXPECT_NE(Log().find(" : Unhandled exception : Cannot open file " + Path("missing.ini")),
            std::string::npos)
      << Log();
}

TEST_F(WinEngine, HandlerErrorKeepsWhatWasWritten) {
  const std::string output = Serve("[CGI]\r\n", [&] {
    engine_->Write("<p>partial");
    throw Exception("boom");
  });
  EXPECT_EQ(output, "content-type:text/html\r\n\r\n<p>partial");
  EXPECT_NE(Log().find(" : Unhandled exception : boom\r\n"), std::string::npos) << Log();
  EXPECT_EQ(WinCgiThreadState().OutputStream, nullptr);
}

TEST_F(WinEngine, RequestObjectsAreReleasedWhenTheRequestEnds) {
  WriteWholeFile(Path("body"), "a=1");
  bool heldDuring = false;
  Serve(
      "[CGI]\r\nRequest Method=POST\r\nContent Length=3\r\nContent File=$DIR/body\r\n"
      "[Form Literal]\r\na=1\r\n",
      [&] {
        const TWinCgiThreadState& state = WinCgiThreadState();
        heldDuring = state.ProfileFile && state.ContentStream && state.OutputStream;
      });
  EXPECT_TRUE(heldDuring);
  const TWinCgiThreadState& state = WinCgiThreadState();
  EXPECT_EQ(state.ProfileFile, nullptr);
  EXPECT_EQ(state.ContentStream, nullptr);
  EXPECT_EQ(state.OutputStream, nullptr);
}

const std::string kMultipartBody =
    "--XyZ\r\n"
    "Content-Disposition: form-data; name=\"note\"\r\n\r\n"
    "hi there\r\n"
    "--XyZ\r\n"
    "Content-Disposition: form-data; name=\"up\"; filename=\"p.txt\"\r\n"
    "Content-Type: text/plain\r\n\r\n"
    "file bytes\r\n"
    "--XyZ--\r\n";

TEST_F(WinEngine, ContentFileGoesThroughTheMultipartDecoder) {
  WriteWholeFile(Path("body"), kMultipartBody);
  std::string note, upload, uploadName, names;
  Serve(
      "[CGI]\r\nRequest Method=POST\r\nContent Type=multipart/form-data; boundary=XyZ\r\n"
      "Content Length=" +
          std::to_string(kMultipartBody.size()) +
          "\r\nContent File=$DIR/body\r\n[Form Literal]\r\nnote=from the profile\r\n",
      [&] {
        note = engine_->GetField("note", "dflt");
        uploadName = engine_->GetField("up_FILENAME", "");
        upload = ReadWholeFile(uploadName);
        for (const std::string& name : engine_->GetFieldNames()) names += name + ";";
      });
  EXPECT_EQ(note, "hi there");
  EXPECT_EQ(upload, "file bytes");
  EXPECT_EQ(names, "note;up_CONTENT_TYPE;up;up_FILENAME;");
  EXPECT_FALSE(std::filesystem::exists(uploadName)) << "the upload outlived its request";
}

TEST_F(WinEngine, ContentFileShorterThanItsLength) {
  WriteWholeFile(Path("body"), kMultipartBody.substr(0, 60));
  std::string note;
  Serve(
      "[CGI]\r\nRequest Method=POST\r\nContent Length=5000\r\nContent File=$DIR/body\r\n"
      "[Form Literal]\r\nnote=from the profile\r\n",
      [&] { note = engine_->GetField("note", "dflt"); });
  EXPECT_TRUE(fired_);
  EXPECT_EQ(note, "from the profile");
}

}  // namespace
