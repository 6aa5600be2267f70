#include "pithorama/engine/multipart/FormDecoder.h"

#include "pithorama/engine/multipart/MultipartHeader.h"
#include "pithorama/platform/Module.h"

namespace pithorama {

void DecodeMultipart(TByteSource& body, int64_t contentLength, std::string_view contentType,
                     const std::string& tempDir, TStringList& tempFiles, std::string& result) {
  TMultipartOptions options;
  options.TempDir = tempDir;
  options.ProgramFile = ModuleFileName();
  options.Boundary = MultipartBoundary(contentType);
  DecodeMultipartStream(body, contentLength, options, tempFiles, result);
}

}  // namespace pithorama
