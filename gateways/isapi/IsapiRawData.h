// The walk over the raw request data that an ISAPI filter receives: the
// request line, the header lines and, for a url-encoded POST, the body, as
// the server read them from the client.
#pragma once

#include <string>
#include <string_view>

namespace pithorama {

struct TRawRequestScan {
  // The request's url-encoded input: the query text of the request line, or
  // for a url-encoded POST the body, then "&" and the query text when there is one.
  std::string RequestContent;
  // The text after "COOKIE:" of a cookie line of a POST (at most 4096 bytes).
  std::string CookieText;
};

// Walks `data`, exactly the bytes the server delivered (no terminating zero
// needed): lines end at a line feed or a zero byte and are trimmed. The first
// line is the request line. Only a POST's header lines are read (a
// "Content-Type:" holding "URLENCODED", a "Cookie:" line; any letter case);
// the walk ends at the first empty line, at a zero byte that ends a line, or
// at the end of the data. The body of a url-encoded POST is the rest of the
// data up to a zero byte, trimmed.
TRawRequestScan ScanRawRequest(std::string_view data);

}  // namespace pithorama
