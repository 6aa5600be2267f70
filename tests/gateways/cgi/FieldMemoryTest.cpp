// A large text field costs about twice its size in memory, whichever way it
// is posted: once as the request's fields hold it and once as the copy that
// the handler's look-up answers (while the body is decoded, the body's text
// and the field being built take the same room).
#include <gtest/gtest.h>

#include "tests/support/Process.h"

namespace {

const std::string kProbe = pithorama::test::ProgramFile("field_memory_probe");
constexpr size_t kSize = 8 << 20;

TEST(FieldMemory, LargeTextFieldNearTwiceItsSize) {
  std::string text;
  text.reserve(kSize);
  while (text.size() < kSize) text += "Words of a long comment ";
  text.resize(kSize);
  const std::string boundary = "----MemoryBoundary";
  const struct {
    const char* title;
    std::string contentType;
    std::string body;
  } cases[] = {
      {"url-encoded", "application/x-www-form-urlencoded", "a=1&big=" + text + "&z=2"},
      {"multipart", "multipart/form-data; boundary=" + boundary,
       "--" + boundary + "\r\nContent-Disposition: form-data; name=\"big\"\r\n\r\n" + text +
           "\r\n--" + boundary + "--\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    pithorama::test::TempFolder logs;
    const auto result =
        pithorama::test::RunProgram(kProbe, {},
                                    {{"SERVER_SOFTWARE", "lighttpd/1.4.69"},
                                     {"REQUEST_METHOD", "POST"},
                                     {"CGI_LOG_DIR", logs.Path()},
                                     {"CONTENT_TYPE", c.contentType},
                                     {"CONTENT_LENGTH", std::to_string(c.body.size())}},
                                    c.body, "", 120);
    const size_t at = result.output.find("<p>");
    ASSERT_NE(at, std::string::npos) << result.output;
    const std::string answer = result.output.substr(at + 3);
    const int64_t peak = std::stoll(answer);
    EXPECT_EQ(answer.substr(answer.find(' ') + 1), std::to_string(text.find_last_not_of(' ') + 1));
    EXPECT_LT(static_cast<double>(peak), 2.5 * kSize) << "peak heap bytes " << peak;
  }
}

}  // namespace
