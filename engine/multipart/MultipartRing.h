// The decoder's input ring. The decoder sees a window of up to 32768 bytes of
// the body between the consumed part (before Start) and the part not yet made
// visible (Remaining); offsets passed to the ring count from Start and are
// valid below Available(). Behind the window the ring reads ahead from the
// source in large pieces, and upload bytes the decoder has passed may be held
// (not yet written) before it, so that an upload costs a few large reads and
// writes instead of many small ones. No operation ever touches a byte the
// body did not fill.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "pithorama/engine/multipart/MultipartStream.h"

namespace pithorama {

class TMultipartRing {
 public:
  // The window: what the decoder's rules see at once.
  static constexpr int64_t Size = 32768;
  // The memory behind it: the window, the bytes read ahead and the held ones.
  static constexpr int64_t Capacity = 512 * 1024;
  // Held bytes the decoder lets grow at most this far before it writes them.
  static constexpr int64_t HoldLimit = 256 * 1024;

  // The source must outlive the ring. A negative length counts as 0.
  TMultipartRing(TByteSource& source, int64_t contentLength);

  // Makes min(free room of the window, Remaining) more bytes visible after
  // the unconsumed ones, reading from the source as far as that needs.
  // Without `force` it waits until at least half the window is free, so small
  // parts do not cost a fill each. A negative count from the source, more than
  // it was asked for, or 0 while bytes are still due sets ReadError and ends
  // all further reading.
  void Fill(bool force);

  unsigned char At(int64_t offset) const { return buffer_[(start_ + offset) & kMask]; }
  int64_t Available() const { return available_; }
  int64_t Remaining() const { return remaining_; }
  bool ReadError() const { return readError_; }
  bool Full() const { return available_ == Size; }
  // True when every byte of the body has been made visible.
  bool BodyRead() const { return remaining_ == 0; }

  // Drops count bytes (at most Available()) from the front.
  void Consume(int64_t count);

  // Takes count bytes (at most Available()) from the front but keeps them in
  // memory, after the ones held before, until ReleaseHeld. Nothing may be
  // consumed between holds.
  void Hold(int64_t count);
  int64_t Held() const { return held_; }
  void ReleaseHeld() { held_ = 0; }

  // Offset of the first byte equal to c in [from, Available()), or -1.
  int64_t Find(unsigned char c, int64_t from) const;

  // Calls piece(pointer, length) for the bytes [from, to) in one or two
  // contiguous pieces.
  template <typename Piece>
  void ForEachPiece(int64_t from, int64_t to, Piece&& piece) const {
    Pieces(start_ + from, to - from, piece);
  }
  // The same for the held bytes.
  template <typename Piece>
  void ForEachHeldPiece(Piece&& piece) const {
    Pieces(start_ - held_, held_, piece);
  }

  void AppendTo(std::string& text, int64_t from, int64_t to) const;

 private:
  static constexpr int64_t kMask = Capacity - 1;
  bool ReadAhead();

  template <typename Piece>
  void Pieces(int64_t at, int64_t count, Piece& piece) const {
    while (count > 0) {
      const int64_t pos = at & kMask;
      const int64_t length = std::min(count, Capacity - pos);
      piece(reinterpret_cast<const char*>(buffer_.get() + pos), static_cast<size_t>(length));
      at += length;
      count -= length;
    }
  }

  TByteSource& source_;
  std::unique_ptr<unsigned char[]> buffer_;
  int64_t start_ = 0;  // grows without bound; positions are taken modulo Capacity
  int64_t available_ = 0;
  int64_t ahead_ = 0;  // read from the source after the window, not yet visible
  int64_t held_ = 0;   // before start_
  int64_t remaining_;  // not yet visible (read ahead or not yet read)
  bool readError_ = false;
};

}  // namespace pithorama
