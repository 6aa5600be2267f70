// The streaming multipart/form-data decoder, reachable without an engine so
// that tests, the fuzzer and the benchmark can drive it from any byte source.
//
//   TStringBodySource body(text);           // or an engine's ReadBuffer
//   TStringList tempFiles;
//   std::string fields;
//   DecodeMultipartStream(body, text.size(), {"/tmp/up", programFile}, tempFiles, fields);
//   // fields: "a=x&f_CONTENT_TYPE=+image%2Fgif&f=p.gif&f_FILENAME=%2Ftmp%2Fup%2F123p.tmp&"
//
// The body streams through a ring of 512 KiB (a window of 32768 bytes that the
// rules see, bytes read ahead and upload bytes not yet written); file data goes
// to disk in large pieces (256 KiB at a time), so memory stays flat whatever the
// size of an upload. Only the value
// of a text field is held whole (the caller bounds the body's size).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pithorama/platform/Strings.h"

namespace pithorama {

// Where the body bytes come from.
class TByteSource {
 public:
  virtual ~TByteSource() = default;
  // Bytes delivered into buffer (at most count), 0 when nothing more comes,
  // negative on failure.
  virtual int64_t Read(void* buffer, size_t count) = 0;
};

struct TMultipartOptions {
  // Folder of the temporary upload files: absolute, or relative to the folder
  // of ProgramFile; empty means that folder itself.
  std::string TempDir;
  std::string ProgramFile;
  // The boundary named by the body's content type (MultipartBoundary), or
  // empty: the first line that begins with "--" then gives it.
  std::string Boundary;
  // Bound on the passes of the scan loop (see MultipartDecoder.cpp). Tests
  // lower it; the engine keeps the default.
  int64_t StepLimit = 10'000'000;
};

// Reads contentLength bytes from source and appends the form's fields to
// result as name=value& pairs: names as they stand, values URL-encoded. A part
// ends only at a line end followed by "--" and the whole boundary (RFC 2046);
// what comes before the first such line (a preamble) and after the closing
// "--boundary--" line (an epilogue) is read and dropped. A part without a name
// adds nothing. Every
// uploaded file goes to a new temporary file (owner-only, never an existing
// name) whose full name is appended to tempFiles as soon as it exists; the
// caller deletes them. A read failure, a body that ends early, or a body that
// is not multipart leaves result empty. Throws EFOpenError when no temporary
// file can be created and EInOutError when one cannot be written.
void DecodeMultipartStream(TByteSource& source, int64_t contentLength,
                           const TMultipartOptions& options, TStringList& tempFiles,
                           std::string& result);

}  // namespace pithorama
