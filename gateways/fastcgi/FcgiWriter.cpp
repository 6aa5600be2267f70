#include "pithorama/gateways/fastcgi/FcgiWriter.h"

#include <stdexcept>
#include <string>

namespace pithorama {

namespace {

// Enough zeros for the longest padding FcgiPaddingFor asks for.
constexpr char kZeros[8] = {};

}  // namespace

void TFcgiWriter::WriteRecord(uint8_t type, uint16_t requestId, std::string_view content) {
  if (content.size() > kFcgiMaxContentLength) throw std::length_error("record content too long");
  TFcgiHeader header;
  header.Type = type;
  header.RequestId = requestId;
  header.ContentLength = static_cast<uint16_t>(content.size());
  header.PaddingLength = FcgiPaddingFor(content.size());
  auto head = EncodeFcgiHeader(header);
  sink_.PutRecord(std::string_view(head.data(), head.size()), content,
                  std::string_view(kZeros, header.PaddingLength));
}

void TFcgiWriter::WriteStream(uint8_t type, uint16_t requestId, std::string_view data) {
  while (!data.empty()) {
    std::string_view chunk = data.substr(0, kFcgiMaxContentLength);
    WriteRecord(type, requestId, chunk);
    data.remove_prefix(chunk.size());
  }
}

void TFcgiWriter::EndStream(uint8_t type, uint16_t requestId) { WriteRecord(type, requestId, {}); }

void TFcgiWriter::WriteEndRequest(uint16_t requestId, uint32_t appStatus, uint8_t protocolStatus) {
  auto body = EncodeEndRequest({appStatus, protocolStatus});
  WriteRecord(kFcgiEndRequest, requestId, std::string_view(body.data(), body.size()));
}

void TFcgiWriter::WriteUnknownType(uint8_t type) {
  auto body = EncodeUnknownType(type);
  WriteRecord(kFcgiUnknownType, kFcgiNullRequestId, std::string_view(body.data(), body.size()));
}

void TFcgiWriter::WriteGetValuesResult(const std::vector<TFcgiPair>& asked,
                                       const TFcgiCapacity& capacity) {
  // At most three short pairs, far below a record's limit.
  std::string content = FcgiGetValuesContent(asked, capacity);
  WriteRecord(kFcgiGetValuesResult, kFcgiNullRequestId, content);
}

}  // namespace pithorama
