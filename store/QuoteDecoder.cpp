#include "pithorama/store/QuoteDecoder.h"

namespace pithorama {

size_t TQuoteDecoder::Feed(std::string_view bytes) {
  if (ended_) return 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    auto b = static_cast<unsigned char>(bytes[i]);
    if (b == QuoteDelimiter) {
      // The line that has no carriage return yet is lost with the quote's end.
      ended_ = true;
      current_.clear();
      return i + 1;
    }
    if (b == 13) {
      EndLine();
    } else if (b >= 32 && b <= 125) {
      current_.push_back(static_cast<char>(b));
    }
  }
  return bytes.size();
}

void TQuoteDecoder::EndLine() {
  if (current_ == " ") current_.clear();
  if (!current_.empty()) lines_.push_back(std::move(current_));
  current_.clear();
}

}  // namespace pithorama
