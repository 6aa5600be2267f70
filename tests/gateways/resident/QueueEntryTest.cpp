#include <gtest/gtest.h>

#include <cstring>

#include "pithorama/gateways/resident/QueueEntry.h"

namespace pithorama {
namespace {

std::string Bytes(const TEntryBytes& bytes) { return std::string(bytes.data(), bytes.size()); }

TEST(QueueEntry, Layout) {
  const struct {
    const char* name;
    TQueueEntry entry;
  } cases[] = {
      {"waiting", {EntryWaiting, 46000.5, "/srv/cgi/Temp/echo_C_1A2_REQ"}},
      {"taken", {EntryTaken, 0, "X"}},
      {"empty name", {EntryWaiting, -1.25, ""}},
      {"longest name", {EntryWaiting, 1, std::string(255, 'n')}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = Bytes(EncodeEntry(c.entry));
    ASSERT_EQ(bytes.size(), 268u);
    EXPECT_EQ(static_cast<uint8_t>(bytes[0]), c.entry.EntryState);
    EXPECT_EQ(bytes.substr(1, 3), std::string(3, '\0'));
    double time;
    std::memcpy(&time, bytes.data() + 4, 8);
    EXPECT_EQ(time, c.entry.EntryTime);
    EXPECT_EQ(bytes.substr(12, c.entry.EntryFile.size()), c.entry.EntryFile);
    EXPECT_EQ(bytes.substr(12 + c.entry.EntryFile.size()),
              std::string(256 - c.entry.EntryFile.size(), '\0'));

    const TQueueEntry back = DecodeEntry(bytes.data());
    EXPECT_EQ(back.EntryState, c.entry.EntryState);
    EXPECT_EQ(back.EntryTime, c.entry.EntryTime);
    EXPECT_EQ(back.EntryFile, c.entry.EntryFile);
  }
}

TEST(QueueEntry, NameFitsWithItsTerminatingZero) {
  EXPECT_TRUE(FitsEntryFile(std::string(255, 'a')));
  EXPECT_FALSE(FitsEntryFile(std::string(256, 'a')));
}

TEST(QueueEntry, NameWithoutTerminatorReadsAllOfTheField) {
  std::string bytes(268, 'z');
  bytes[0] = 0;
  EXPECT_EQ(DecodeEntry(bytes.data()).EntryFile, std::string(256, 'z'));
}

TEST(QueueEntry, FileOfEntriesIgnoresACutOffTail) {
  const std::string first = Bytes(EncodeEntry({EntryWaiting, 1, "A_REQ"}));
  const std::string second = Bytes(EncodeEntry({EntryTaken, 2, "B_REQ"}));
  const auto entries = DecodeEntries(first + second + second.substr(0, 100));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].EntryFile, "A_REQ");
  EXPECT_EQ(entries[1].EntryFile, "B_REQ");
  EXPECT_EQ(entries[1].EntryState, EntryTaken);
}

TEST(QueueEntry, EndsWithReq) {
  const struct {
    const char* name;
    bool ends;
  } cases[] = {
      {"/w/Temp/echo_C_1A_REQ", true},
      {"/w/Temp/echo_C_1A_REQX", false},
      {"/w/MY_REQS/echo_C_1_REQ", false},
      {"C:\\PROFILE.INI", false},
      {"_REQ", true},
      {"x_req", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EndsWithReq(c.name), c.ends);
  }
}

}  // namespace
}  // namespace pithorama
