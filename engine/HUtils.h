// Non-visual helper components of the engine: the cookie.
//
// Reading and sending a cookie in a request handler:
//
//   THttpCookie visits(nullptr);
//   visits.CookieName = "visits";
//   visits.MaxAge = 86400;
//   visits.HttpOnly = true;
//   int n = StrToIntDef(visits.Value("0"), 0) + 1;
//   visits.Send(std::to_string(n));  // a Set-Cookie line, before any other output
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pithorama/platform/Component.h"
#include "pithorama/platform/DateTime.h"

namespace pithorama {

// The SameSite attribute of a cookie; Unset sends none. A browser accepts
// SameSite=None only together with Secure.
enum class TSameSite : uint8_t { Unset, Lax, Strict, None };

// The attributes of one browser cookie. Its cookie name follows the
// component's name for as long as it was never set to something else.
class THttpCookie : public TComponent {
 public:
  using TComponent::TComponent;

  std::string CookieName;
  std::string Domain;
  std::string Path;
  bool Secure = false;
  // The value is scrambled with CodeKey (ScrambleString) before it is sent
  // and unscrambled when it is read. This hides it from a casual look only:
  // a client can still read and change it.
  bool Coded = false;
  int32_t CodeKey = 0;

  // Further attributes of the Set-Cookie line.
  TDateTime Expires = 0;  // local date-time the cookie ends; 0: no Expires attribute
  int32_t MaxAge = -1;    // seconds the cookie lives; negative: no Max-Age attribute
  bool HttpOnly = false;  // hidden from the page's scripts
  TSameSite SameSite = TSameSite::Unset;

  // This cookie's value in the text of a Cookie header: found by CookieName,
  // "%hh" escapes decoded, unscrambled when Coded. nullopt when absent.
  std::optional<std::string> ValueIn(std::string_view cookieHeader) const;
  // This cookie's value in the request that the calling thread serves, or
  // `defaultValue` when the request has no such cookie.
  std::string Value(std::string_view defaultValue = {}) const;

  // The text of a Set-Cookie line that gives the cookie `value`:
  // "name=value; Expires=...; Max-Age=...; Domain=...; Path=...; Secure;
  // HttpOnly; SameSite=...", the attributes only where set. The value is
  // scrambled when Coded; bytes a cookie value cannot hold (blanks, quotes,
  // commas, semicolons, backslashes, control bytes, bytes above 126) and "%"
  // are written as "%hh". Empty when CookieName is no HTTP token.
  std::string SetCookieText(std::string_view value) const;
  // A Set-Cookie line that makes the browser drop the cookie: an empty value,
  // Max-Age=0 and an Expires date in the past, with Domain and Path as set.
  std::string RemoveCookieText() const;

  // Adds the line of SetCookieText (Send) or RemoveCookieText (Remove) to the
  // answer of the calling thread's request. False, and a line in the error
  // log, when the name is no token, the header is already complete or the
  // thread serves no request.
  bool Send(std::string_view value) const;
  bool Remove() const;

 protected:
  void ChangeName(const std::string& newName) override;

 private:
  std::string Attributes() const;
  bool AddSetCookie(const std::string& text) const;

  std::string previousName_;
};

}  // namespace pithorama
