// The walk over a filter's raw request data.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "pithorama/gateways/isapi/IsapiRawData.h"

using pithorama::ScanRawRequest;

namespace {

TEST(RawData, Walk) {
  const struct {
    const char* title;
    std::string data, content, cookie;
  } cases[] = {
      {"GET with query", "GET /a.dll?x=1&y=2 HTTP/1.1\r\nHost: h\r\n\r\n", "x=1&y=2", ""},
      {"GET cookie not inspected", "GET /a.dll HTTP/1.1\r\nCookie: s=1\r\n\r\n", "", ""},
      {"urlencoded POST",
       "post /a.dll?q=9 HTTP/1.1\r\ncookie: s=1\r\n"
       "CONTENT-TYPE: application/x-www-form-urlencoded\r\n\r\n  a=1&b=2 \r\n",
       "a=1&b=2&q=9", " s=1"},
      {"urlencoded POST without query",
       "POST / HTTP/1.0\nContent-Type: application/x-www-form-urlencoded\n\na=1", "a=1", ""},
      {"POST not urlencoded", "POST /a.dll?q=9 HTTP/1.1\r\nContent-Type: text/plain\r\n\r\na=1",
       "q=9", ""},
      {"zero byte ends the data",
       std::string("POST /?q=9 HTTP/1.1\r\nContent-Type: x-urlencoded\0"
                   "\r\n\r\na=1",
                   52),
       "q=9", ""},
      {"body up to a zero byte",
       std::string("POST / HTTP/1.1\r\nContent-Type: urlencoded\r\n\r\na=1\0b=2", 50), "a=1", ""},
      {"question mark first is no query", "?x=1 /a HTTP/1.1\r\n\r\n", "", ""},
      {"long cookie cut", "POST / HTTP/1.1\r\nCookie:" + std::string(5000, 'c') + "\r\n\r\n", "",
       std::string(4096, 'c')},
      {"empty data", "", "", ""},
      {"request line only, no line end", "POST /x?a=1", "a=1", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    // Exactly the delivered bytes: a walk past them shows under AddressSanitizer.
    std::unique_ptr<char[]> bytes(new char[c.data.size() + 1]);
    std::memcpy(bytes.get(), c.data.data(), c.data.size());
    auto scan = ScanRawRequest(std::string_view(bytes.get(), c.data.size()));
    EXPECT_EQ(scan.RequestContent, c.content);
    EXPECT_EQ(scan.CookieText, c.cookie);
  }
}

}  // namespace
