// The multipart/form-data decoder: turns a posted multipart body into the
// url-encoded text of an ordinary form post, writing every uploaded file into a
// temporary file of its own (listed in the request's TempFiles).
#pragma once

#include <string>

namespace pithorama {

class THttpEngine;

// Pulls GetContentLength() body bytes through engine.ReadBuffer and appends
// the fields to `result` as name=value& pairs (values URL-encoded).
void DecodeMultipart(THttpEngine& engine, std::string& result);

}  // namespace pithorama
