// Name-value pairs: the two length forms, a params stream split anywhere,
// malformed and oversized streams, and the get-values answer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pithorama/gateways/fastcgi/FcgiParams.h"

namespace {

using namespace pithorama;

std::string Encode(const std::vector<TFcgiPair>& pairs) {
  std::string out;
  for (const auto& pair : pairs) AppendFcgiPair(out, pair.Name, pair.Value);
  return out;
}

TEST(FcgiParams, LengthForms) {
  const struct {
    size_t length;
    std::string prefix;
  } cases[] = {
      {0, std::string("\x00", 1)},
      {1, "\x01"},
      {127, "\x7f"},
      {128, std::string("\x80\x00\x00\x80", 4)},
      {255, std::string("\x80\x00\x00\xff", 4)},
      {65535, std::string("\x80\x00\xff\xff", 4)},
      {65536, std::string("\x80\x01\x00\x00", 4)},
      {1 << 20, std::string("\x80\x10\x00\x00", 4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    std::string name(c.length, 'n');
    std::string asName, asValue;
    AppendFcgiPair(asName, name, "v");
    EXPECT_EQ(asName, c.prefix + "\x01" + name + "v");
    AppendFcgiPair(asValue, "n", name);
    EXPECT_EQ(asValue, "\x01" + c.prefix + "n" + name);
    // The longest pair the decoder takes still reads back.
    std::vector<TFcgiPair> back;
    EXPECT_EQ(DecodeFcgiPairs(asName, back), c.length < (1 << 20));
    if (c.length < (1 << 20)) {
      EXPECT_EQ(back, (std::vector<TFcgiPair>{{name, "v"}}));
    }
  }
}

// The four-byte form may carry a short length too.
TEST(FcgiParams, LongFormForShortLength) {
  std::vector<TFcgiPair> pairs;
  EXPECT_TRUE(DecodeFcgiPairs(std::string("\x80\x00\x00\x01\x02"
                                          "AVV",
                                          8),
                              pairs));
  EXPECT_EQ(pairs, (std::vector<TFcgiPair>{{"A", "VV"}}));
}

const std::vector<std::vector<TFcgiPair>> kStreams = {
    {},
    {{"", ""}},
    {{"QUERY_STRING", ""}},
    {{"SCRIPT_NAME", "/echo"}, {"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "7"}},
    {{std::string(127, 'a'), std::string(128, 'b')},
     {std::string(128, 'c'), std::string(127, 'd')}},
    {{"HTTP_COOKIE", std::string(300, 'x')}, {"", "empty name"}, {"X", std::string("\0\r\n", 3)}},
};

// A params stream split into records at any byte, or a byte per record,
// decodes to the pairs that were encoded.
TEST(FcgiParams, StreamSplitAtEveryByte) {
  for (size_t row = 0; row < kStreams.size(); ++row) {
    SCOPED_TRACE(row);
    const std::string wire = Encode(kStreams[row]);
    for (size_t cut = 0; cut <= wire.size(); ++cut) {
      SCOPED_TRACE(cut);
      TFcgiParamsDecoder decoder;
      EXPECT_TRUE(decoder.Feed(std::string_view(wire).substr(0, cut)));
      EXPECT_TRUE(decoder.Feed(std::string_view(wire).substr(cut)));
      EXPECT_TRUE(decoder.Finish());
      EXPECT_EQ(decoder.Pairs(), kStreams[row]);
    }
    TFcgiParamsDecoder byByte;
    for (char c : wire) EXPECT_TRUE(byByte.Feed(std::string_view(&c, 1)));
    EXPECT_TRUE(byByte.Finish());
    EXPECT_EQ(byByte.Pairs(), kStreams[row]);
  }
}

std::string Length4(uint32_t length) {
  return std::string{static_cast<char>(0x80 | (length >> 24)), static_cast<char>(length >> 16),
                     static_cast<char>(length >> 8), static_cast<char>(length)};
}

TEST(FcgiParams, Malformed) {
  const std::string almostFull(kFcgiMaxParamsBytes - 10, 'v');
  std::string manyEmpty;
  for (size_t i = 0; i <= kFcgiMaxParamsCount; ++i) manyEmpty.append("\0\0", 2);
  const struct {
    const char* title;
    std::string wire;
    bool feedOk;
    TFcgiError error;
  } cases[] = {
      {"name length only", "\x05", true, TFcgiError::TruncatedPair},
      {"four-byte length cut", std::string("\x80\x00", 2), true, TFcgiError::TruncatedPair},
      {"value length cut", "\x01\x81", true, TFcgiError::TruncatedPair},
      {"name cut", "\x05\x01NAM", true, TFcgiError::TruncatedPair},
      {"value cut", "\x01\x05NVAL", true, TFcgiError::TruncatedPair},
      {"good pair then a cut one", "\x01\x01NV\x01\x01N", true, TFcgiError::TruncatedPair},
      {"largest length", Length4(0x7fffffff) + "\x01", false, TFcgiError::PairTooLong},
      {"name one past the limit", Length4(kFcgiMaxParamsBytes + 1) + "\x01", false,
       TFcgiError::PairTooLong},
      {"value one past the limit", "\x01" + Length4(kFcgiMaxParamsBytes + 1), false,
       TFcgiError::PairTooLong},
      {"pairs past the limit together",
       "\x01" + Length4(almostFull.size()) + "N" + almostFull + "\x05\x05", false,
       TFcgiError::ParamsTooLarge},
      {"too many pairs", manyEmpty, false, TFcgiError::ParamsTooLarge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    TFcgiParamsDecoder decoder;
    EXPECT_EQ(decoder.Feed(c.wire), c.feedOk);
    EXPECT_FALSE(decoder.Finish());
    EXPECT_EQ(decoder.Error(), c.error);
    // Nothing more is taken after a fault.
    EXPECT_FALSE(decoder.Feed(std::string("\x01\x01NV", 4)));
  }
}

// The oversized length is refused as soon as it is read, before its bytes.
TEST(FcgiParams, OversizedLengthRefusedAtOnce) {
  TFcgiParamsDecoder decoder;
  EXPECT_TRUE(decoder.Feed(std::string("\x01\x01NV\x8f", 5)));
  EXPECT_FALSE(decoder.Feed(std::string("\xff\xff\xff", 3)));
  EXPECT_EQ(decoder.Error(), TFcgiError::PairTooLong);
  EXPECT_EQ(decoder.Pairs(), (std::vector<TFcgiPair>{{"N", "V"}}));
}

TEST(FcgiParams, GetValuesAnswer) {
  const TFcgiCapacity capacity{16, 32, false};
  const struct {
    const char* title;
    std::vector<TFcgiPair> asked;
    std::vector<TFcgiPair> answer;
  } cases[] = {
      {"nothing asked", {}, {}},
      {"all three",
       {{"FCGI_MAX_CONNS", ""}, {"FCGI_MAX_REQS", ""}, {"FCGI_MPXS_CONNS", ""}},
       {{"FCGI_MAX_CONNS", "16"}, {"FCGI_MAX_REQS", "32"}, {"FCGI_MPXS_CONNS", "0"}}},
      {"in the order asked",
       {{"FCGI_MPXS_CONNS", ""}, {"FCGI_MAX_CONNS", ""}},
       {{"FCGI_MPXS_CONNS", "0"}, {"FCGI_MAX_CONNS", "16"}}},
      {"unknown names left out",
       {{"FCGI_MAX_REQS", ""}, {"FCGI_OTHER", ""}, {"fcgi_max_conns", ""}},
       {{"FCGI_MAX_REQS", "32"}}},
      {"a name asked twice answered once",
       {{"FCGI_MAX_REQS", ""}, {"FCGI_MAX_REQS", "9"}},
       {{"FCGI_MAX_REQS", "32"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    std::vector<TFcgiPair> back;
    EXPECT_TRUE(DecodeFcgiPairs(FcgiGetValuesContent(c.asked, capacity), back));
    EXPECT_EQ(back, c.answer);
  }
  std::vector<TFcgiPair> multiplexed;
  EXPECT_TRUE(
      DecodeFcgiPairs(FcgiGetValuesContent({{"FCGI_MPXS_CONNS", ""}}, {1, 1, true}), multiplexed));
  EXPECT_EQ(multiplexed, (std::vector<TFcgiPair>{{"FCGI_MPXS_CONNS", "1"}}));
}

}  // namespace
