// The multipart/form-data decoder (RFC 7578 bodies, RFC 2046 boundaries).
//
// A part ends at a delimiter: a line feed (the carriage return before it
// belongs to the delimiter too), "--" and the whole boundary, followed by
// blanks and a line end, or by "--" on the closing line. The scan walks the
// ring looking for the boundary's last character, tries a quick test (the
// line feed and the first dash where the delimiter would begin) and then
// compares the whole delimiter backwards. Bytes of a part that the scan has
// passed leave the ring whenever it is full, all but the last few, which may
// hold the start of the next delimiter: into the temporary file of an upload,
// URL-encoded into the result for a text field, nowhere for the preamble. A
// delimiter finishes the part before it, then the next part's header lines are
// read and its data begins. The closing delimiter ends the decoding; the rest
// of the body is read and dropped.
//
// Every search stops at the last byte the body filled; a body that ends early
// or that the source fails to deliver ends the decoding.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "pithorama/engine/HttpText.h"
#include "pithorama/engine/multipart/MultipartHeader.h"
#include "pithorama/engine/multipart/MultipartRing.h"
#include "pithorama/engine/multipart/MultipartStream.h"
#include "pithorama/engine/multipart/MultipartUpload.h"
#include "pithorama/platform/Errors.h"
#include "pithorama/platform/Files.h"

namespace pithorama {
namespace {

// Bytes kept back at a flush: enough for CR LF and the longest boundary line
// that RFC 2046 allows ("--" and 70 characters); longer lines keep more.
constexpr int64_t kKeptBack = 100;
// Blanks allowed between the boundary and the line end of a delimiter line
// (RFC 2046 calls them transport padding).
constexpr int64_t kMaxPadding = 64;

enum class TDelimiter { None, Part, Close, NeedMore };

class TMultipartDecoder {
 public:
  TMultipartDecoder(TByteSource& source, int64_t contentLength, const TMultipartOptions& options,
                    TStringList& tempFiles, std::string& result)
      : ring_(source, contentLength), options_(options), tempFiles_(tempFiles), result_(result) {}

  void Run();

 private:
  bool TakeBoundary();
  bool Step();
  int64_t NextCandidate();
  bool QuickTest(int64_t last) const;
  bool FullTest(int64_t last) const;
  TDelimiter LineEnd(int64_t after) const;
  bool MoreBytes();
  TDelimiter Classify(int64_t last) const;
  void FlushScanned();
  bool HandleDelimiter(int64_t last, TDelimiter kind);
  void FinishPart(int64_t lineStart);
  int64_t DataEnd(int64_t lineStart) const;
  bool SkipToLineFeed();
  bool ReadPartHeaders();
  bool ReadHeaderLine(std::string& line);
  bool SkipBlankLine();
  void StartPart();
  void StartUpload();
  void AppendValue(int64_t from, int64_t to);
  void WriteUpload(int64_t from, int64_t to);
  void WriteHeld();
  void CloseUpload();
  void DrainBody();

  TMultipartRing ring_;
  const TMultipartOptions& options_;
  TStringList& tempFiles_;
  std::string& result_;

  std::string dashBoundary_;  // "--" and the boundary
  // How far the end of a delimiter can lie past a byte seen where one would
  // end: the boundary's length for a byte it does not hold, less for one it
  // holds (the distance from its last place in the boundary to the end).
  std::array<uint16_t, 256> shift_{};
  int64_t keptBack_ = kKeptBack;
  int64_t scan_ = 0;         // offset from the ring's Start of the next byte to scan
  bool atLineStart_ = true;  // a delimiter may begin at Start without a line feed
  int boundariesSeen_ = 0;

