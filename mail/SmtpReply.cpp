#include "pithorama/mail/SmtpReply.h"

#include <algorithm>

namespace pithorama {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "NNN-" begins a line that another line of the same reply follows.
bool IsContinuation(const std::string& text, size_t start, size_t end) {
  return end - start >= 4 && IsDigit(text[start]) && IsDigit(text[start + 1]) &&
         IsDigit(text[start + 2]) && text[start + 3] == '-';
}

}  // namespace

int ReplyLineCode(const std::string& line) {
  if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) return -1;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

size_t TReplyReader::FindReplyEnd() {
  for (;;) {
    size_t lineFeed = pending_.find('\n', std::max(scanned_, lineStart_));
    if (lineFeed == std::string::npos) {
      scanned_ = pending_.size();
      return std::string::npos;
    }
    size_t next = lineFeed + 1;
    if (!IsContinuation(pending_, lineStart_, lineFeed)) return next;
    lineStart_ = scanned_ = next;
  }
}

TReplyStatus TReplyReader::Read(TReplySource& source, TSmtpReply& reply) {
  reply = TSmtpReply();
  for (;;) {
    size_t end = FindReplyEnd();
    if (end != std::string::npos) {
      reply.Code = ReplyLineCode(pending_.substr(lineStart_, end - lineStart_));
      reply.Text = pending_.substr(0, end);
      pending_.erase(0, end);
      lineStart_ = scanned_ = 0;
      return TReplyStatus::Complete;
    }
    if (pending_.size() > MaxReplySize) {
      Reset();
      return TReplyStatus::TooLong;
    }
    size_t before = pending_.size();
    bool open = source.ReadAvailable(pending_);
    if (pending_.size() != before) continue;
    if (!open) {
      reply.Text = pending_;
      Reset();
      return TReplyStatus::Closed;
    }
    if (!source.WaitForMore()) return TReplyStatus::TimedOut;
  }
}

void TReplyReader::Reset() {
  pending_.clear();
  lineStart_ = scanned_ = 0;
}

}  // namespace pithorama
