// The records an application forms: stream chunks, padding, the end of a
// request, unknown-type and get-values answers, read back by the reader.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "pithorama/gateways/fastcgi/FcgiWriter.h"
#include "tests/gateways/fastcgi/FcgiBytes.h"

namespace {

using namespace pithorama;
using pithorama::test::ReadAll;
using pithorama::test::Record;
using pithorama::test::TReadRecord;
using pithorama::test::TStringSink;

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + i % 23);
  return data;
}

TEST(FcgiWriter, StreamChunks) {
  const struct {
    size_t size;
    std::vector<size_t> chunks;
  } cases[] = {
      {0, {}},
      {1, {1}},
      {7, {7}},
      {8, {8}},
      {9, {9}},
      {65535, {65535}},
      {65536, {65535, 1}},
      {2 * 65535 + 3, {65535, 65535, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string data = Pattern(c.size);
    TStringSink sink;
    TFcgiWriter(sink).WriteStream(kFcgiStdout, 0x0102, data);
    ASSERT_EQ(sink.Puts.size(), c.chunks.size());
    size_t at = 0;
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      SCOPED_TRACE(i);
      const auto& put = sink.Puts[i];
      // The content is the caller's bytes themselves, not a copy.
      EXPECT_EQ(put.Content.data(), data.data() + at);
      EXPECT_EQ(put.Content.size(), c.chunks[i]);
      EXPECT_EQ((put.Header.size() + put.Content.size() + put.Padding.size()) % 8, 0u);
      EXPECT_EQ(put.Padding, std::string(put.Padding.size(), '\0'));
      TFcgiHeader header = DecodeFcgiHeader(put.Header);
      EXPECT_EQ(header.Version, kFcgiVersion1);
      EXPECT_EQ(header.Type, kFcgiStdout);
      EXPECT_EQ(header.RequestId, 0x0102);
      EXPECT_EQ(header.ContentLength, c.chunks[i]);
      EXPECT_EQ(header.PaddingLength, put.Padding.size());
      at += c.chunks[i];
    }
    // Read back, the records give the data again.
    auto result = ReadAll(sink.Wire);
    EXPECT_EQ(result.Error, TFcgiError::None);
    std::string back;
    for (const auto& record : result.Records) back += record.Content;
    EXPECT_EQ(back, data);
  }
}

TEST(FcgiWriter, ExactBytes) {
  const struct {
    const char* title;
    void (*write)(TFcgiWriter&);
    std::string wire;
  } cases[] = {
      {"end of stdout", [](TFcgiWriter& w) { w.EndStream(kFcgiStdout, 1); },
       std::string("\1\6\0\1\0\0\0\0", 8)},
      {"stderr with padding", [](TFcgiWriter& w) { w.WriteStream(kFcgiStderr, 1, "err"); },
       std::string("\1\7\0\1\0\3\5\0err\0\0\0\0\0", 16)},
      {"end request",
       [](TFcgiWriter& w) { w.WriteEndRequest(0x0203, 0x01020304, kFcgiRequestComplete); },
       std::string("\1\3\2\3\0\x08\0\0\1\2\3\4\0\0\0\0", 16)},
      {"cannot multiplex", [](TFcgiWriter& w) { w.WriteEndRequest(2, 0, kFcgiCantMpxConn); },
       std::string("\1\3\0\2\0\x08\0\0\0\0\0\0\1\0\0\0", 16)},
      {"unknown role", [](TFcgiWriter& w) { w.WriteEndRequest(1, 0, kFcgiUnknownRole); },
       std::string("\1\3\0\1\0\x08\0\0\0\0\0\0\3\0\0\0", 16)},
      {"unknown type", [](TFcgiWriter& w) { w.WriteUnknownType(0x2a); },
       std::string("\1\x0b\0\0\0\x08\0\0\x2a\0\0\0\0\0\0\0", 16)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    TStringSink sink;
    TFcgiWriter writer(sink);
    c.write(writer);
    EXPECT_EQ(sink.Wire, c.wire);
  }
}

TEST(FcgiWriter, ContentTooLongForOneRecord) {
  TStringSink sink;
  EXPECT_THROW(TFcgiWriter(sink).WriteRecord(kFcgiStdout, 1, std::string(65536, 'x')),
               std::length_error);
  EXPECT_TRUE(sink.Wire.empty());
}

// A web server's get-values question, read, answered and read back.
TEST(FcgiWriter, GetValuesRoundTrip) {
  std::string question;
  for (auto name : {kFcgiMaxConns, kFcgiMaxReqs, kFcgiMpxsConns, std::string_view("X_OTHER")}) {
    AppendFcgiPair(question, name, "");
  }
  auto asked = ReadAll(Record(kFcgiGetValues, 0, question, FcgiPaddingFor(question.size())));
  ASSERT_EQ(asked.Records.size(), 1u);
  std::vector<TFcgiPair> names;
  ASSERT_TRUE(DecodeFcgiPairs(asked.Records[0].Content, names));
  ASSERT_EQ(names.size(), 4u);

  TStringSink sink;
  TFcgiWriter(sink).WriteGetValuesResult(names, {8, 8, false});
  auto answer = ReadAll(sink.Wire);
  ASSERT_EQ(answer.Error, TFcgiError::None);
  ASSERT_EQ(answer.Records.size(), 1u);
  EXPECT_EQ(answer.Records[0].Type, kFcgiGetValuesResult);
  EXPECT_EQ(answer.Records[0].RequestId, kFcgiNullRequestId);
  EXPECT_EQ(sink.Wire.size() % 8, 0u);
  std::vector<TFcgiPair> values;
  ASSERT_TRUE(DecodeFcgiPairs(answer.Records[0].Content, values));
  EXPECT_EQ(values,
            (std::vector<TFcgiPair>{
                {"FCGI_MAX_CONNS", "8"}, {"FCGI_MAX_REQS", "8"}, {"FCGI_MPXS_CONNS", "0"}}));
}

// The whole answer to one request, as the reader on the web server's side sees it.
TEST(FcgiWriter, RequestAnswerReadsBack) {
  TStringSink sink;
  TFcgiWriter writer(sink);
  writer.WriteStream(kFcgiStdout, 5, "Content-Type: text/plain\r\n\r\n");
  writer.WriteStream(kFcgiStdout, 5, "");
  writer.WriteStream(kFcgiStderr, 5, "warning");
  writer.WriteStream(kFcgiStdout, 5, "hello");
  writer.EndStream(kFcgiStderr, 5);
  writer.EndStream(kFcgiStdout, 5);
  writer.WriteEndRequest(5, 0, kFcgiRequestComplete);
  auto result = ReadAll(sink.Wire);
  ASSERT_EQ(result.Error, TFcgiError::None);
  const std::vector<TReadRecord> expected = {
      {kFcgiStdout, 5, "Content-Type: text/plain\r\n\r\n"},
      {kFcgiStderr, 5, "warning"},
      {kFcgiStdout, 5, "hello"},
      {kFcgiStderr, 5, ""},
      {kFcgiStdout, 5, ""},
      {kFcgiEndRequest, 5, std::string("\0\0\0\0\0\0\0\0", 8)},
  };
  EXPECT_EQ(result.Records, expected);
  EXPECT_TRUE(result.AtBoundary);
}

}  // namespace
