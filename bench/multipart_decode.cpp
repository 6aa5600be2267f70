// Decodes one multipart body file with the library's decoder, writing its
// uploads into a folder, and prints "seconds bytes fields" for the decode
// alone. The body is read in the decoder's own ring-sized pieces.
//
//   multipart_decode BODY_FILE UPLOAD_FOLDER     (an absolute folder)
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "pithorama/engine/multipart/MultipartStream.h"
#include "pithorama/platform/Files.h"

using namespace pithorama;

namespace {

class FileSource : public TByteSource {
 public:
  explicit FileSource(TFile& file) : file_(file) {}
  int64_t Read(void* buffer, size_t count) override { return file_.Read(buffer, count); }

 private:
  TFile& file_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: multipart_decode BODY_FILE UPLOAD_FOLDER\n");
    return 2;
  }
  TFile body;
  if (!body.Open(argv[1], FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting)) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  const int64_t length = body.Size();
  FileSource source(body);
  TMultipartOptions options;
  options.TempDir = argv[2];
  TStringList tempFiles;
  std::string fields;

  const auto start = std::chrono::steady_clock::now();
  DecodeMultipartStream(source, length, options, tempFiles, fields);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

  // Parts: every entry but the two that an upload adds beside its own.
  size_t count = 0;
  for (char c : fields) count += c == '&';
  for (std::string_view extra : {"_CONTENT_TYPE=", "_FILENAME="})
    for (size_t at = 0; (at = fields.find(extra, at)) != std::string::npos; at += extra.size())
      --count;
  for (const std::string& name : tempFiles) DeleteFile(name);
  std::printf("%.6f %lld %zu\n", elapsed.count(), static_cast<long long>(length), count);
  return fields.empty() ? 1 : 0;
}
