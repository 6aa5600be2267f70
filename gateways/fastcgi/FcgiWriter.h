// Forms the records an application sends: stream records (standard output,
// standard error), the end of a request, the answer to a record type it does
// not serve, and the answer to a get-values question. Every record is padded
// to a multiple of 8 bytes.
//
//   struct TSocketSink : TFcgiSink { ... one gathered send per record ... };
//   TFcgiWriter writer(sink);
//   writer.WriteStream(kFcgiStdout, id, answerBytes);   // as often as needed
//   writer.EndStream(kFcgiStdout, id);
//   writer.WriteEndRequest(id, 0, kFcgiRequestComplete);
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "pithorama/gateways/fastcgi/FcgiParams.h"
#include "pithorama/gateways/fastcgi/FcgiRecord.h"

namespace pithorama {

// Where formed records go, one record per call, in three pieces: the 8-byte
// header, the content, and the padding (possibly empty). The pieces are only
// valid during the call; the content is the caller's own bytes, so a sink
// that sends them at once (say with one gathered write) copies nothing.
// A sink that cannot deliver throws; the writer keeps no state to undo.
class TFcgiSink {
 public:
  virtual ~TFcgiSink() = default;
  virtual void PutRecord(std::string_view header, std::string_view content,
                         std::string_view padding) = 0;
};

// Not for several threads at once: the caller orders the records of a
// connection. The sink must outlive the writer.
class TFcgiWriter {
 public:
  explicit TFcgiWriter(TFcgiSink& sink) : sink_(sink) {}

  // One record of `type` with `content` (at most kFcgiMaxContentLength bytes;
  // throws std::length_error otherwise).
  void WriteRecord(uint8_t type, uint16_t requestId, std::string_view content);

  // `data` as records of `type` with at most kFcgiMaxContentLength bytes
  // each. Empty data writes nothing: an empty stream record would end the
  // stream, which only EndStream does.
  void WriteStream(uint8_t type, uint16_t requestId, std::string_view data);
  // The empty record that ends a stream.
  void EndStream(uint8_t type, uint16_t requestId);

  void WriteEndRequest(uint16_t requestId, uint32_t appStatus, uint8_t protocolStatus);
  // The management answer to a record of `type` the application does not serve.
  void WriteUnknownType(uint8_t type);
  // The management answer to a get-values record whose pairs are `asked`.
  void WriteGetValuesResult(const std::vector<TFcgiPair>& asked, const TFcgiCapacity& capacity);

 private:
  TFcgiSink& sink_;
};

}  // namespace pithorama
