// Name-value pairs of FastCGI 1.0: the request's variables in the params
// stream, and the names and values of get-values and get-values-result
// records. Each length is one byte when below 128, otherwise four bytes,
// big-endian, with the high bit of the first set:
//
//   nameLength valueLength nameBytes valueBytes
//
//   TFcgiParamsDecoder params;
//   params.Feed(recordContent);          // for each params record with content
//   params.Finish();                     // at the empty record that ends the stream
//   for (const TFcgiPair& pair : params.Pairs()) ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pithorama/gateways/fastcgi/FcgiRecord.h"

namespace pithorama {

// The most bytes the pairs of one stream may take, length fields included,
// and so the longest single name or value. Web servers send the request's
// header lines as variables and limit them to some tens of kilobytes
// (8 KiB per line is usual), so 1 MiB leaves room for generous settings while
// a peer that declares a length of up to 2 GiB costs no memory: the length is
// refused before any of its bytes is kept.
constexpr size_t kFcgiMaxParamsBytes = 1 << 20;

// The most pairs one stream may hold. Each costs some memory beyond its bytes,
// so many empty pairs are bounded on their own; servers send a few dozen
// (the request's header lines among them).
constexpr size_t kFcgiMaxParamsCount = 4096;

// The longest length the four-byte form can carry.
constexpr uint32_t kFcgiMaxPairLength = 0x7fffffff;

// Names a web server may ask for with a get-values record.
inline constexpr std::string_view kFcgiMaxConns = "FCGI_MAX_CONNS";
inline constexpr std::string_view kFcgiMaxReqs = "FCGI_MAX_REQS";
inline constexpr std::string_view kFcgiMpxsConns = "FCGI_MPXS_CONNS";

struct TFcgiPair {
  std::string Name;
  std::string Value;
  bool operator==(const TFcgiPair&) const = default;
};

// Decodes one stream of pairs handed over in pieces split at any byte. After
// an error every later Feed and Finish fails too. One decoder per stream.
class TFcgiParamsDecoder {
 public:
  // Takes the next piece of the stream. False on malformed or oversized input.
  bool Feed(std::string_view bytes);
  // Marks the end of the stream: false when it ends inside a pair.
  bool Finish();

  // The pairs completed so far, in the order of the stream.
  const std::vector<TFcgiPair>& Pairs() const { return pairs_; }
  std::vector<TFcgiPair>& Pairs() { return pairs_; }
  TFcgiError Error() const { return error_; }

 private:
  enum class TStep { NameLength, ValueLength, Name, Value, Failed };
  bool FeedLength(std::string_view& bytes);
  void FeedText(std::string_view& bytes, std::string& text, size_t length);
  bool Fail(TFcgiError error);

  TStep step_ = TStep::NameLength;
  // The bytes of the length being read: 1, or 4 once the first has its high bit.
  uint8_t lengthBytes_[4] = {};
  size_t lengthFill_ = 0;
  size_t nameLength_ = 0;
  size_t valueLength_ = 0;
  size_t total_ = 0;
  TFcgiPair current_;
  std::vector<TFcgiPair> pairs_;
  TFcgiError error_ = TFcgiError::None;
};

// Decodes the whole of `content` (one record's pairs) into `pairs`. False on
// malformed input; the pairs before the fault are kept.
bool DecodeFcgiPairs(std::string_view content, std::vector<TFcgiPair>& pairs);

// Appends one pair to `out`. Throws std::length_error for a name or value
// longer than kFcgiMaxPairLength, which no length field can carry.
void AppendFcgiPair(std::string& out, std::string_view name, std::string_view value);

// What the application tells a web server that asks about its capacity.
struct TFcgiCapacity {
  unsigned MaxConns = 1;
  unsigned MaxReqs = 1;
  bool MpxsConns = false;
};

// The content of a get-values-result answer to the names in `asked`: each
// name the protocol defines, once, with its value; names it does not define
// are left out, and values that came with the question are ignored.
std::string FcgiGetValuesContent(const std::vector<TFcgiPair>& asked,
                                 const TFcgiCapacity& capacity);

}  // namespace pithorama
