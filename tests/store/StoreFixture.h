// A test folder that QuoteDir and LogDir point at for the length of one test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "pithorama/platform/Files.h"
#include "pithorama/store/QuoteDb.h"
#include "pithorama/store/logfile.h"
#include "tests/support/Process.h"

namespace pithorama::test {

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedQuoteDir_ = QuoteDir.Get();
    QuoteDir = folder_.Dir();
    LogDir = folder_.Dir();
  }
  void TearDown() override {
    QuoteDir = savedQuoteDir_;
    LogDir = "";
  }

  std::string DataPath() const { return folder_.File(QuoteDataName); }
  std::string IndexPath() const { return folder_.File(QuoteIndexName); }
  void WriteData(const std::string& bytes) const { WriteWholeFile(DataPath(), bytes); }
  void WriteIndex(const std::vector<int32_t>& offsets, const std::string& tail = "") const {
    WriteWholeFile(IndexPath(), IndexBytes(offsets) + tail);
  }

  static std::string IndexBytes(const std::vector<int32_t>& offsets) {
    std::string bytes;
    for (int32_t offset : offsets) {
      auto v = static_cast<uint32_t>(offset);
      for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>(v >> shift));
    }
    return bytes;
  }

  TempFolder folder_;

 private:
  std::string savedQuoteDir_;
};

}  // namespace pithorama::test
