// The temporary file that receives one uploaded file.
#pragma once

#include <string>
#include <string_view>

#include "pithorama/engine/multipart/MultipartStream.h"
#include "pithorama/platform/Files.h"

namespace pithorama {

// Creates the temporary file for an upload sent as sentName and opens it for
// writing in `file`; answers its full name. The name is a draw below 9,000,000
// from the process-wide generator directly followed by UploadBaseName(sentName),
// put in options.TempDir with the extension "tmp" in place of everything from
// the name's first dot on. The file is new and private to the owner; a name
// that exists already (another request's file, or a link planted there) is
// never opened: a new number is drawn instead, up to kUploadNameDraws times.
// The file is registered for deletion by a termination signal
// (platform/Signals.h); the request's end deletes it and withdraws it.
// Throws EFOpenError when no file could be created.
inline constexpr int kUploadNameDraws = 100;
std::string CreateUploadFile(const TMultipartOptions& options, std::string_view sentName,
                             TFile& file);

}  // namespace pithorama
