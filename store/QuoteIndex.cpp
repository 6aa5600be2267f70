// Building QUOTENDX.DTA.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "pithorama/platform/Errors.h"
#include "pithorama/platform/Files.h"
#include "pithorama/platform/Paths.h"
#include "pithorama/platform/Signals.h"
#include "pithorama/store/QuoteDb.h"
#include "pithorama/store/QuoteDecoder.h"

namespace pithorama {

namespace {

// The data file is scanned in blocks of 2047 bytes (a 2048-byte buffer less one).
constexpr size_t BlockSize = 2047;

// The index while it is written. It has no name until it is whole, so a
// process killed meanwhile leaves nothing behind. Where the file system has
// no nameless files, or an index exists already and is to be replaced, a
// temporary name serves, deleted when the object goes or by a termination
// signal that ends the process meanwhile.
class TPendingFile {
 public:
  bool Create(const std::string& finalPath) {
    finalPath_ = finalPath;
    const std::string folder = ExtractFilePath(finalPath);
    if (file_.CreateNameless(folder.empty() ? "." : folder)) return true;
    return CreateNamed();
  }
  ~TPendingFile() {
    if (tempPath_.empty()) return;
    file_.Close();
    DeleteFile(tempPath_);
    KeepOnTermination(tempPath_);
  }
  TFile& File() { return file_; }
  // Gives the file its final name and closes it.
  bool Commit() {
    if (tempPath_.empty()) {
      if (file_.LinkAs(finalPath_)) return file_.Close();
      if (!IsFileExistsError(file_.LastError()) || !LinkNamed()) return false;
    }
    if (!file_.Close()) return false;
    if (!RenameFile(tempPath_, finalPath_)) return false;
    KeepOnTermination(tempPath_);
    tempPath_.clear();
    return true;
  }

 private:
  bool CreateNamed() {
    if (!file_.CreateUnique(finalPath_ + ".", tempPath_)) return false;
    RemoveOnTermination(tempPath_);
    return true;
  }
  // Names the nameless file like CreateUnique would, so that it can replace
  // the existing index with one rename.
  bool LinkNamed() {
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::string name = finalPath_ + "." + RandomSuffix();
      if (file_.LinkAs(name)) {
        tempPath_ = name;
        RemoveOnTermination(name);
        return true;
      }
      if (!IsFileExistsError(file_.LastError())) return false;
    }
    return false;
  }
  // Six letters and digits of a generator of its own: the process-wide one
  // draws the quotes and must not be disturbed.
  static std::string RandomSuffix() {
    static constexpr char kChars[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<size_t> pick(0, sizeof kChars - 2);
    std::string suffix;
    for (int i = 0; i < 6; ++i) suffix.push_back(kChars[pick(generator)]);
    return suffix;
  }

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
