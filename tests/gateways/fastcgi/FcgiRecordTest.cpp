// The record header, the fixed bodies and the incremental record reader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pithorama/gateways/fastcgi/FcgiRecord.h"
#include "tests/gateways/fastcgi/FcgiBytes.h"

namespace {

using namespace pithorama;
using pithorama::test::Bytes;
using pithorama::test::ReadAll;
using pithorama::test::ReadPieces;
using pithorama::test::Record;
using pithorama::test::TReadRecord;

TEST(FcgiRecord, HeaderRoundTrip) {
  const struct {
    const char* title;
    TFcgiHeader header;
    std::string wire;
  } cases[] = {
      {"begin request", {1, kFcgiBeginRequest, 1, 8, 0, 0}, std::string("\1\1\0\1\0\x08\0\0", 8)},
      {"big-endian fields",
       {1, kFcgiStdin, 0x1234, 0xabcd, 3, 0},
       std::string("\1\5\x12\x34\xab\xcd\3\0", 8)},
      {"largest values", {0xff, 0xff, 0xffff, 0xffff, 0xff, 0xff}, std::string(8, '\xff')},
      {"all zero", {0, 0, 0, 0, 0, 0}, std::string(8, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    auto wire = EncodeFcgiHeader(c.header);
    EXPECT_EQ(std::string(wire.data(), wire.size()), c.wire);
    TFcgiHeader back = DecodeFcgiHeader(c.wire);
    EXPECT_EQ(back.Version, c.header.Version);
    EXPECT_EQ(back.Type, c.header.Type);
    EXPECT_EQ(back.RequestId, c.header.RequestId);
    EXPECT_EQ(back.ContentLength, c.header.ContentLength);
    EXPECT_EQ(back.PaddingLength, c.header.PaddingLength);
    EXPECT_EQ(back.Reserved, c.header.Reserved);
  }
}

TEST(FcgiRecord, BodiesRoundTrip) {
  const TFcgiBeginRequest begins[] = {
      {kFcgiResponder, 0}, {kFcgiAuthorizer, kFcgiKeepConn}, {kFcgiFilter, 0xff}, {0xfffe, 1}};
  for (const auto& begin : begins) {
    SCOPED_TRACE(begin.Role);
    auto back = DecodeBeginRequest(Bytes(EncodeBeginRequest(begin)));
    EXPECT_EQ(back.Role, begin.Role);
    EXPECT_EQ(back.Flags, begin.Flags);
    EXPECT_EQ(back.KeepConn(), (begin.Flags & 1) != 0);
  }
  EXPECT_EQ(Bytes(EncodeBeginRequest({kFcgiResponder, kFcgiKeepConn})),
            std::string("\0\1\1\0\0\0\0\0", 8));

  const TFcgiEndRequest ends[] = {{0, kFcgiRequestComplete},
                                  {0x01020304, kFcgiCantMpxConn},
                                  {0xffffffff, kFcgiOverloaded},
                                  {7, kFcgiUnknownRole}};
  for (const auto& end : ends) {
    SCOPED_TRACE(end.AppStatus);
    auto back = DecodeEndRequest(Bytes(EncodeEndRequest(end)));
    EXPECT_EQ(back.AppStatus, end.AppStatus);
    EXPECT_EQ(back.ProtocolStatus, end.ProtocolStatus);
  }
  EXPECT_EQ(Bytes(EncodeEndRequest({0x01020304, kFcgiUnknownRole})),
            std::string("\1\2\3\4\3\0\0\0", 8));

  for (int type : {0, int{kFcgiParams}, 200, 255}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(DecodeUnknownType(Bytes(EncodeUnknownType(static_cast<uint8_t>(type)))), type);
  }
}

// Every record a web server or an application can send reads back as sent;
// types the protocol does not define pass for the application to answer.
TEST(FcgiRecord, EveryType) {
  const std::string eight = Bytes(EncodeBeginRequest({kFcgiResponder, 0}));
  const struct {
    const char* title;
    uint8_t type;
    uint16_t id;
    std::string content;
  } cases[] = {
      {"begin request", kFcgiBeginRequest, 1, eight},
      {"abort request", kFcgiAbortRequest, 1, ""},
      {"end request", kFcgiEndRequest, 2, eight},
      {"params", kFcgiParams, 3, "\x04\x01NAMEv"},
      {"stdin", kFcgiStdin, 0xffff, "body"},
      {"stdout", kFcgiStdout, 1, "Status: 200\r\n\r\n"},
      {"stderr", kFcgiStderr, 1, "oops"},
      {"data", kFcgiData, 1, "filter data"},
      {"get values", kFcgiGetValues, 0,
       std::string("\x0e\x00"
                   "FCGI_MAX_CONNS",
                   16)},
      {"get values result", kFcgiGetValuesResult, 0,
       "\x0e\x01"
       "FCGI_MAX_CONNS1"},
      {"unknown type", kFcgiUnknownType, 0, Bytes(EncodeUnknownType(42))},
      {"undefined type on a request", 12, 1, "x"},
      {"undefined type as management", 255, 0, "whatever"},
      {"request type as management record", kFcgiBeginRequest, 0, eight},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    auto result = ReadAll(Record(c.type, c.id, c.content, FcgiPaddingFor(c.content.size())));
    EXPECT_EQ(result.Error, TFcgiError::None);
    ASSERT_EQ(result.Records.size(), 1u);
    EXPECT_EQ(result.Records[0], (TReadRecord{c.type, c.id, c.content}));
    EXPECT_TRUE(result.AtBoundary);
  }
}

// A conversation of several records, with and without padding.
std::string Conversation() {
  std::string params;
  params += "\x0b\x02SERVER_PORT80";
  params += std::string("\x80\x00\x00\x80\x01", 5) + std::string(128, 'N') + "v";
  return Record(kFcgiGetValues, 0,
                std::string("\x0d\x00"
                            "FCGI_MAX_REQS",
                            15),
                1) +
         Record(kFcgiBeginRequest, 1, Bytes(EncodeBeginRequest({kFcgiResponder, 1}))) +
         Record(kFcgiParams, 1, params, 7) + Record(kFcgiParams, 1, "") +
         Record(kFcgiStdin, 1, "a=1&b=2", 255) + Record(kFcgiStdin, 1, "", 3) +
         Record(kFcgiAbortRequest, 1, "");
}

TEST(FcgiRecord, SplitAtEveryByteReadsTheSame) {
  const std::string wire = Conversation();
  auto whole = ReadAll(wire);
  ASSERT_EQ(whole.Error, TFcgiError::None);
  ASSERT_EQ(whole.Records.size(), 7u);
  EXPECT_EQ(whole.Records[4], (TReadRecord{kFcgiStdin, 1, "a=1&b=2"}));
  std::string_view all = wire;
  for (size_t cut = 0; cut <= wire.size(); ++cut) {
    SCOPED_TRACE(cut);
    auto split = ReadPieces({all.substr(0, cut), all.substr(cut)});
    EXPECT_EQ(split.Error, TFcgiError::None);
    EXPECT_EQ(split.Records, whole.Records);
    EXPECT_TRUE(split.AtBoundary);
  }
  std::vector<std::string_view> bytes;
  for (size_t i = 0; i < wire.size(); ++i) bytes.push_back(all.substr(i, 1));
  auto byByte = ReadPieces(bytes);
  EXPECT_EQ(byByte.Records, whole.Records);
  EXPECT_TRUE(byByte.AtBoundary);
}

// A record is handed out once its content is complete; the reader is between
// records only when its padding is read too.
TEST(FcgiRecord, PaddingAndBoundary) {
  const struct {
    const char* title;
    std::string wire;
    size_t records;
    bool atBoundary;
  } cases[] = {
      {"nothing", "", 0, true},
      {"half a header", Record(kFcgiStdin, 1, "abc").substr(0, 4), 0, false},
      {"header only", Record(kFcgiStdin, 1, "abc").substr(0, 8), 0, false},
      {"content without its padding", Record(kFcgiStdin, 1, "abc", 5).substr(0, 11), 1, false},
      {"padding incomplete", Record(kFcgiStdin, 1, "abc", 5).substr(0, 15), 1, false},
      {"complete with padding", Record(kFcgiStdin, 1, "abc", 5), 1, true},
      {"largest padding", Record(kFcgiStdin, 1, "abc", 255), 1, true},
      {"padding without content", Record(kFcgiStdin, 1, "", 255), 1, true},
      {"largest content", Record(kFcgiStdout, 1, std::string(65535, 'x'), 1), 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    auto result = ReadAll(c.wire);
    EXPECT_EQ(result.Error, TFcgiError::None);
    EXPECT_EQ(result.Records.size(), c.records);
    EXPECT_EQ(result.AtBoundary, c.atBoundary);
  }
}

TEST(FcgiRecord, Malformed) {
  const std::string eight(8, '\0');
  const struct {
    const char* title;
    std::string wire;
    TFcgiError error;
  } cases[] = {
      {"version 0", Record(kFcgiStdin, 1, "", 0, 0), TFcgiError::BadVersion},
      {"version 2", Record(kFcgiStdin, 1, "", 0, 2), TFcgiError::BadVersion},
      {"text instead of records", "GET / HTTP/1.1\r\n\r\n", TFcgiError::BadVersion},
      {"get values on a request", Record(kFcgiGetValues, 1, ""), TFcgiError::ManagementRequestId},
      {"get values result on a request", Record(kFcgiGetValuesResult, 9, ""),
       TFcgiError::ManagementRequestId},
      {"unknown type on a request", Record(kFcgiUnknownType, 1, eight),
       TFcgiError::ManagementRequestId},
      {"begin request body of 7", Record(kFcgiBeginRequest, 1, eight.substr(1)),
       TFcgiError::BadBodyLength},
      {"begin request body of 9", Record(kFcgiBeginRequest, 1, eight + "x"),
       TFcgiError::BadBodyLength},
      {"begin request without body", Record(kFcgiBeginRequest, 1, ""), TFcgiError::BadBodyLength},
      {"end request body of 0", Record(kFcgiEndRequest, 1, ""), TFcgiError::BadBodyLength},
      {"unknown type body of 1", Record(kFcgiUnknownType, 0, "x"), TFcgiError::BadBodyLength},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    // A good record first is still handed out; after the fault nothing is,
    // however good the bytes that follow.
    std::string good = Record(kFcgiStdin, 1, "ok");
    auto result = ReadAll(good + c.wire + good);
    EXPECT_EQ(result.Error, c.error);
    ASSERT_EQ(result.Records.size(), 1u);
    EXPECT_EQ(result.Records[0].Content, "ok");
    EXPECT_NE(std::string(FcgiErrorText(c.error)), "");
  }
}

TEST(FcgiRecord, FailureIsFinal) {
  TFcgiRecordReader reader;
  std::string bad = Record(kFcgiStdin, 1, "", 0, 9);
  std::string_view rest = bad;
  EXPECT_EQ(reader.Read(rest), TFcgiReadStatus::Failed);
  std::string good = Record(kFcgiStdin, 1, "ok");
  rest = good;
  EXPECT_EQ(reader.Read(rest), TFcgiReadStatus::Failed);
  EXPECT_EQ(reader.Error(), TFcgiError::BadVersion);
}

// Content that arrives whole is handed out in place; content in pieces is
// gathered by the reader.
TEST(FcgiRecord, ContentInPlaceOrGathered) {
  std::string wire = Record(kFcgiStdin, 1, "payload", 1);
  TFcgiRecordReader reader;
  std::string_view rest = wire;
  ASSERT_EQ(reader.Read(rest), TFcgiReadStatus::Record);
  EXPECT_EQ(reader.Content().data(), wire.data() + kFcgiHeaderLength);
  EXPECT_EQ(rest.size(), 1u);  // the padding is left for the next call

  std::string_view first = std::string_view(wire).substr(0, 10);
  std::string_view second = std::string_view(wire).substr(10);
  TFcgiRecordReader pieces;
  EXPECT_EQ(pieces.Read(first), TFcgiReadStatus::NeedMore);
  ASSERT_EQ(pieces.Read(second), TFcgiReadStatus::Record);
  EXPECT_EQ(pieces.Content(), "payload");
  EXPECT_FALSE(pieces.Content().data() >= wire.data() &&
               pieces.Content().data() < wire.data() + wire.size());
}

}  // namespace
