// The multipart decoder over any body delivered in any pieces: no crash, no
// hang, no temporary file outside the list or left behind; the pieces never
// change what a whole body yields; a source that stops early or fails leaves
// no fields.
//
// Input: byte 0 picks how the source ends (0 and 1: as the body says, 2: it
// answers 0 early, 3: it fails early), bytes 1 and 2 give the place of that
// end, bytes 3 to 6 seed the piece sizes, the rest is the body.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "pithorama/engine/multipart/MultipartStream.h"
#include "pithorama/platform/Files.h"
#include "pithorama/platform/Random.h"

namespace {

using namespace pithorama;

const std::string& Folder() {
  static const std::string folder = [] {
    auto path =
        std::filesystem::temp_directory_path() /
        ("multipart_fuzz_" + std::to_string(std::rand()) + std::to_string(std::time(nullptr)));
    std::filesystem::create_directories(path);
    return path.string();
  }();
  return folder;
}

// Delivers the body in pieces of 1 to 16 or 1 to 4096 bytes drawn from a seed
// (seed 0: as much as asked); from `endAt` on it answers `ending` instead.
class FuzzSource : public TByteSource {
 public:
  FuzzSource(std::string_view body, uint32_t seed, size_t endAt, int64_t ending)
      : body_(body), seed_(seed), endAt_(endAt), ending_(ending) {}

  int64_t Read(void* buffer, size_t count) override {
    if (position_ >= endAt_ || position_ >= body_.size()) return ending_;
    size_t piece = count;
    if (seed_ != 0) {
      seed_ = seed_ * 1664525u + 1013904223u;
      piece = 1 + (seed_ >> 8) % ((seed_ & 1) ? 16 : 4096);
    }
    piece = std::min({piece, count, body_.size() - position_, endAt_ - position_});
    std::memcpy(buffer, body_.data() + position_, piece);
    position_ += piece;
    return static_cast<int64_t>(piece);
  }

 private:
  std::string_view body_;
  uint32_t seed_;
  size_t endAt_;
  int64_t ending_;
  size_t position_ = 0;
};

struct Outcome {
  std::string fields;
  std::vector<std::string> contents;
};

Outcome Run(TByteSource& source, int64_t length) {
  TMultipartOptions options;
  options.TempDir = Folder();
  TStringList tempFiles;
  Outcome outcome;
  SetRandSeed(99);
  DecodeMultipartStream(source, length, options, tempFiles, outcome.fields);
  for (const std::string& name : tempFiles) {
    TFile file;
    if (!file.Open(name, FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting)) abort();
    std::string content(static_cast<size_t>(file.Size()), '\0');
    if (file.Read(content.data(), content.size()) != static_cast<int64_t>(content.size())) abort();
    outcome.contents.push_back(std::move(content));
    file.Close();
    if (!DeleteFile(name)) abort();
  }
  // Nothing may stay behind that the list did not name.
  if (!std::filesystem::is_empty(Folder())) abort();
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 7) return 0;
  const int mode = data[0] % 4;
  const size_t endAt = static_cast<size_t>(data[1]) << 8 | data[2];
  uint32_t seed;
  std::memcpy(&seed, data + 3, 4);
  const std::string_view body(reinterpret_cast<const char*>(data + 7), size - 7);
  const auto length = static_cast<int64_t>(body.size());

  FuzzSource whole(body, 0, SIZE_MAX, 0);
  const Outcome reference = Run(whole, length);
  if (mode < 2) {
    FuzzSource pieces(body, seed | 1, SIZE_MAX, 0);
    const Outcome split = Run(pieces, length);
    if (split.fields != reference.fields || split.contents != reference.contents) abort();
  } else if (endAt < body.size()) {
    FuzzSource cut(body, seed | 1, endAt, mode == 2 ? 0 : -1);
    if (!Run(cut, length).fields.empty()) abort();
  }
  return 0;
}
