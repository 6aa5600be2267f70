#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <optional>

#include "pithorama/engine/HUtils.h"
#include "pithorama/engine/Scramble.h"
#include "pithorama/platform/Errors.h"
#include "tests/support/FakeEngine.h"
#include "tests/support/Process.h"

using namespace pithorama;
using pithorama::test::FakeEngine;

TEST(Cookie, RenamingRule) {
  TComponent owner(nullptr);
  auto* cookie = new THttpCookie(&owner);
  cookie->SetName("Cookie1");
  EXPECT_EQ(cookie->CookieName, "Cookie1");  // a first name: empty equals empty

  cookie->CookieName = "cOOKIE1";
  cookie->SetName("Cookie2");
  EXPECT_EQ(cookie->CookieName, "Cookie2");  // never changed but for letter case: follows

  cookie->CookieName = "session";
  cookie->SetName("Cookie3");
  EXPECT_EQ(cookie->CookieName, "session");  // set to another text: kept

  auto* designed = new THttpCookie(&owner);
  designed->SetName("A");
  designed->CookieName = "other";
  designed->SetName("B");
  EXPECT_EQ(designed->CookieName, "other");
  designed->SetDesigning(true);
  designed->CookieName = "";
  designed->SetName("C");
  EXPECT_EQ(designed->CookieName, "C");  // design mode and empty: takes the name

  EXPECT_THROW(designed->SetName("Cookie3"), EComponentError);  // duplicate
  EXPECT_THROW(designed->SetName("9lives"), EComponentError);   // not an identifier
  EXPECT_EQ(designed->Name(), "C");
  EXPECT_EQ(designed->CookieName, "C");
}

TEST(Component, OwnedComponentsFreedLastFirst) {
  static std::vector<int> order;
  struct Tracked : TComponent {
    Tracked(TComponent* owner, int id) : TComponent(owner), id(id) {}
    ~Tracked() override { order.push_back(id); }
    int id;
  };
  order.clear();
  {
    TComponent owner(nullptr);
    new Tracked(&owner, 1);
    auto* second = new Tracked(&owner, 2);
    new Tracked(&owner, 3);
    delete second;  // leaves its owner's list
    EXPECT_EQ(owner.Components().size(), 2u);
  }
  EXPECT_EQ(order, (std::vector<int>{2, 3, 1}));
}

TEST(Cookie, SetCookieLine) {
  const struct {
    const char* name;
    std::function<void(THttpCookie&)> set;
    std::string value;
    std::string line;
  } cases[] = {
      {"plain", [](THttpCookie&) {}, "3", "visits=3"},
      {"bytes a value cannot hold", [](THttpCookie&) {}, "a b;c,\"d\\e%f\x01\xE9",
       "visits=a%20b%3Bc%2C%22d%5Ce%25f%01%E9"},
      {"every attribute",
       [](THttpCookie& c) {
         c.Domain = "example.org";
         c.Path = "/app";
         c.MaxAge = 3600;
         c.Secure = true;
         c.HttpOnly = true;
         c.SameSite = TSameSite::Strict;
       },
       "1",
       "visits=1; Max-Age=3600; Domain=example.org; Path=/app; Secure; HttpOnly; SameSite=Strict"},
      {"Max-Age 0 is sent", [](THttpCookie& c) { c.MaxAge = 0; }, "", "visits=; Max-Age=0"},
      {"SameSite Lax and None",
       [](THttpCookie& c) {
         c.SameSite = TSameSite::Lax;
         c.Path = "/a;b\r\n";
       },
       "x", "visits=x; Path=/ab; SameSite=Lax"},
      {"expiry date",
       [](THttpCookie& c) {
         c.Expires = EncodeDateTime({2030, 1, 2, 3, 4, 5});
       },
       "x", "visits=x; Expires=Wed, 02 Jan 2030 03:04:05 GMT"},
      {"no token", [](THttpCookie& c) { c.CookieName = "a b"; }, "x", ""},
  };
  pithorama::test::SetEnvironment("TZ", "UTC0");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    THttpCookie cookie(nullptr);
    cookie.CookieName = "visits";
    c.set(cookie);
    EXPECT_EQ(cookie.SetCookieText(c.value), c.line);
  }
  pithorama::test::UnsetEnvironment("TZ");
  THttpCookie cookie(nullptr);
  cookie.CookieName = "id";
  cookie.Path = "/";
  EXPECT_EQ(cookie.RemoveCookieText(),
            "id=; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=0; Path=/");
}

TEST(Cookie, CodedValueComesBackAsSent) {
  const std::string values[] = {"", "1", "hello world", std::string("\0\xFF;=\"%", 6),
                                std::string(300, 'x')};
  for (int32_t key : {0, 417, -5, INT32_MIN}) {
    for (const std::string& value : values) {
      SCOPED_TRACE(std::to_string(key) + " " + value);
      THttpCookie cookie(nullptr);
      cookie.CookieName = "s";
      cookie.Coded = true;
      cookie.CodeKey = key;
      const std::string line = cookie.SetCookieText(value);
      ASSERT_EQ(line.rfind("s=", 0), 0u);
      EXPECT_EQ(line.find_first_of(" ;,\"\\", 2), std::string::npos) << line;
      EXPECT_EQ(cookie.ValueIn("other=1; " + line), value);
      cookie.Coded = false;
      EXPECT_EQ(cookie.ValueIn(line), ScrambleString(value, key));
    }
  }
}

TEST(Cookie, ReadAndSentInARequest) {
  pithorama::test::TempFolder logs;
  pithorama::test::SetEnvironment("CGI_LOG_DIR", logs.Path());
  THttpCookie visits(nullptr);
  visits.CookieName = "visits";
  EXPECT_EQ(visits.Value("none"), "none");  // no request on this thread
  EXPECT_FALSE(visits.Send("1"));
  FakeEngine engine;
  engine.variables["HTTP COOKIE"] = "theme=dark; visits=\"41%20x\"";
  engine.exec = [&] {
    EXPECT_EQ(visits.Value("0"), "41 x");
    EXPECT_TRUE(visits.Send("42"));
    engine.Write("<p>");
    EXPECT_FALSE(visits.Send("43"));  // the header is complete
  };
  engine.RunRequest();
  EXPECT_EQ(engine.answer,
            "HTTP/1.0 200 OK\r\nSet-Cookie:visits=42\r\ncontent-type:text/html\r\n\r\n<p>");
  const std::string log = pithorama::test::ReadWholeFile(logs.File("engine_tests.Log"));
  EXPECT_NE(log.find("Cookie visits refused: the header is complete"), std::string::npos) << log;
  pithorama::test::UnsetEnvironment("CGI_LOG_DIR");
}

TEST(Scramble, UnscrambleUndoesScramble) {
  const std::string texts[] = {"", "a", "ab", "abc", std::string("\0\x80\xFF", 3), "session line"};
  for (int32_t key : {0, 1, 6173, -6173, INT32_MAX, INT32_MIN}) {
    for (const std::string& text : texts) {
      SCOPED_TRACE(std::to_string(key) + " " + text);
      EXPECT_EQ(UnscrambleString(ScrambleString(text, key), key), text);
      EXPECT_EQ(ScrambleString(UnscrambleString(text, key), key), text);
    }
  }
}
