#include "pithorama/engine/HUtils.h"

#include "pithorama/engine/HttpEng.h"
#include "pithorama/engine/HttpText.h"
#include "pithorama/engine/Scramble.h"
#include "pithorama/platform/Strings.h"

namespace pithorama {

namespace {

// The bytes RFC 6265 allows in a cookie value, less "%", which starts an escape.
bool IsCookieOctet(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte < 0x7F && c != '"' && c != ',' && c != ';' && c != '\\' && c != '%';
}

std::string EncodeCookieValue(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string result;
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsCookieOctet(c))
      result.push_back(c);
    else
      result.append(1, '%').append(1, kHex[byte >> 4]).append(1, kHex[byte & 15]);
  }
  return result;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "%hh" becomes the byte; everything else, "+" included, stays.
std::string DecodeCookieValue(std::string_view value) {
  std::string result;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '%' && i + 2 < value.size() && HexValue(value[i + 1]) >= 0 &&
        HexValue(value[i + 2]) >= 0) {
      result.push_back(static_cast<char>(HexValue(value[i + 1]) * 16 + HexValue(value[i + 2])));
      i += 2;
    } else {
      result.push_back(value[i]);
    }
  }
  return result;
}

// Domain and Path end at a semicolon or a control byte in the header line.
std::string AttributeValue(std::string_view text) {
  std::string result;
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F && c != ';') result.push_back(c);
  return result;
}

// "Sun, 06 Nov 1994 08:49:37 GMT": the HTTP date with one blank after the comma.
std::string CookieDate(TDateTime localTime) {
  std::string date = HttpDate(localTime);
  const size_t comma = date.find(",  ");
  if (comma != std::string::npos) date.erase(comma + 1, 1);
  return date;
}

}  // namespace

void THttpCookie::ChangeName(const std::string& newName) {
  TComponent::ChangeName(newName);  // may raise; then nothing below happens
  if ((Designing() && CookieName.empty()) || UpperCase(previousName_) == UpperCase(CookieName))
    CookieName = newName;
  previousName_ = newName;
}

std::optional<std::string> THttpCookie::ValueIn(std::string_view cookieHeader) const {
  std::optional<std::string> raw = CookieValue(cookieHeader, CookieName);
  if (!raw) return std::nullopt;
  std::string value = DecodeCookieValue(*raw);
  return Coded ? UnscrambleString(value, CodeKey) : value;
}

std::string THttpCookie::Value(std::string_view defaultValue) const {
  THttpEngine* engine = CurrentEngine();
  std::optional<std::string> value;
  if (engine != nullptr) value = ValueIn(engine->GetCookie());
  return value ? *value : std::string(defaultValue);
}

std::string THttpCookie::Attributes() const {
  std::string text;
  if (!Domain.empty()) text += "; Domain=" + AttributeValue(Domain);
  if (!Path.empty()) text += "; Path=" + AttributeValue(Path);
  if (Secure) text += "; Secure";
  if (HttpOnly) text += "; HttpOnly";
  switch (SameSite) {
    case TSameSite::Lax:
      text += "; SameSite=Lax";
      break;
    case TSameSite::Strict:
      text += "; SameSite=Strict";
      break;
    case TSameSite::None:
      text += "; SameSite=None";
      break;
    case TSameSite::Unset:
      break;
  }
  return text;
}

std::string THttpCookie::SetCookieText(std::string_view value) const {
  if (!IsHttpToken(CookieName)) return {};
  std::string text = CookieName + "=";
  text += EncodeCookieValue(Coded ? ScrambleString(value, CodeKey) : std::string(value));
  if (Expires != 0) text += "; Expires=" + CookieDate(Expires);
  if (MaxAge >= 0) text += "; Max-Age=" + std::to_string(MaxAge);
  return text + Attributes();
}

std::string THttpCookie::RemoveCookieText() const {
  if (!IsHttpToken(CookieName)) return {};
  return CookieName + "=; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=0" + Attributes();
}

bool THttpCookie::AddSetCookie(const std::string& text) const {
  THttpEngine* engine = CurrentEngine();
  const char* refusal = nullptr;
  if (text.empty())
    refusal = "its name is no HTTP token";
  else if (engine == nullptr)
    refusal = "no request is served";
  else if (RequestState().HeaderSent != 0)
    refusal = "the header is complete";
  if (refusal != nullptr) {
    WriteErrorLog("Cookie " + CookieName + " refused: " + refusal);
    return false;
  }
  engine->AddHeader("Set-Cookie", text);
  return true;
}

bool THttpCookie::Send(std::string_view value) const { return AddSetCookie(SetCookieText(value)); }

bool THttpCookie::Remove() const { return AddSetCookie(RemoveCookieText()); }

}  // namespace pithorama
