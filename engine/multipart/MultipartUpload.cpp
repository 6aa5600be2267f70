#include "pithorama/engine/multipart/MultipartUpload.h"

#include "pithorama/engine/HttpText.h"
#include "pithorama/engine/multipart/MultipartHeader.h"
#include "pithorama/platform/Errors.h"
#include "pithorama/platform/Random.h"
#include "pithorama/platform/Signals.h"

namespace pithorama {

std::string CreateUploadFile(const TMultipartOptions& options, std::string_view sentName,
                             TFile& file) {
  const std::string baseName = UploadBaseName(sentName);
  std::string path;
  int error = 0;
  for (int draw = 0; draw < kUploadNameDraws; ++draw) {
    const std::string name = std::to_string(Random(9'000'000)) + baseName;
    path = BuildFileName(options.ProgramFile, options.TempDir, false, name, false, "tmp");
    if (file.Open(path, FileAccess::Write, FileShare::DenyNone, FileCreate::CreateNew)) {
      // Until the request's end deletes it, a termination signal does.
      RemoveOnTermination(path);
      return path;
    }
    error = file.LastError();
    if (!IsFileExistsError(error)) break;
  }
  throw EFOpenError("Cannot create file " + path + ". " + SystemErrorText(error));
}

}  // namespace pithorama
