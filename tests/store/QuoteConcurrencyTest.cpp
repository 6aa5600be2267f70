// Several threads build the index and pick at once: no reader ever sees a part
// of an index, no temporary file stays behind, every pick is a whole quote.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "StoreFixture.h"

namespace pithorama::test {
namespace {

constexpr int quoteCount = 20000;  // an index of 80000 bytes, many write blocks

std::string ManyQuotes(std::vector<int32_t>& offsets) {
  std::string data;
  for (int i = 0; i < quoteCount; ++i) {
    offsets.push_back(static_cast<int32_t>(data.size()));
    data += "\x01quote " + std::to_string(i) + "\r\n";
  }
  return data;
}

TEST_F(StoreTest, ConcurrentBuildsNeverShowAPartialIndex) {
  std::vector<int32_t> offsets;
  WriteData(ManyQuotes(offsets));
  const std::string whole = IndexBytes(offsets);

  std::atomic<bool> stop{false};
  std::atomic<int> partialSeen{0};
  std::thread reader([&] {
    while (!stop) {
      TFile index;
      if (!index.Open(IndexPath(), FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting))
        continue;  // not there yet
      if (index.Size() != static_cast<int64_t>(whole.size())) ++partialSeen;
    }
  });
  std::vector<std::thread> builders;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t)
    builders.emplace_back([&] {
      for (int round = 0; round < 10; ++round)
        if (!BuildQuoteIndex()) ++failures;
    });
  for (auto& b : builders) b.join();
  stop = true;
  reader.join();

  EXPECT_EQ(failures, 0);
  EXPECT_EQ(partialSeen, 0);
  EXPECT_EQ(ReadWholeFile(IndexPath()), whole);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_.Dir()),
                          std::filesystem::directory_iterator()),
            2);
}

// Threads find the index missing together, build it together and pick.
TEST_F(StoreTest, ConcurrentPicksFromAMissingIndex) {
  std::vector<int32_t> offsets;
  WriteData(ManyQuotes(offsets));
  std::atomic<int> bad{0};
  std::vector<std::thread> pickers;
  for (int t = 0; t < 6; ++t)
    pickers.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        TStringList quote;
        GetRandomQuote(quote);
        if (quote.size() != 1 || quote[0].rfind("quote ", 0) != 0) ++bad;
      }
    });
  for (auto& p : pickers) p.join();
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(ReadWholeFile(IndexPath()), IndexBytes(offsets));
}

}  // namespace
}  // namespace pithorama::test
