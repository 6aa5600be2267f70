// The queue routines on a real queue file, in the work folder beside this
// test program (every test of this program shares it, so they run one by one).
#include <gtest/gtest.h>

#include <memory>

#include "pithorama/gateways/resident/CgiQueue.h"
#include "pithorama/gateways/resident/QueueEntry.h"
#include "pithorama/platform/Paths.h"
#include "tests/support/Process.h"

namespace pithorama {
namespace {

class QueueFile : public ::testing::Test {
 protected:
  QueueFile() : queue_(Flavour()) {
    for (const std::string& file : ListFiles(Folder(), Name())) DeleteFile(file);
  }
  ~QueueFile() override {
    for (const std::string& file : ListFiles(Folder(), Name())) DeleteFile(file);
  }

  static TServerFlavour Flavour() {
    TServerFlavour flavour;
    flavour.TakesReqEntries = true;
    flavour.DeletesRequestFileAfterServing = true;
    flavour.CleansWorkFiles = true;
    return flavour;
  }
  static std::string Prefix() { return TServerQueue::GetServerFilePrefix(); }
  static std::string Folder() {
    std::string folder = ExtractFilePath(Prefix());
    folder.pop_back();
    return folder;
  }
  static std::string Name() { return ExtractFileName(Prefix()); }
  static std::string Request(const std::string& id) { return Prefix() + "_C_" + id + "_REQ"; }
  // A Windows CGI profile: an absolute name in the host's own style.
  static std::string Profile() { return ExtractFilePath(Prefix()) + "PROFILE.INI"; }
  // A client that is alive: it holds its lock file, as a waiting client does.
  void LiveClient(const std::string& id) {
    auto lock = std::make_unique<TFile>();
    ASSERT_TRUE(lock->Open(Prefix() + "_C_" + id + "_LCK", FileAccess::ReadWrite,
                           FileShare::Exclusive, FileCreate::OpenPrivate));
    locks_.push_back(std::move(lock));
  }
  static void Age(const std::string& path) { SetFileDate(path, Now() - 1.0 / 24); }

  void WriteQueue(const std::vector<TQueueEntry>& entries) {
    std::string bytes;
    for (const TQueueEntry& entry : entries) {
      TEntryBytes encoded = EncodeEntry(entry);
      bytes.append(encoded.data(), encoded.size());
    }
    pithorama::test::WriteWholeFile(TServerQueue::QueueFileName(), bytes);
  }
  std::vector<std::string> QueuedNames() {
    std::vector<std::string> names;
    for (const TQueueEntry& entry :
         DecodeEntries(pithorama::test::ReadWholeFile(TServerQueue::QueueFileName())))
      names.push_back(entry.EntryFile + ":" + std::to_string(entry.EntryState));
    return names;
  }

