// The reply reader over a scripted byte source: pieces of any size, one or
// many lines, garbage, an early end, no end at all.
#include <gtest/gtest.h>

#include <deque>

#include "pithorama/mail/SmtpReply.h"

using namespace pithorama;

namespace {

// Hands out its pieces one per ReadAvailable; after the last piece it either
// ends (closed) or has nothing more and lets the time run out.
class PieceSource : public TReplySource {
 public:
  PieceSource(std::vector<std::string> pieces, bool closesAtEnd)
      : pieces_(pieces.begin(), pieces.end()), closesAtEnd_(closesAtEnd) {}
  bool ReadAvailable(std::string& into) override {
    if (!pieces_.empty()) {
      into += pieces_.front();
      pieces_.pop_front();
      return true;
    }
    return !closesAtEnd_;
  }
  bool WaitForMore() override { return !pieces_.empty(); }

 private:
  std::deque<std::string> pieces_;
  bool closesAtEnd_;
};

std::vector<std::string> EveryByte(const std::string& text) {
  std::vector<std::string> pieces;
  for (char c : text) pieces.emplace_back(1, c);
  return pieces;
}

struct ReplyCase {
  const char* name;
  std::vector<std::string> pieces;
  bool closesAtEnd;
  TReplyStatus status;
  int code;
  std::string text;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

const ReplyCase ReplyCases[] = {
    {"OneLine", {"250 OK\r\n"}, false, TReplyStatus::Complete, 250, "250 OK\r\n"},
    {"CodeAlone", {"250\r\n"}, false, TReplyStatus::Complete, 250, "250\r\n"},
    {"MultiLine",
     {"220-a\r\n220-b\r\n220 c\r\n"},
     false,
     TReplyStatus::Complete,
     220,
     "220-a\r\n220-b\r\n220 c\r\n"},
    {"MultiLineInPieces",
     {"250-a\r", "\n250", "-b\r\n2", "50 c\r\n"},
     false,
     TReplyStatus::Complete,
     250,
     "250-a\r\n250-b\r\n250 c\r\n"},
    {"SplitAtEveryByte", EveryByte("354-x\r\n354 go on\r\n"), false, TReplyStatus::Complete, 354,
     "354-x\r\n354 go on\r\n"},
    {"CodeOfLastLine",
     {"250-a\r\n550 no\r\n"},
     false,
     TReplyStatus::Complete,
     550,
     "250-a\r\n550 no\r\n"},
    {"GarbageLineEndsReplyWithoutCode",
     {"hello there\r\n"},
     false,
     TReplyStatus::Complete,
     -1,
     "hello there\r\n"},
    {"ShortLine", {"25\r\n"}, false, TReplyStatus::Complete, -1, "25\r\n"},
    {"BareLineFeedEndsALine", {"250 a\n"}, false, TReplyStatus::Complete, 250, "250 a\n"},
    {"BareLineFeedMultiLine",
     {"250-a\n250-b\r\n25", "0 c\n"},
     false,
     TReplyStatus::Complete,
     250,
     "250-a\n250-b\r\n250 c\n"},
    {"NoFinalLineEndThenClose", {"250 OK"}, true, TReplyStatus::Closed, -1, "250 OK"},
    {"ClosedAtOnce", {}, true, TReplyStatus::Closed, -1, ""},
    {"NothingComes", {}, false, TReplyStatus::TimedOut, -1, ""},
    {"ContinuationNeverEnds", {"250-a\r\n250-b\r\n"}, false, TReplyStatus::TimedOut, -1, ""},
    {"TooLong",
     {std::string(TReplyReader::MaxReplySize + 10, 'x')},
     false,
     TReplyStatus::TooLong,
     -1,
     ""},
    {"ManyContinuationsTooLong",
     {[] {
       std::string s;
       while (s.size() <= TReplyReader::MaxReplySize) s += "250-more\r\n";
       return s;
     }()},
     false,
     TReplyStatus::TooLong,
     -1,
     ""},
};

class ReplyReading : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyReading, ReadsOneWholeReply) {
  const ReplyCase& c = GetParam();
  PieceSource source(c.pieces, c.closesAtEnd);
  TReplyReader reader;
  TSmtpReply reply;
  EXPECT_EQ(reader.Read(source, reply), c.status);
  EXPECT_EQ(reply.Code, c.code);
  EXPECT_EQ(reply.Text, c.text);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplyReading, ::testing::ValuesIn(ReplyCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReplyReader, BytesPastAReplyBelongToTheNext) {
  PieceSource source({"220 hi\r\n250-a", "\r\n250 b\r\n354"}, true);
  TReplyReader reader;
  TSmtpReply reply;
  ASSERT_EQ(reader.Read(source, reply), TReplyStatus::Complete);
  EXPECT_EQ(reply.Text, "220 hi\r\n");
  ASSERT_EQ(reader.Read(source, reply), TReplyStatus::Complete);
  EXPECT_EQ(reply.Text, "250-a\r\n250 b\r\n");
  EXPECT_EQ(reader.Read(source, reply), TReplyStatus::Closed);
  EXPECT_EQ(reply.Text, "354");
}

}  // namespace
