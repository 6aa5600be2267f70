// The multipart/form-data decoder (RFC 7578 bodies, RFC 2046 boundaries).
//
// The body's first line is its boundary line. The scan walks the ring looking
// for that line's last character, tries a quick test on two more characters
// (three and five places back) and then compares the whole line backwards.
// Bytes of a file part that the scan has passed go to the temporary file
// whenever the ring is full, all but the last few, which may hold the start
// of the next boundary line. A boundary finishes the part before it, then the
// next part's header lines are read and its data begins.
//
// Every search stops at the last byte the body filled; a body that ends early
// or that the source fails to deliver ends the decoding.
#include <algorithm>
#include <string>

#include "engine/HttpText.h"
#include "engine/MultipartHeader.h"
#include "engine/MultipartRing.h"
#include "engine/MultipartStream.h"
#include "engine/MultipartUpload.h"
#include "platform/Errors.h"
#include "platform/Files.h"

namespace pithorama {
namespace {

constexpr int64_t kMaxBoundaryLine = 254;
// Bytes kept back at a flush: enough for CR LF and the longest boundary line
// that RFC 2046 allows ("--" and 70 characters); longer lines keep more.
constexpr int64_t kKeptBack = 100;

class TMultipartDecoder {
 public:
  TMultipartDecoder(TByteSource& source, int64_t contentLength, const TMultipartOptions& options,
                    TStringList& tempFiles, std::string& result)
      : ring_(source, contentLength), options_(options), tempFiles_(tempFiles), result_(result) {}

  void Run();

 private:
  bool TakeBoundaryLine();
  bool Step();
  int64_t NextCandidate();
  bool QuickTest(int64_t offset) const;
  bool FullTest(int64_t offset) const;
  void FlushScanned();
  bool HandleBoundary(int64_t offset);
  void FinishPart(int64_t lineStart);
  int64_t DataEnd(int64_t lineStart) const;
  bool SkipToLineFeed();
  bool ReadPartHeaders();
  bool ReadHeaderLine(std::string& line);
  bool SkipBlankLine();
  void StartUpload();
  void WriteUpload(int64_t from, int64_t to);
  void CloseUpload();

  TMultipartRing ring_;
  const TMultipartOptions& options_;
  TStringList& tempFiles_;
  std::string& result_;

  std::string boundary_;  // the body's first line, without its line end
  int64_t keptBack_ = kKeptBack;
  int64_t scan_ = 0;  // offset from the ring's Start of the next byte to scan
  int boundariesSeen_ = 0;

