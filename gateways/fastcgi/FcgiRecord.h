// The record layer of FastCGI 1.0: the 8-byte record header, the fixed record
// bodies (begin request, end request, unknown type) and a reader that takes a
// connection's bytes in pieces of any size and hands out whole records.
//
//   TFcgiRecordReader reader;
//   std::string_view rest = bytesJustReceived;
//   for (;;) {
//     TFcgiReadStatus status = reader.Read(rest);
//     if (status == TFcgiReadStatus::NeedMore) break;        // receive more
//     if (status == TFcgiReadStatus::Failed) { log(FcgiErrorText(reader.Error())); close; }
//     Handle(reader.Header(), reader.Content());
//   }
//
// Nothing here touches a socket: the reader only sees the bytes it is given.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pithorama {

constexpr size_t kFcgiHeaderLength = 8;
constexpr uint8_t kFcgiVersion1 = 1;
// A record's content is at most this long (the length field has 16 bits).
constexpr size_t kFcgiMaxContentLength = 65535;
// Records with this request id are management records, about the connection
// rather than a request.
constexpr uint16_t kFcgiNullRequestId = 0;

// Record types.
constexpr uint8_t kFcgiBeginRequest = 1;
constexpr uint8_t kFcgiAbortRequest = 2;
constexpr uint8_t kFcgiEndRequest = 3;
constexpr uint8_t kFcgiParams = 4;
constexpr uint8_t kFcgiStdin = 5;
constexpr uint8_t kFcgiStdout = 6;
constexpr uint8_t kFcgiStderr = 7;
constexpr uint8_t kFcgiData = 8;
constexpr uint8_t kFcgiGetValues = 9;
constexpr uint8_t kFcgiGetValuesResult = 10;
constexpr uint8_t kFcgiUnknownType = 11;

// The flag of a begin-request body that keeps the connection open after the
// request ends; without it the application closes the connection.
constexpr uint8_t kFcgiKeepConn = 1;

// Roles a begin-request body asks for.
constexpr uint16_t kFcgiResponder = 1;
constexpr uint16_t kFcgiAuthorizer = 2;
constexpr uint16_t kFcgiFilter = 3;

// Protocol statuses of an end-request body.
constexpr uint8_t kFcgiRequestComplete = 0;
constexpr uint8_t kFcgiCantMpxConn = 1;
constexpr uint8_t kFcgiOverloaded = 2;
constexpr uint8_t kFcgiUnknownRole = 3;

struct TFcgiHeader {
  uint8_t Version = kFcgiVersion1;
  uint8_t Type = 0;
  uint16_t RequestId = 0;
  uint16_t ContentLength = 0;
  uint8_t PaddingLength = 0;
  uint8_t Reserved = 0;
};

// Every way the input of a connection can be malformed. Any of them ends the
// connection: after a broken record the byte stream cannot be trusted to
// find the next one.
enum class TFcgiError {
  None,
  BadVersion,           // the version byte is not 1
  ManagementRequestId,  // a management-only type carries a request id
  BadBodyLength,        // a type with a fixed body has a content of another length
  PairTooLong,          // a name or value length beyond kFcgiMaxParamsBytes
  ParamsTooLarge,       // one stream's pairs: more than kFcgiMaxParamsBytes or kFcgiMaxParamsCount
  TruncatedPair,        // the stream ended inside a name-value pair
};

// A short English description of `error` for the error log.
const char* FcgiErrorText(TFcgiError error);

// The header as on the wire: its 16-bit fields big-endian.
std::array<char, kFcgiHeaderLength> EncodeFcgiHeader(const TFcgiHeader& header);
// Reads the first kFcgiHeaderLength bytes of `bytes` (which must have them).
TFcgiHeader DecodeFcgiHeader(std::string_view bytes);

// A management record: request id 0. The application answers every
// management record whose type it does not serve (all but get-values) with
// an unknown-type record.
inline bool FcgiIsManagement(const TFcgiHeader& header) {
  return header.RequestId == kFcgiNullRequestId;
}

// Padding that brings a record of `contentLength` content bytes to a multiple
// of 8 bytes, as the protocol recommends for alignment.
inline uint8_t FcgiPaddingFor(size_t contentLength) {
  return static_cast<uint8_t>((8 - contentLength % 8) % 8);
}

// What a record's header alone says is wrong with it, or None. Checked: the
// version; that get-values, get-values-result and unknown-type records are
// management records; that begin-request, end-request and unknown-type
// records have their 8-byte bodies. Types the protocol does not define pass,
// so that the application can answer them with an unknown-type record.
TFcgiError CheckFcgiHeader(const TFcgiHeader& header);

struct TFcgiBeginRequest {
  uint16_t Role = 0;
  uint8_t Flags = 0;
  bool KeepConn() const { return (Flags & kFcgiKeepConn) != 0; }
};
struct TFcgiEndRequest {
  uint32_t AppStatus = 0;
  uint8_t ProtocolStatus = kFcgiRequestComplete;
};

// The 8-byte bodies. Each Decode reads the first 8 bytes of `body`, which
// must have them (the reader has checked the length of these types).
std::array<char, 8> EncodeBeginRequest(const TFcgiBeginRequest& body);
TFcgiBeginRequest DecodeBeginRequest(std::string_view body);
std::array<char, 8> EncodeEndRequest(const TFcgiEndRequest& body);
TFcgiEndRequest DecodeEndRequest(std::string_view body);
std::array<char, 8> EncodeUnknownType(uint8_t type);
uint8_t DecodeUnknownType(std::string_view body);

enum class TFcgiReadStatus { NeedMore, Record, Failed };

// Cuts a connection's byte stream into records. The input may arrive split at
// any byte; the records are the same however it is split. A record is handed
// out as soon as its content is complete; its padding is skipped on the way
// to the next header. One reader per connection; not for several threads.
class TFcgiRecordReader {
 public:
  // Takes bytes from the front of `input` up to the end of one record's
  // content. Answers Record when one is complete (then Header and Content
  // describe it), NeedMore when `input` is used up first, Failed on
  // malformed input (then and on every later call; see Error).
  //
  // Content views either the caller's bytes (when the whole content came in
  // one piece) or the reader's own buffer: it stays valid until the next call
  // to Read and, in the first case, as long as the caller's bytes do.
  TFcgiReadStatus Read(std::string_view& input);

  const TFcgiHeader& Header() const { return header_; }
  std::string_view Content() const { return content_; }
  TFcgiError Error() const { return error_; }
  // True when no byte of an unfinished record is held: a connection closed
  // now ends cleanly.
  bool AtBoundary() const { return step_ == TStep::Header && headerFill_ == 0; }

 private:
  enum class TStep { Header, Content, Padding, Failed };
  TFcgiReadStatus ReadHeader(std::string_view& input);
  TFcgiReadStatus ReadContent(std::string_view& input);

  TStep step_ = TStep::Header;
  std::array<char, kFcgiHeaderLength> headerBytes_{};
  size_t headerFill_ = 0;
  TFcgiHeader header_;
  // Holds the content of a record that came in several pieces.
  std::string buffer_;
  std::string_view content_;
  size_t paddingLeft_ = 0;
  TFcgiError error_ = TFcgiError::None;
};

}  // namespace pithorama
