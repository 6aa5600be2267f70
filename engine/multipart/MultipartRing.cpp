#include "pithorama/engine/multipart/MultipartRing.h"

#include <algorithm>
#include <cstring>

namespace pithorama {

TMultipartRing::TMultipartRing(TByteSource& source, int64_t contentLength)
    : source_(source),
      buffer_(std::make_unique<unsigned char[]>(Size)),
      remaining_(std::max<int64_t>(contentLength, 0)) {}

void TMultipartRing::Fill(bool force) {
  const int64_t room = Size - available_;
  const int64_t count = std::min(room, remaining_);
  if (count <= 0 || readError_) return;
  if (!force && room < Size / 2) return;
  const int64_t pos = (start_ + available_) & kMask;
  const int64_t first = std::min(count, Size - pos);
  if (ReadPiece(pos, first)) ReadPiece(0, count - first);
}

// Asks the source again for what is still missing until the piece is whole.
// A source that answers 0 while bytes are due would otherwise be asked
// forever, so that ends the reading as a failure does.
bool TMultipartRing::ReadPiece(int64_t pos, int64_t count) {
  while (count > 0) {
    const int64_t got = source_.Read(buffer_.get() + pos, static_cast<size_t>(count));
    if (got <= 0 || got > count) {
      readError_ = true;
      remaining_ = 0;
      return false;
    }
    pos += got;
    count -= got;
    available_ += got;
    remaining_ -= got;
  }
  return true;
}

void TMultipartRing::Consume(int64_t count) {
  count = std::clamp<int64_t>(count, 0, available_);
  start_ = (start_ + count) & kMask;
  available_ -= count;
}

int64_t TMultipartRing::Find(unsigned char c, int64_t from) const {
  while (from < available_) {
    const int64_t pos = (start_ + from) & kMask;
    const int64_t length = std::min(available_ - from, Size - pos);
    const void* hit = std::memchr(buffer_.get() + pos, c, static_cast<size_t>(length));
    if (hit) return from + (static_cast<const unsigned char*>(hit) - (buffer_.get() + pos));
    from += length;
  }
  return -1;
}

void TMultipartRing::AppendTo(std::string& text, int64_t from, int64_t to) const {
  ForEachPiece(from, to, [&](const char* data, size_t length) { text.append(data, length); });
}

}  // namespace pithorama
