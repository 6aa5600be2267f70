// Bodies, byte sources and a decode runner for the multipart decoder's tests.
#pragma once

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "pithorama/engine/HttpText.h"
#include "pithorama/engine/multipart/MultipartStream.h"
#include "tests/support/Process.h"

namespace pithorama::test {

struct Part {
  std::string headers;  // header lines, each without its line end
  std::string data;
};

// "--boundary", the parts, "--boundary--", each line ended by `eol`.
inline std::string Body(const std::string& boundary, const std::vector<Part>& parts,
                        const std::string& eol = "\r\n") {
  std::string body;
  for (const Part& part : parts) {
    body += "--" + boundary + eol;
    if (!part.headers.empty()) body += part.headers + eol;
    body += eol + part.data + eol;
  }
  return body + "--" + boundary + "--" + eol;
}

inline std::string FieldHeader(const std::string& name) {
  return "Content-Disposition: form-data; name=\"" + name + "\"";
}

inline std::string FileHeader(const std::string& name, const std::string& fileName,
                              const std::string& type = "application/octet-stream") {
  std::string header =
      "Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fileName + "\"";
  if (!type.empty()) header += "\r\nContent-Type: " + type;
  return header;
}

// Delivers a text in pieces of at most `piece` bytes; after `failAt` bytes it
// answers `failure` (0 or negative) instead.
class PieceSource : public pithorama::TByteSource {
 public:
  explicit PieceSource(std::string text, size_t piece = 1 << 20, size_t failAt = SIZE_MAX,
                       int64_t failure = -1)
      : text_(std::move(text)), piece_(piece), failAt_(failAt), failure_(failure) {}

  int64_t Read(void* buffer, size_t count) override {
    ++calls;
    if (position_ >= failAt_) return failure_;
    const size_t limit = std::min(text_.size(), failAt_);
    const size_t n = std::min({count, piece_, limit - position_});
    if (n == 0) return 0;
    std::memcpy(buffer, text_.data() + position_, n);
    position_ += n;
    return static_cast<int64_t>(n);
  }
  size_t Delivered() const { return position_; }
  int calls = 0;

 private:
  std::string text_;
  size_t piece_;
  size_t failAt_;
  int64_t failure_;
  size_t position_ = 0;
};

struct Decoded {
  std::string fields;
  pithorama::TStringList tempFiles;
};

inline Decoded Decode(pithorama::TByteSource& source, int64_t length, const std::string& tempDir,
                      int64_t stepLimit = 10'000'000) {
  pithorama::TMultipartOptions options;
  options.TempDir = tempDir;
  options.ProgramFile = tempDir + "/program";
  options.StepLimit = stepLimit;
  Decoded decoded;
  pithorama::DecodeMultipartStream(source, length, options, decoded.tempFiles, decoded.fields);
  return decoded;
}

inline Decoded Decode(const std::string& body, const std::string& tempDir, size_t piece = 1 << 20) {
  PieceSource source(body, piece);
  return Decode(source, static_cast<int64_t>(body.size()), tempDir);
}

// The entries a file part adds after its content type entry; `tempFile` is
// given encoded.
inline std::string FileEntries(const std::string& name, const std::string& sent,
                               const std::string& tempFile) {
  return name + "=" + pithorama::UrlEncode(sent) + "&" + name + "_FILENAME=" + tempFile + "&";
}

// Every file in the folder, sorted.
inline std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().string());
  std::sort(names.begin(), names.end());
  return names;
}

inline std::vector<std::string> Sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

// Bytes of every value, seeded, so that files hold more than text.
inline std::string Bytes(size_t count, uint32_t seed) {
  std::string bytes(count, '\0');
  for (char& c : bytes) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return bytes;
}

}  // namespace pithorama::test
