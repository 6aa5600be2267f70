// The stand-in server library's own rules: parameter blocks, their text
// form, and the input buffer's end and failure.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/gateways/nsapi/NsapiFixture.h"

using namespace pithorama::test;

namespace {

TEST(NsapiServer, ParameterBlockFindRemoveReplace) {
  pblock* pb = pblock_create(3);
  pblock_nvinsert("name", "old", pb);
  pblock_nvinsert("other", "kept", pb);
  EXPECT_STREQ(pblock_findval("name", pb), "old");
  EXPECT_EQ(pblock_findval("NAME", pb), nullptr);  // names are exact
  pb_param* removed = _pblock_fr("name", pb, 1);
  ASSERT_NE(removed, nullptr);
  EXPECT_STREQ(removed->value, "old");
  EXPECT_EQ(param_free(removed), 1);
  EXPECT_EQ(pblock_findval("name", pb), nullptr);
  pblock_nninsert("name", 42, pb);
  EXPECT_STREQ(pblock_findval("name", pb), "42");
  EXPECT_STREQ(pblock_findval("other", pb), "kept");
  pblock_free(pb);
}

TEST(NsapiServer, TextFormRoundTrip) {
  struct Case {
    const char* title;
    const char* text;
    int count;
    const char* name;
    const char* value;
  } cases[] = {
      {"quoted", "fn=\"NsapiService\" path=\"/a b\"", 2, "path", "/a b"},
      {"escaped quote", "v=\"say \\\"hi\\\"\"", 1, "v", "say \"hi\""},
      {"bare value", "a=1  b=2", 2, "b", "2"},
      {"piece without equals", "a=1 junk", -1, "a", "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    pblock* pb = pblock_create(5);
    EXPECT_EQ(pblock_str2pblock(c.text, pb), c.count);
    EXPECT_STREQ(pblock_findval(c.name, pb), c.value);
    if (c.count > 0) {
      char* text = pblock_pblock2str(pb, nullptr);
      pblock* again = pblock_create(2);
      EXPECT_EQ(pblock_str2pblock(text, again), c.count) << text;
      EXPECT_STREQ(pblock_findval(c.name, again), c.value) << text;
      std::free(text);
      pblock_free(again);
    }
    pblock_free(pb);
  }
}

TEST(NsapiServer, InputBufferEndAndFailure) {
  MemoryConnection connection;
  connection.body = std::string("\0z", 2);
  connection.failAt = 2;
  NsapiCall call(connection.Connection(), 4);
  // A zero data byte leaves the buffer filled, unlike the end of the input.
  EXPECT_EQ(netbuf_next(&call.input, 0), 0);
  EXPECT_EQ(call.input.cursize - call.input.pos, 2);
  call.input.pos = call.input.cursize;
  EXPECT_EQ(netbuf_next(&call.input, 1), IO_ERROR);
  connection.failAt = SIZE_MAX;
  EXPECT_EQ(netbuf_next(&call.input, 1), IO_EOF);
}

}  // namespace
