// Building QUOTENDX.DTA.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "store/QuoteDb.h"
#include "store/QuoteDecoder.h"

namespace pithorama {

namespace {

// The data file is scanned in blocks of 2047 bytes (a 2048-byte buffer less one).
constexpr size_t BlockSize = 2047;

// A file being written under a temporary name: deleted when the object goes,
// unless it was renamed into place.
class TPendingFile {
 public:
  bool Create(const std::string& finalPath) {
    finalPath_ = finalPath;
    return file_.CreateUnique(finalPath + ".", tempPath_);
  }
  ~TPendingFile() {
    if (tempPath_.empty()) return;
    file_.Close();
    DeleteFile(tempPath_);
  }
  TFile& File() { return file_; }
  // Closes the file and renames it to its final name.
  bool Commit() {
    if (!file_.Close()) return false;
    if (!RenameFile(tempPath_, finalPath_)) return false;
    tempPath_.clear();
    return true;
  }

 private:
  TFile file_;
  std::string finalPath_;
  std::string tempPath_;
};

void AppendRecord(std::vector<char>& records, int64_t offset) {
  auto value = static_cast<uint32_t>(offset);
  for (int shift = 0; shift < 32; shift += 8) records.push_back(static_cast<char>(value >> shift));
}

// Writes one record per delimiter of the data file. Offsets that a signed
// 32-bit record cannot hold (files beyond 2 GiB) are not indexed.
void WriteRecords(TFile& data, const std::string& dataPath, TFile& index,
                  const std::string& indexPath) {
  char block[BlockSize];
  std::vector<char> records;
  int64_t blockStart = 0;
  for (;;) {
    int64_t n = data.Read(block, BlockSize);
    if (n < 0)
      throw EInOutError(dataPath + ": " + SystemErrorText(data.LastError()), data.LastError());
    if (n == 0) break;
    records.clear();
    for (int64_t i = 0; i < n; ++i) {
      if (block[i] == QuoteDelimiter && blockStart + i <= INT32_MAX)
        AppendRecord(records, blockStart + i);
    }
    if (!records.empty() && !index.Write(records.data(), records.size()))
      throw EInOutError(indexPath + ": " + SystemErrorText(index.LastError()), index.LastError());
    blockStart += n;
  }
}

}  // namespace

bool BuildQuoteIndex() {
  const std::string folder = QuoteDir.Get();
  const std::string indexPath = folder + QuoteIndexName;
  const std::string dataPath = folder + QuoteDataName;

  TPendingFile index;
  if (!index.Create(indexPath)) return false;

  TFile data;
  if (!data.Open(dataPath, FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting)) {
    // The empty index stays behind, so later picks answer empty without an error.
    const int code = data.LastError();
    index.Commit();
    throw EInOutError(dataPath + ": " + SystemErrorText(code), code);
  }
  WriteRecords(data, dataPath, index.File(), indexPath);
  return index.Commit();
}

}  // namespace pithorama
