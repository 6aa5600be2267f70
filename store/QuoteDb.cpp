// Picking a random quote.
#include "pithorama/store/QuoteDb.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "pithorama/platform/Errors.h"
#include "pithorama/platform/Files.h"
#include "pithorama/platform/Paths.h"
#include "pithorama/platform/Random.h"
#include "pithorama/store/QuoteDecoder.h"

namespace pithorama {

TSharedString QuoteDir{std::string{'.', HostPathStyle().delimiter}};

namespace {

constexpr int PickAttempts = 19;
// Quotes are read in blocks; the result is the same as reading byte by byte.
constexpr size_t ReadBlockSize = 4096;

[[noreturn]] void RaiseIoError(const std::string& path, int code) {
  throw EInOutError(path + ": " + SystemErrorText(code), code);
}

// Another process may be replacing the file with a rebuilt one at this
// moment; where the file system shows the replaced name busy for that moment
// (Windows), a short retry finds the new file instead of failing the visit.
constexpr int OpenAttempts = 3;
constexpr int OpenPauseMs = 20;

TFile OpenForPick(const std::string& path) {
  TFile file;
  if (!OpenWithRetry(file, path, FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting,
                     OpenAttempts, OpenPauseMs))
    RaiseIoError(path, file.LastError());
  return file;
}

int64_t SizeOf(TFile& file, const std::string& path) {
  int64_t size = file.Size();
  if (size < 0) RaiseIoError(path, file.LastError());
  return size;
}

// Draws index records until one can be read, at most PickAttempts times.
// Answers false when none could be read (an empty index, for one).
bool ChooseRecord(TFile& index, const std::string& indexPath, int32_t& offset) {
  for (int attempt = 0; attempt < PickAttempts; ++attempt) {
    int64_t records = SizeOf(index, indexPath) / 4;
    auto count = static_cast<uint32_t>(records > UINT32_MAX ? UINT32_MAX : records);
    uint32_t record = Random(count);
    if (!index.Seek(static_cast<int64_t>(record) * 4)) RaiseIoError(indexPath, index.LastError());
    unsigned char bytes[4];
    if (index.Read(bytes, 4) != 4) continue;
    offset = static_cast<int32_t>(uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 |
                                  uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24);
    return true;
  }
  return false;
}

// Reads the quote from `start` up to the next delimiter or `size`. Answers
// false when a read fails or comes short of `size` before the quote ends, or
// when the quote is longer than MaxQuoteBytes.
bool ReadQuote(TFile& data, int64_t start, int64_t size, TStringList& quote) {
  TQuoteDecoder decoder(quote);
  char block[ReadBlockSize];
  int64_t position = start;
  while (position < size && !decoder.Ended()) {
    if (position - start >= static_cast<int64_t>(MaxQuoteBytes)) return false;
    auto wanted = static_cast<size_t>(std::min<int64_t>(ReadBlockSize, size - position));
    int64_t n = data.Read(block, wanted);
    if (n <= 0) return false;
    position += decoder.Feed(std::string_view(block, static_cast<size_t>(n)));
  }
  // A quote that starts at the end of the file reads nothing: its first byte fails.
  return position > start;
}

}  // namespace

void GetRandomQuote(TStringList& quote) {
  quote.clear();
  const std::string folder = QuoteDir.Get();
  const std::string indexPath = folder + QuoteIndexName;
  const std::string dataPath = folder + QuoteDataName;
  if (!FileExists(indexPath) && !BuildQuoteIndex()) return;
  if (!FileExists(dataPath)) return;

  TFile index = OpenForPick(indexPath);
  TFile data = OpenForPick(dataPath);
  int32_t offset = 0;
  if (!ChooseRecord(index, indexPath, offset)) return;

  // A record outside the data file comes from a stale or broken index; it
  // gives no quote this time instead of failing the whole request.
  const int64_t size = SizeOf(data, dataPath);
  const int64_t start = static_cast<int64_t>(offset) + 1;
  if (offset < 0 || start > size) return;
  if (!data.Seek(start)) RaiseIoError(dataPath, data.LastError());
  if (!ReadQuote(data, start, size, quote)) quote.clear();
}

void QuoteDbStart() { RandomizeFromClock(); }

}  // namespace pithorama
