#include "pithorama/engine/multipart/MultipartRing.h"

#include <algorithm>
#include <cstring>

namespace pithorama {

TMultipartRing::TMultipartRing(TByteSource& source, int64_t contentLength)
    : source_(source),
      buffer_(std::make_unique<unsigned char[]>(Capacity)),
      remaining_(std::max<int64_t>(contentLength, 0)) {}

// The source is asked only when the bytes read ahead do not cover the fill,
// and fails exactly where it would have failed had it been asked for the
// fill's bytes alone: a failed fill still shows what did arrive.
void TMultipartRing::Fill(bool force) {
  const int64_t room = Size - available_;
  const int64_t count = std::min(room, remaining_);
  if (count <= 0 || readError_) return;
  if (!force && room < Size / 2) return;
  while (ahead_ < count) {
    if (!ReadAhead()) {
      available_ += ahead_;
      ahead_ = 0;
      readError_ = true;
      remaining_ = 0;
      return;
    }
  }
  available_ += count;
  ahead_ -= count;
  remaining_ -= count;
}

// Reads into the free room after the bytes read ahead, up to the end of the
// memory or of the body. The window and the held bytes never fill the memory,
// so there is always room.
bool TMultipartRing::ReadAhead() {
  const int64_t end = start_ + available_ + ahead_;
  const int64_t room = Capacity - held_ - available_ - ahead_;
  const int64_t pos = end & kMask;
  const int64_t count = std::min({room, Capacity - pos, remaining_ - ahead_});
  const int64_t got = source_.Read(buffer_.get() + pos, static_cast<size_t>(count));
  if (got <= 0 || got > count) return false;
  ahead_ += got;
  return true;
}

void TMultipartRing::Consume(int64_t count) {
  count = std::clamp<int64_t>(count, 0, available_);
  start_ += count;
  available_ -= count;
}

void TMultipartRing::Hold(int64_t count) {
  count = std::clamp<int64_t>(count, 0, available_);
  start_ += count;
  available_ -= count;
  held_ += count;
}

int64_t TMultipartRing::Find(unsigned char c, int64_t from) const {
  while (from < available_) {
    const int64_t pos = (start_ + from) & kMask;
    const int64_t length = std::min(available_ - from, Capacity - pos);
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
