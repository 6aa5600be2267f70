// The quote reader over any index and data file: no crash, no hang, no error
// while both files are there; every delivered line is non-empty text of the
// bytes 32 to 125; block borders never change what the decoder delivers; the
// index built from the data lists exactly its delimiters.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "pithorama/platform/Files.h"
#include "pithorama/platform/Random.h"
#include "pithorama/store/QuoteDb.h"
#include "pithorama/store/QuoteDecoder.h"

namespace {

using namespace pithorama;

const std::string& Folder() {
  static const std::string folder = [] {
    auto path = std::filesystem::temp_directory_path() /
                ("quote_reader_fuzz_" + std::to_string(std::rand()));
    std::filesystem::create_directories(path);
    return path.string() + "/";
  }();
  return folder;
}

void Save(const std::string& name, std::string_view bytes) {
  TFile file;
  if (!file.Open(Folder() + name, FileAccess::Write, FileShare::DenyNone,
                 FileCreate::CreateAlways) ||
      !file.Write(bytes))
    std::abort();
}

std::string Load(const std::string& name) {
  TFile file;
  if (!file.Open(Folder() + name, FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting))
    std::abort();
  std::string bytes(static_cast<size_t>(file.Size()), '\0');
  if (file.Read(bytes.data(), bytes.size()) != static_cast<int64_t>(bytes.size())) std::abort();
  return bytes;
}

bool IsDeliverable(const std::string& line) {
  if (line.empty() || line == " ") return false;
  for (unsigned char c : line)
    if (c < 32 || c > 125) return false;
  return true;
}

// Decodes `bytes` whole and in chunks of `chunk`; both must agree.
void CheckChunking(std::string_view bytes, size_t chunk) {
  TStringList whole, pieces;
  TQuoteDecoder a(whole), b(pieces);
  size_t usedWhole = a.Feed(bytes), usedPieces = 0;
  for (size_t i = 0; i < bytes.size(); i += chunk) usedPieces += b.Feed(bytes.substr(i, chunk));
  if (whole != pieces || usedWhole != usedPieces || a.Ended() != b.Ended()) std::abort();
}

void CheckBuiltIndex(std::string_view dataBytes) {
  if (!BuildQuoteIndex()) std::abort();
  std::string index = Load(QuoteIndexName), expected;
  for (size_t i = 0; i < dataBytes.size(); ++i)
    if (dataBytes[i] == QuoteDelimiter)
      for (int shift = 0; shift < 32; shift += 8) expected.push_back(static_cast<char>(i >> shift));
  if (index != expected) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const size_t indexSize = (data[0] | data[1] << 8) % (size - 5);
  const uint32_t seed = data[2] | data[3] << 8 | data[4] << 16 | uint32_t{data[5]} << 24;
  const std::string_view rest(reinterpret_cast<const char*>(data + 6), size - 6);
  const std::string_view indexBytes = rest.substr(0, indexSize);
  const std::string_view dataBytes = rest.substr(indexSize);

  CheckChunking(dataBytes, 1 + seed % 7);

  QuoteDir = Folder();
  Save(QuoteDataName, dataBytes);
  Save(QuoteIndexName, indexBytes);
  SetRandSeed(seed);
  for (int pick = 0; pick < 3; ++pick) {
    TStringList quote;
    GetRandomQuote(quote);  // an error here is a fault: both files exist
    for (const std::string& line : quote)
      if (!IsDeliverable(line)) std::abort();
  }
  CheckBuiltIndex(dataBytes);
  return 0;
}
