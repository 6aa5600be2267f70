// Part header lines and the boundary parameter of a multipart content type.
#include <gtest/gtest.h>

#include "pithorama/engine/multipart/MultipartHeader.h"

using namespace pithorama;

namespace {

TEST(MultipartHeader, BoundaryParameter) {
  const struct {
    const char* contentType;
    std::string boundary;
  } cases[] = {
      {"multipart/form-data; boundary=----WebKitFormBoundary7MA4", "----WebKitFormBoundary7MA4"},
      {"multipart/form-data;boundary=abc", "abc"},
      {"multipart/form-data; charset=utf-8; BOUNDARY=\"a b;c\"", "a b;c"},
      {"multipart/form-data; boundary=abc ; x=1", "abc"},
      {"multipart/form-data; x-boundary=no; boundary=yes", "yes"},
      {"multipart/form-data; boundary=q", "q"},
      {"multipart/form-data; boundary=", ""},
      {"multipart/form-data", ""},
      {"multipart/form-data; boundary=\"unclosed", "unclosed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contentType);
    EXPECT_EQ(MultipartBoundary(c.contentType), c.boundary);
  }
  EXPECT_EQ(MultipartBoundary("multipart/form-data; boundary=" + std::string(MaxBoundary, 'b')),
            std::string(MaxBoundary, 'b'));
  EXPECT_EQ(MultipartBoundary("multipart/form-data; boundary=" + std::string(MaxBoundary + 1, 'b')),
            "");
}

TEST(MultipartHeader, HeaderLines) {
  const struct {
    const char* title;
    std::vector<std::string> lines;
    TPartHeader part;
  } cases[] = {
      {"browser order",
       {"Content-Disposition: form-data; name=\"f\"; filename=\"p.gif\"",
        "Content-Type: image/gif"},
       {"f", "p.gif", " image/gif"}},
      {"file name first, tokens",
       {"content-disposition:form-data;filename=a.txt;name=f"},
       {"f", "a.txt", ""}},
      {"type first",
       {"CONTENT-TYPE:text/plain;charset=utf-8", "Content-Disposition: form-data; name=t"},
       {"t", "", "text/plain"}},
      {"name trimmed inside quotes",
       {"Content-Disposition: form-data; name=\" n m \""},
       {"n m", "", ""}},
      {"client path kept with its backslashes",
       {"Content-Disposition: form-data; name=\"f\"; filename=\"C:\\dir\\p.gif\""},
       {"f", "C:\\dir\\p.gif", ""}},
      {"other headers and parameters ignored",
       {"X-Name: form-data; name=\"x\"", "Content-Disposition: form-data; myname=\"y\"; size=3"},
       {"", "", ""}},
      {"a line without a colon is ignored", {"name=\"z\""}, {"", "", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    TPartHeader part;
    for (const std::string& line : c.lines) ApplyHeaderLine(line, part);
    EXPECT_EQ(part.Name, c.part.Name);
    EXPECT_EQ(part.FileName, c.part.FileName);
    EXPECT_EQ(part.ContentType, c.part.ContentType);
  }
}

}  // namespace
