// Reading SMTP replies (RFC 5321, 4.2). A reply is one or more lines ending in
// CR LF, or in a bare LF as some servers send; every line but the last has a
// hyphen after its three-digit code
// ("250-SIZE"), the last has a blank or nothing there ("250 OK", "250"). The
// reader gathers bytes until such a last line has arrived, whatever pieces the
// bytes came in, and keeps bytes past it for the next reply.
//
//   TReplyReader reader;
//   TSmtpReply reply;
//   switch (reader.Read(source, reply)) { case TReplyStatus::Complete: ... }
#pragma once

#include <cstddef>
#include <string>

namespace pithorama {

// Where reply bytes come from: the connection in TSmtpSendMail, a string in
// tests and fuzzers.
class TReplySource {
 public:
  virtual ~TReplySource() = default;
  // Appends the bytes that are there now to `into`, without waiting. Answers
  // false when no more bytes will ever come (the peer closed, the connection
  // failed).
  virtual bool ReadAvailable(std::string& into) = 0;
  // Waits until more bytes may be there. Answers false when the time allowed
  // has passed.
  virtual bool WaitForMore() = 0;
};

struct TSmtpReply {
  int Code = -1;     // the code of the last line, or -1 when it has none
  std::string Text;  // the whole reply, every line with its line end
};

enum class TReplyStatus {
  Complete,  // a whole reply was read
  Closed,    // the source ended first; Text holds what had come
  TimedOut,  // the time allowed passed first
  TooLong,   // more than MaxReplySize bytes without an end: not an SMTP server
};

class TReplyReader {
 public:
  // Far above what any server sends (RFC 5321 allows 512 bytes a line), low
  // enough that a peer cannot make us hold much.
  static constexpr size_t MaxReplySize = 64 * 1024;

  TReplyStatus Read(TReplySource& source, TSmtpReply& reply);
  // Forgets bytes kept from an earlier connection.
  void Reset();

 private:
  // The end of the first whole reply in pending_, or npos. Resumes where the
  // previous call stopped, so bytes that trickle in are scanned once.
  size_t FindReplyEnd();

  std::string pending_;
  size_t lineStart_ = 0;  // start of the first line not known to be a continuation
  size_t scanned_ = 0;    // bytes of that line already searched for its LF
};

// The code of a reply line: its first three characters as a number, or -1.
int ReplyLineCode(const std::string& line);

}  // namespace pithorama
