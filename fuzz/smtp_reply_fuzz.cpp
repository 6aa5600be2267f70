// The SMTP reply reader on any bytes, cut into pieces where the input says:
// no crash, no endless loop, nothing held beyond its limit, and every
// complete reply ends in a line feed.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "pithorama/mail/SmtpReply.h"

namespace {

// The first byte of each piece gives its length; the source ends (closed or
// timed out, as the input's first byte says) when the bytes run out.
class FuzzSource : public pithorama::TReplySource {
 public:
  FuzzSource(const uint8_t* data, size_t size, bool closes)
      : data_(data), size_(size), closes_(closes) {}
  bool ReadAvailable(std::string& into) override {
    if (size_ == 0) return !closes_;
    size_t length = std::min<size_t>(size_ - 1, data_[0]);
    into.append(reinterpret_cast<const char*>(data_ + 1), length);
    data_ += length + 1;
    size_ -= length + 1;
    return true;
  }
  bool WaitForMore() override { return size_ > 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  bool closes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FuzzSource source(data + 1, size - 1, data[0] & 1);
  pithorama::TReplyReader reader;
  for (int replies = 0; replies < 100000; ++replies) {
    pithorama::TSmtpReply reply;
    pithorama::TReplyStatus status = reader.Read(source, reply);
    if (status != pithorama::TReplyStatus::Complete) break;
    if (!reply.Text.ends_with("\n") || reply.Code < -1 || reply.Code > 999 ||
        reply.Text.size() > pithorama::TReplyReader::MaxReplySize + 1 + 255)
      std::abort();
  }
  return 0;
}
