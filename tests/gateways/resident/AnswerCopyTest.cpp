#include <gtest/gtest.h>

#include "pithorama/gateways/resident/AnswerCopy.h"

namespace pithorama {
namespace {

std::string Copy(const std::string& answer) {
  size_t at = 0;
  std::string out;
  CopyAnswer(
      static_cast<int64_t>(answer.size()),
      [&](char* buffer, size_t count) {
        const size_t n = std::min(count, answer.size() - at);
        answer.copy(buffer, n, at);
        at += n;
        return static_cast<int64_t>(n);
      },
      [&](std::string_view bytes) { out.append(bytes); });
  return out;
}

TEST(AnswerCopy, ContentLengthOnlyWhenTheHeaderEndsInTheFirstBlock) {
  const std::string shortHead = "HTTP/1.0 200 OK\r\ncontent-type:text/html\r\n";
  const std::string longHead = "X-Pad:" + std::string(1100, 'p') + "\r\n";
  const std::string bigBody = std::string(3000, 'b');
  const struct {
    const char* name;
    std::string answer;
    std::string relayed;
  } cases[] = {
      {"small answer", shortHead + "\r\n<p>hi</p>",
       shortHead.substr(0, shortHead.size() - 2) + "\r\nContent-Length: 9\r\n\r\n<p>hi</p>"},
      {"body over many blocks", shortHead + "\r\n" + bigBody,
       shortHead.substr(0, shortHead.size() - 2) + "\r\nContent-Length: 3000\r\n\r\n" + bigBody},
      {"empty body", "a:1\r\n\r\n", "a:1\r\nContent-Length: 0\r\n\r\n"},
      {"blank line beyond the first block", longHead + "\r\nbody", longHead + "\r\nbody"},
      {"blank line across the block border", std::string(1022, 'h') + "\r\n\r\nbody",
       std::string(1022, 'h') + "\r\n\r\nbody"},
      {"no blank line", "just text", "just text"},
      {"exactly one block", std::string(1024, 'x'), std::string(1024, 'x')},
      {"empty answer", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Copy(c.answer), c.relayed);
  }
}

TEST(AnswerCopy, FailedReadStopsTheCopy) {
  std::string out;
  int calls = 0;
  bool copied = CopyAnswer(
      4096,
      [&](char* buffer, size_t count) -> int64_t {
        if (calls++ > 0) return -1;
        std::fill(buffer, buffer + count, 'a');
        return static_cast<int64_t>(count);
      },
      [&](std::string_view bytes) { out.append(bytes); });
  EXPECT_FALSE(copied);
  EXPECT_EQ(out, std::string(1024, 'a'));
}

}  // namespace
}  // namespace pithorama
