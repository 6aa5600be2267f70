#include "engine/MultipartUpload.h"

#include "engine/HttpText.h"
#include "engine/MultipartHeader.h"
#include "platform/Errors.h"
#include "platform/Random.h"
#include "platform/Signals.h"

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