  TPartHeader part_;
  size_t fieldStart_ = std::string::npos;  // where the open text field's entry begins
  bool valueCut_ = false;                  // the open text field met a zero byte
  std::string uploadPath_;
  TFile upload_;
};

// A step is one pass of the scan: a delimiter handled, a place where the
// quick test holds passed by one byte, or the end of the bytes read so far
// reached (followed by a flush and a fill). Every step moves on through the
// body, so the loop ends with it; the step bound stops a body crafted to make
// the quick test hold nearly everywhere.
void TMultipartDecoder::Run() {
  ring_.Fill(true);
  if (TakeBoundary()) {
    int64_t steps = 0;
    while (!ring_.ReadError() && steps < options_.StepLimit && Step()) ++steps;
  }
  // A text field whose part never ended is not a field.
  if (fieldStart_ != std::string::npos) result_.resize(fieldStart_);
  CloseUpload();
  DrainBody();
  // A body whose boundary never comes back is no multipart body: what its
  // header lines announced is not kept.
  if (ring_.ReadError() || boundariesSeen_ < 2) result_.clear();
}

// The boundary named by the content type, or else the text after "--" on the
// first line of the first ring-full that begins with "--" (up to the first
// byte below code 32, trailing blanks dropped). Without either the body is
// not multipart.
bool TMultipartDecoder::TakeBoundary() {
  std::string boundary = options_.Boundary;
  for (int64_t line = 0; boundary.empty() && line >= 0;) {
    const int64_t available = ring_.Available();
    if (line + 2 < available && ring_.At(line) == '-' && ring_.At(line + 1) == '-') {
      int64_t end = line + 2;
      while (end < available && ring_.At(end) >= 32) ++end;
      const bool ended = end < available;
      ring_.AppendTo(boundary, line + 2, std::min<int64_t>(end, line + 2 + MaxBoundary + 1));
      while (!boundary.empty() && boundary.back() == ' ') boundary.pop_back();
      if (!ended || boundary.size() > MaxBoundary) return false;
    }
    const int64_t lineFeed = ring_.Find('\n', line);
    line = lineFeed < 0 ? -1 : lineFeed + 1;
  }
  if (boundary.empty()) return false;
  dashBoundary_ = "--" + boundary;
  const size_t length = dashBoundary_.size();
  shift_.fill(static_cast<uint16_t>(length));
  for (size_t i = 0; i + 1 < length; ++i)
    shift_[static_cast<unsigned char>(dashBoundary_[i])] = static_cast<uint16_t>(length - 1 - i);
  keptBack_ = std::max<int64_t>(kKeptBack, static_cast<int64_t>(dashBoundary_.size()) + 2);
  return true;
}

// Answers false when the decoding ends.
bool TMultipartDecoder::Step() {
  if (atLineStart_) {
    const int64_t last = static_cast<int64_t>(dashBoundary_.size()) - 1;
    if (last >= ring_.Available() && !ring_.BodyRead()) return MoreBytes();
    if (last < ring_.Available() && FullTest(last)) {
      const TDelimiter kind = Classify(last);
      if (kind == TDelimiter::NeedMore) return MoreBytes();
      atLineStart_ = false;
      if (kind != TDelimiter::None) return HandleDelimiter(last, kind);
    }
    atLineStart_ = false;
    return true;
  }
  const int64_t last = NextCandidate();
  if (last < 0) return MoreBytes();
  if (FullTest(last)) {
    const TDelimiter kind = Classify(last);
    if (kind == TDelimiter::NeedMore) return MoreBytes();
    if (kind != TDelimiter::None) return HandleDelimiter(last, kind);
  }
  scan_ = last + 1;
  return true;
}

// The scan has reached what the ring holds: flush when it is full, then read
// on. Answers false when the body has ended.
bool TMultipartDecoder::MoreBytes() {
  if (ring_.BodyRead()) return false;
  if (ring_.Full()) FlushScanned();
  ring_.Fill(true);
  return true;
}

// What makes the boundary that ends at `last` a delimiter, or not; a body
// that ends right after the boundary closes there.
TDelimiter TMultipartDecoder::Classify(int64_t last) const {
  const TDelimiter kind = LineEnd(last + 1);
  if (kind == TDelimiter::NeedMore && ring_.BodyRead()) return TDelimiter::Close;
  return kind;
}

// The offset of the next place where the quick test holds, or -1 when the
// scan has reached the end of the bytes read. A delimiter must lie whole
// after Start, so the scan never looks at consumed bytes. The scan jumps by
// the byte where a delimiter would end (Boyer-Moore-Horspool): through an
// upload's bytes it moves about a boundary's length per look, not one byte.
int64_t TMultipartDecoder::NextCandidate() {
  const int64_t length = static_cast<int64_t>(dashBoundary_.size());
  const auto last = static_cast<unsigned char>(dashBoundary_.back());
  const int64_t available = ring_.Available();
  for (int64_t at = std::max(scan_, length); at < available;) {
    const unsigned char c = ring_.At(at);
    if (c == last && QuickTest(at)) return scan_ = at;
    at += shift_[c];
  }
  scan_ = std::max(scan_, available);
  return -1;
}

// The line feed and the first dash where a delimiter ending at `last` would
// begin.
bool TMultipartDecoder::QuickTest(int64_t last) const {
  const int64_t length = static_cast<int64_t>(dashBoundary_.size());
  return ring_.At(last - length) == '\n' && ring_.At(last - length + 1) == '-';
}

// "--" and the whole boundary, compared backwards from `last`.
bool TMultipartDecoder::FullTest(int64_t last) const {
  const int64_t length = static_cast<int64_t>(dashBoundary_.size());
  for (int64_t back = 0; back < length; ++back)
    if (ring_.At(last - back) != static_cast<unsigned char>(dashBoundary_[length - 1 - back]))
      return false;
  return true;
}

// What follows a boundary from `after` on: "--" closes the body; blanks and a
// line end make a part's delimiter; anything else is data.
TDelimiter TMultipartDecoder::LineEnd(int64_t after) const {
  const int64_t available = ring_.Available();
  if (after < available && ring_.At(after) == '-') {
    if (after + 1 >= available) return TDelimiter::NeedMore;
    return ring_.At(after + 1) == '-' ? TDelimiter::Close : TDelimiter::None;
  }
  for (int64_t at = after; at <= after + kMaxPadding + 1; ++at) {
    if (at >= available) return TDelimiter::NeedMore;
    const unsigned char c = ring_.At(at);
    if (c == '\n') return TDelimiter::Part;
    if (c == '\r') {
      if (at + 1 >= available) return TDelimiter::NeedMore;
      return ring_.At(at + 1) == '\n' ? TDelimiter::Part : TDelimiter::None;
    }
    if (c != ' ' && c != '\t') return TDelimiter::None;
  }
  return TDelimiter::None;
}

// The ring is full and scanned: all but the last bytes leave it, into the
// upload, into a long text field's value, or nowhere (preamble, unnamed part).
// An upload's bytes are held in the ring and written in large pieces.
void TMultipartDecoder::FlushScanned() {
  const int64_t count = scan_ - keptBack_;
  if (count <= 0) return;
  if (upload_.IsOpen()) {
    ring_.Hold(count);
    if (ring_.Held() >= TMultipartRing::HoldLimit) WriteHeld();
  } else {
    if (fieldStart_ != std::string::npos) AppendValue(0, count);
    ring_.Consume(count);
  }
  scan_ -= count;
}

// The boundary ends at `last`. Finishes the part before it; after the closing
// line answers false. Otherwise reads the next part's header lines and leaves
// the ring at its first data byte.
bool TMultipartDecoder::HandleDelimiter(int64_t last, TDelimiter kind) {
  ++boundariesSeen_;
  FinishPart(last - (static_cast<int64_t>(dashBoundary_.size()) - 1));
  if (kind == TDelimiter::Close) return false;
  ring_.Consume(last + 1);
  scan_ = 0;
  if (!SkipToLineFeed()) return false;
  ring_.Fill(false);
  if (!ReadPartHeaders() || !SkipBlankLine()) return false;
  StartPart();
  atLineStart_ = true;
  ring_.Fill(false);
  return true;
}

// An upload gets its last bytes; a text field its last bytes and its "&".
void TMultipartDecoder::FinishPart(int64_t lineStart) {
  const int64_t end = DataEnd(lineStart);
  if (upload_.IsOpen()) {
    WriteHeld();
    WriteUpload(0, end);
  } else if (fieldStart_ != std::string::npos) {
    AppendValue(0, end);
    result_ += '&';
    fieldStart_ = std::string::npos;
  }
  CloseUpload();
  part_ = TPartHeader();
  uploadPath_.clear();
}

// The data ends before the line end in front of the delimiter's dashes: a
// line feed and a carriage return before it, or a bare line feed.
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

// The ring starts at the line feed that ends the delimiter line or the last
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
    ApplyHeaderLine(line, part_);
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

// The header block is read: a named part announces its content type, then
// opens its upload or its text field. The content type entry is made here,
// once the name is known, whatever the order of the header lines.
void TMultipartDecoder::StartPart() {
  if (part_.Name.empty()) return;
  if (!part_.ContentType.empty()) {
    result_ += part_.Name;
    result_ += "_CONTENT_TYPE=";
    result_ += UrlEncode(part_.ContentType);
    result_ += '&';
  }
  if (!part_.FileName.empty()) {
    StartUpload();
    return;
  }
  fieldStart_ = result_.size();
  valueCut_ = false;
  result_ += part_.Name;
  result_ += '=';
}

void TMultipartDecoder::StartUpload() {
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

// Appends the bytes [from, to) of a text field, URL-encoded, to the result;
// the value stops at a zero byte. A value larger than the ring grows the
// result in pieces: its room grows by doubling, but never past what the rest
// of the body adds when its bytes encode as themselves (letters, digits and
// blanks do), so that a large text field is not held twice over.
void TMultipartDecoder::AppendValue(int64_t from, int64_t to) {
  ring_.ForEachPiece(from, to, [&](const char* data, size_t length) {
    if (valueCut_) return;
    const void* zero = std::memchr(data, 0, length);
    if (zero != nullptr) {
      length = static_cast<size_t>(static_cast<const char*>(zero) - data);
      valueCut_ = true;
    }
    const std::string_view piece(data, length);
    // Each byte takes one to three: the exact count only matters, and is only
    // taken, where the room may run short.
    if (result_.size() + 3 * piece.size() + 1 > result_.capacity()) {
      const size_t needed = result_.size() + UrlEncodedLength(piece) + 1;
      GrowRoom(result_, needed,
               needed + static_cast<size_t>(ring_.Available() + ring_.Remaining()));
    }
    AppendUrlEncoded(result_, piece);
  });
}

void TMultipartDecoder::WriteUpload(int64_t from, int64_t to) {
  ring_.ForEachPiece(from, to, [&](const char* data, size_t length) {
    if (!upload_.Write(data, length))
      throw EInOutError("Cannot write file " + uploadPath_, upload_.LastError());
  });
}

void TMultipartDecoder::WriteHeld() {
  ring_.ForEachHeldPiece([&](const char* data, size_t length) {
    if (!upload_.Write(data, length))
      throw EInOutError("Cannot write file " + uploadPath_, upload_.LastError());
  });
  ring_.ReleaseHeld();
}

void TMultipartDecoder::CloseUpload() {
  if (upload_.IsOpen()) WriteHeld();
  if (upload_.IsOpen() && !upload_.Close())
    throw EInOutError("Cannot write file " + uploadPath_, upload_.LastError());
}

// Reads the rest of the body (an epilogue, or what follows where the decoding
// stopped) so that the sender is never left writing into a pipe nobody reads.
void TMultipartDecoder::DrainBody() {
  while (!ring_.ReadError() && !ring_.BodyRead()) {
    ring_.Consume(ring_.Available());
    ring_.Fill(true);
  }
}

}  // namespace

void DecodeMultipartStream(TByteSource& source, int64_t contentLength,
                           const TMultipartOptions& options, TStringList& tempFiles,
                           std::string& result) {
  TMultipartDecoder(source, contentLength, options, tempFiles, result).Run();
}

}  // namespace pithorama