  TServerQueue queue_;
  std::vector<std::unique_ptr<TFile>> locks_;
};

TEST_F(QueueFile, FinishRemovesOnlyTheFinishedEntryHoweverLongTheQueue) {
  std::vector<TQueueEntry> entries = {{EntryTaken, 0, Request("A")}};
  std::vector<std::string> expected;
  for (int i = 0; i < 80; ++i) {
    entries.push_back({EntryWaiting, 0, Request(std::to_string(i))});
    expected.push_back(Request(std::to_string(i)) + ":0");
  }
  WriteQueue(entries);
  pithorama::test::WriteWholeFile(Request("A"), "A=1\r\n\r\n");
  queue_.FinishQueuedRequest(Request("A"));
  EXPECT_EQ(QueuedNames(), expected);
  EXPECT_FALSE(FileExists(Request("A")));
}

TEST_F(QueueFile, FinishLeavesAQueueItCannotLockUntouched) {
  WriteQueue({{EntryTaken, 0, Request("A")}, {EntryWaiting, 0, Request("B")}});
  TFile held;
  ASSERT_TRUE(held.Open(TServerQueue::QueueFileName(), FileAccess::Read, FileShare::Exclusive,
                        FileCreate::OpenExisting));
  EXPECT_FALSE(queue_.FinishQueuedRequest(Request("A")));  // the server tries again later
  held.Close();
  EXPECT_EQ(QueuedNames(), (std::vector<std::string>{Request("A") + ":1", Request("B") + ":0"}));
  EXPECT_TRUE(queue_.FinishQueuedRequest(Request("A")));
  EXPECT_EQ(QueuedNames(), (std::vector<std::string>{Request("B") + ":0"}));
}

TEST_F(QueueFile, CreateQueueKeepsWaitingEntriesAndTheFilesOfLiveClients) {
  WriteQueue({{EntryWaiting, 0, Request("B")}, {EntryTaken, 0, Request("X")}});
  LiveClient("B");
  pithorama::test::WriteWholeFile(Request("B"), "B=1\r\n\r\n");
  // A client still writing its request, not queued yet, keeps its file too.
  LiveClient("SLOW");
  pithorama::test::WriteWholeFile(Request("SLOW"), "B=1\r\n\r\n");
  pithorama::test::WriteWholeFile(Prefix() + "_C_OLD_OUT", "left over");
  for (const char* id : {"B", "SLOW"}) Age(Request(id));
  Age(Prefix() + "_C_OLD_OUT");
  TServerData data;
  ASSERT_TRUE(queue_.CreateQueue(data));
  EXPECT_TRUE(data.QueueOwner);
  EXPECT_EQ(QueuedNames(), std::vector<std::string>{Request("B") + ":0"});
  EXPECT_TRUE(FileExists(Request("B")));
  EXPECT_TRUE(FileExists(Request("SLOW")));
  EXPECT_FALSE(FileExists(Prefix() + "_C_OLD_OUT"));
}

TEST_F(QueueFile, TakeDropsEntriesOfGoneClientsAndGarbage) {
  LiveClient("LIVE");
  for (const char* id : {"LIVE", "GONE"}) pithorama::test::WriteWholeFile(Request(id), "x");
  TQueueEntry garbage;
  garbage.EntryState = 7;
  garbage.EntryFile = "\x01\x02";
  WriteQueue({{EntryWaiting, 0, Request("GONE")},
              {EntryWaiting, 0, "/elsewhere/prog_C_1_REQ"},
              {EntryWaiting, 0, Request("../x")},
              {EntryWaiting, 0, ""},
              garbage,
              {EntryWaiting, 0, Request("LIVE")}});
  TQueueEntry entry;
  ASSERT_TRUE(queue_.TakeNextRequest(entry));
  EXPECT_EQ(entry.EntryFile, Request("LIVE"));
  EXPECT_EQ(QueuedNames(), std::vector<std::string>{Request("LIVE") + ":1"});
  EXPECT_FALSE(FileExists(Request("GONE")));
  EXPECT_TRUE(FileExists(Request("LIVE")));
}

TEST_F(QueueFile, QueueOfRandomBytesIsMadeEmptyAndPollingGoesOn) {
  std::string noise;
  for (int i = 0; i < 1000; ++i) noise.push_back(static_cast<char>((i * 7919) % 251));
  pithorama::test::WriteWholeFile(TServerQueue::QueueFileName(), noise);
  TQueueEntry entry;
  EXPECT_FALSE(queue_.TakeNextRequest(entry));
  EXPECT_EQ(pithorama::test::ReadWholeFile(TServerQueue::QueueFileName()), "");
  LiveClient("NEXT");
  pithorama::test::WriteWholeFile(Request("NEXT"), "x");
  WriteQueue({{EntryWaiting, 0, Request("NEXT")}});
  EXPECT_TRUE(queue_.TakeNextRequest(entry));
}

TEST_F(QueueFile, TakeMarksTheFirstWaitingEntryOfThisGateway) {
  const struct {
    const char* name;
    std::vector<TQueueEntry> queue;
    bool taken;
    std::string entry;
    std::vector<std::string> after;
  } cases[] = {
      {"first waiting",
       {{EntryTaken, 0, Request("A")}, {EntryWaiting, 0, Request("B")}},
       true,
       Request("B"),
       {Request("A") + ":1", Request("B") + ":1"}},
      // The other gateway's entry is left to its server; this one polls on.
      {"profile of the other gateway stays waiting",
       {{EntryWaiting, 0, Profile()}, {EntryWaiting, 0, Request("B")}},
       true,
       Request("B"),
       {Profile() + ":0", Request("B") + ":1"}},
      {"nothing waits", {{EntryTaken, 0, Request("A")}}, false, "", {Request("A") + ":1"}},
  };
  LiveClient("A");
  LiveClient("B");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteQueue(c.queue);
    TQueueEntry entry;
    EXPECT_EQ(queue_.TakeNextRequest(entry), c.taken);
    if (c.taken) {
      EXPECT_EQ(entry.EntryFile, c.entry);
    }
    EXPECT_EQ(QueuedNames(), c.after);
  }
}

TEST_F(QueueFile, RequestStateAsTheClientSeesIt) {
  TServerData data;
  data.QueuedName = Request("B");
  EXPECT_EQ(queue_.GetRequestState(data), QueueMissing);
  WriteQueue({{EntryWaiting, 0, Request("A")}, {EntryTaken, 0, Request("B")}});
  EXPECT_EQ(queue_.GetRequestState(data), EntryTaken);
  WriteQueue({{EntryWaiting, 0, Request("A")}});
  EXPECT_EQ(queue_.GetRequestState(data), EntryFinished);
}

}  // namespace
}  // namespace pithorama