  TPartHeader part_;
  std::string value_;  // a text field's bytes that left the ring before its end
  std::string uploadPath_;
  TFile upload_;
};

// A step is one pass of the scan: on to the next place where the quick test
// holds (which then is a boundary or is passed by one byte), or to the end of
// the bytes read so far (followed by a flush and a fill). Every step moves on
// through the body, so the loop ends with it; the step bound stops a body
// crafted to make the quick test hold nearly everywhere.
void TMultipartDecoder::Run() {
  ring_.Fill(true);
  if (TakeBoundaryLine()) {
    int64_t steps = 0;
    while (!ring_.ReadError() && steps < options_.StepLimit && Step()) ++steps;
  }
  CloseUpload();
  // A body whose boundary never comes back is no multipart body: what its
  // header lines announced is not kept.
  if (ring_.ReadError() || boundariesSeen_ < 2) result_.clear();
}

// The first line is the bytes before the first byte below code 32, at most
// 254 of them. A body without a line end, or whose line is too short to be
// "--" and a boundary, is not multipart.
bool TMultipartDecoder::TakeBoundaryLine() {
  const int64_t available = ring_.Available();
  int64_t length = 0;
  while (length < available && length < kMaxBoundaryLine && ring_.At(length) >= 32) ++length;
  if (length < 3 || (length == available && length < kMaxBoundaryLine)) return false;
  ring_.AppendTo(boundary_, 0, length);
  keptBack_ = std::max<int64_t>(kKeptBack, length + 2);
  return true;
}

// Answers false when the body has ended.
bool TMultipartDecoder::Step() {
  const int64_t hit = NextCandidate();
  if (hit >= 0) {
    if (FullTest(hit)) return HandleBoundary(hit);
    scan_ = hit + 1;
    return true;
  }
  if (ring_.BodyRead()) return false;
  if (ring_.Full()) FlushScanned();
  ring_.Fill(true);
  return true;
}

// The offset of the next place where the quick test holds, or -1 when the
// scan has reached the end of the bytes read. A boundary line must lie whole
// after Start, so the scan never looks at consumed bytes.
int64_t TMultipartDecoder::NextCandidate() {
  const int64_t length = static_cast<int64_t>(boundary_.size());
  const auto last = static_cast<unsigned char>(boundary_.back());
  for (;;) {
    const int64_t hit = ring_.Find(last, std::max(scan_, length - 1));
    if (hit < 0) {
      scan_ = std::max(scan_, ring_.Available());
      return -1;
    }
    if (QuickTest(hit)) return scan_ = hit;
    scan_ = hit + 1;
  }
}

// The characters three and five places before the last, where the line has
// them (a line of 3 to 5 characters is left to the full test).
bool TMultipartDecoder::QuickTest(int64_t offset) const {
  const size_t length = boundary_.size();
  if (length >= 4 && ring_.At(offset - 3) != static_cast<unsigned char>(boundary_[length - 4]))
    return false;
  return length < 6 || ring_.At(offset - 5) == static_cast<unsigned char>(boundary_[length - 6]);
}

// The line from its third character on, compared backwards; the leading "--"
// is not compared.
bool TMultipartDecoder::FullTest(int64_t offset) const {
  const int64_t length = static_cast<int64_t>(boundary_.size());
  for (int64_t back = 1; back <= length - 3; ++back)
    if (ring_.At(offset - back) != static_cast<unsigned char>(boundary_[length - 1 - back]))
      return false;
  return true;
}

// The ring is full and scanned: all but the last bytes leave it, into the
// upload, into a long text field's value, or nowhere (preamble, unnamed part).
void TMultipartDecoder::FlushScanned() {
  const int64_t count = scan_ - keptBack_;
  if (count <= 0) return;
  if (upload_.IsOpen())
    WriteUpload(0, count);
  else if (!part_.Name.empty())
    ring_.AppendTo(value_, 0, count);
  ring_.Consume(count);
  scan_ -= count;
}

// The boundary line ends at `offset`. Finishes the part before it, reads the
// next part's header lines and leaves the ring at its first data byte.
bool TMultipartDecoder::HandleBoundary(int64_t offset) {
  ++boundariesSeen_;
  FinishPart(offset - (static_cast<int64_t>(boundary_.size()) - 1));
  ring_.Consume(offset);
  scan_ = 0;
  if (!SkipToLineFeed()) return false;
  ring_.Fill(false);
  if (!ReadPartHeaders() || !SkipBlankLine()) return false;
  if (!part_.FileName.empty()) StartUpload();
  ring_.Fill(false);
  return true;
}

// A named upload gets its last bytes; any other named part becomes a field,
// its value cut at a zero byte; a part without a name is dropped (an unnamed
// upload keeps only what flushes wrote).
void TMultipartDecoder::FinishPart(int64_t lineStart) {
  const int64_t end = DataEnd(lineStart);
  if (!part_.Name.empty()) {
    if (!part_.FileName.empty() && !part_.ContentType.empty()) {
      WriteUpload(0, end);
    } else {
      ring_.AppendTo(value_, 0, end);
      result_ += part_.Name;
      result_ += '=';
      result_ += UrlEncode(std::string_view(value_).substr(0, value_.find('\0')));
      result_ += '&';
    }
  }
  CloseUpload();
  part_ = TPartHeader();
  value_.clear();
  uploadPath_.clear();
}

// The data ends before the line end in front of the boundary line: a line
// feed and a carriage return before it, or a bare line feed.
int64_t TMultipartDecoder::DataEnd(int64_t lineStart) const {
  int64_t end = std::max<int64_t>(lineStart, 0);
  if (end > 0 && ring_.At(end - 1) == '\n') --end;
  if (end > 0 && ring_.At(end - 1) == '\r') --end;
  return end;
}

// Consumes up to the next line feed, reading on as needed; false when the body
// ends first.
bool TMultipartDecoder::SkipToLineFeed() {
  for (;;) {
    const int64_t lineFeed = ring_.Find('\n', 0);
    if (lineFeed >= 0) {
      ring_.Consume(lineFeed);
      return true;
    }
    ring_.Consume(ring_.Available());
    if (ring_.BodyRead()) return false;
    ring_.Fill(true);
  }
}

// The ring starts at the line feed that ends the boundary line or the last
// header line. The block ends at a line feed followed within two bytes by
// another (CR LF CR LF, or bare LF LF). False when the body ends first.
bool TMultipartDecoder::ReadPartHeaders() {
  std::string line;
  for (;;) {
    if (ring_.Available() < 3) ring_.Fill(true);
    const int64_t available = ring_.Available();
    if (available == 0) return false;
    if (ring_.At(0) == '\n' &&
        ((available > 1 && ring_.At(1) == '\n') || (available > 2 && ring_.At(2) == '\n')))
      return true;
    ring_.Consume(1);
    if (!ReadHeaderLine(line)) return false;
    ApplyHeaderLine(line, part_, result_);
  }
}

// Keeps the line's bytes before the first one below code 32 (at most
// MaxHeaderLine of them) and consumes up to the line feed that ends the line,
// however long it is.
bool TMultipartDecoder::ReadHeaderLine(std::string& line) {
  line.clear();
  bool inText = true;
  for (;;) {
    const int64_t available = ring_.Available();
    for (int64_t i = 0; i < available; ++i) {
      const unsigned char c = ring_.At(i);
      if (c == '\n') {
        ring_.Consume(i);
        return true;
      }
      if (c < 32) inText = false;
      if (inText && line.size() < MaxHeaderLine) line.push_back(static_cast<char>(c));
    }
    ring_.Consume(available);
    if (ring_.BodyRead()) return false;
    ring_.Fill(true);
  }
}

// The ring starts at the line feed that ends the header block; the data
// starts after the next line feed.
bool TMultipartDecoder::SkipBlankLine() {
  ring_.Consume(1);
  if (!SkipToLineFeed()) return false;
  ring_.Consume(1);
  return true;
}

void TMultipartDecoder::StartUpload() {
  if (part_.ContentType.empty()) part_.ContentType = "unknown";
  result_ += part_.Name;
  result_ += '=';
  result_ += UrlEncode(part_.FileName);
  result_ += '&';
  uploadPath_ = CreateUploadFile(options_, part_.FileName, upload_);
  tempFiles_.push_back(uploadPath_);
  result_ += part_.Name;
  result_ += "_FILENAME=";
  result_ += UrlEncode(uploadPath_);
  result_ += '&';
}

void TMultipartDecoder::WriteUpload(int64_t from, int64_t to) {
  ring_.ForEachPiece(from, to, [&](const char* data, size_t length) {
    if (!upload_.Write(data, length))
      throw EInOutError("Cannot write file " + uploadPath_, upload_.LastError());
  });
}

void TMultipartDecoder::CloseUpload() {
  if (upload_.IsOpen() && !upload_.Close())
    throw EInOutError("Cannot write file " + uploadPath_, upload_.LastError());
}

}  // namespace

void DecodeMultipartStream(TByteSource& source, int64_t contentLength,
                           const TMultipartOptions& options, TStringList& tempFiles,
                           std::string& result) {
  TMultipartDecoder(source, contentLength, options, tempFiles, result).Run();
}

}  // namespace pithorama
