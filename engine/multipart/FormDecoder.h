// The multipart/form-data decoder as the request engine uses it: turns a
// posted multipart body into the url-encoded text of an ordinary form post,
// writing every uploaded file into a temporary file of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "pithorama/engine/multipart/MultipartStream.h"

namespace pithorama {

// Pulls contentLength body bytes from `body` and appends the fields to
// `result` as name=value& pairs (values URL-encoded). The boundary comes from
// `contentType`; upload files go into `tempDir` (the system's temporary
// folder when empty) and are listed in `tempFiles`, which the caller deletes.
void DecodeMultipart(TByteSource& body, int64_t contentLength, std::string_view contentType,
                     const std::string& tempDir, TStringList& tempFiles, std::string& result);

}  // namespace pithorama
