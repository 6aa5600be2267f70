// The decoder's input ring: 32768 bytes of the body between the consumed part
// (before Start) and the part not yet read (Remaining). Offsets passed to the
// ring count from Start and are valid below Available(); no operation ever
// touches a byte the body did not fill.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "pithorama/engine/multipart/MultipartStream.h"

namespace pithorama {

class TMultipartRing {
 public:
  static constexpr int64_t Size = 32768;

  // The source must outlive the ring. A negative length counts as 0.
  TMultipartRing(TByteSource& source, int64_t contentLength);

  // Reads min(free room, Remaining) bytes after the unconsumed ones, in two
  // pieces when they pass the ring's end. Without `force` it waits until at
  // least half the ring is free, so small parts do not cost a read each. A
  // negative count, or 0 while bytes are still due, sets ReadError and ends
  // all further reading.
  void Fill(bool force);

  unsigned char At(int64_t offset) const { return buffer_[(start_ + offset) & kMask]; }
  int64_t Available() const { return available_; }
  int64_t Remaining() const { return remaining_; }
  bool ReadError() const { return readError_; }
  bool Full() const { return available_ == Size; }
  // True when every byte of the body has been read into the ring.
  bool BodyRead() const { return remaining_ == 0; }

  // Drops count bytes (at most Available()) from the front.
  void Consume(int64_t count);

  // Offset of the first byte equal to c in [from, Available()), or -1.
  int64_t Find(unsigned char c, int64_t from) const;

  // Calls piece(pointer, length) for the bytes [from, to) in one or two
  // contiguous pieces.
  template <typename Piece>
  void ForEachPiece(int64_t from, int64_t to, Piece&& piece) const {
    while (from < to) {
      const int64_t pos = (start_ + from) & kMask;
      const int64_t length = std::min(to - from, Size - pos);
      piece(reinterpret_cast<const char*>(buffer_.get() + pos), static_cast<size_t>(length));
      from += length;
    }
  }

  void AppendTo(std::string& text, int64_t from, int64_t to) const;

 private:
  static constexpr int64_t kMask = Size - 1;
  bool ReadPiece(int64_t pos, int64_t count);

  TByteSource& source_;
  std::unique_ptr<unsigned char[]> buffer_;
  int64_t start_ = 0;
  int64_t available_ = 0;
  int64_t remaining_;
  bool readError_ = false;
};

}  // namespace pithorama
