// Small helpers the record-layer tests share: records as the web server
// sends them, a sink that keeps what the writer forms, and a reader loop.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "pithorama/gateways/fastcgi/FcgiRecord.h"
#include "pithorama/gateways/fastcgi/FcgiWriter.h"

namespace pithorama::test {

using namespace pithorama;

// One record on the wire: header, content, `padding` bytes of 'p' (any
// value is allowed there, so not zeros).
inline std::string Record(uint8_t type, uint16_t id, std::string_view content, uint8_t padding = 0,
                          uint8_t version = kFcgiVersion1) {
  TFcgiHeader header;
  header.Version = version;
  header.Type = type;
  header.RequestId = id;
  header.ContentLength = static_cast<uint16_t>(content.size());
  header.PaddingLength = padding;
  auto head = EncodeFcgiHeader(header);
  return std::string(head.data(), head.size()) + std::string(content) + std::string(padding, 'p');
}

inline std::string Bytes(const std::array<char, 8>& body) { return std::string(body.data(), 8); }

struct TReadRecord {
  uint8_t Type;
  uint16_t RequestId;
  std::string Content;
  bool operator==(const TReadRecord&) const = default;
};

struct TReadResult {
  std::vector<TReadRecord> Records;
  TFcgiError Error = TFcgiError::None;
  bool AtBoundary = true;
};

// Feeds `pieces` in order to one reader and collects what it hands out.
inline TReadResult ReadPieces(const std::vector<std::string_view>& pieces) {
  TFcgiRecordReader reader;
  TReadResult result;
  for (std::string_view rest : pieces) {
    for (;;) {
      TFcgiReadStatus status = reader.Read(rest);
      if (status == TFcgiReadStatus::NeedMore) break;
      if (status == TFcgiReadStatus::Failed) {
        result.Error = reader.Error();
        return result;
      }
      result.Records.push_back(
          {reader.Header().Type, reader.Header().RequestId, std::string(reader.Content())});
    }
  }
  result.AtBoundary = reader.AtBoundary();
  return result;
}

inline TReadResult ReadAll(std::string_view bytes) { return ReadPieces({bytes}); }

// Keeps every record the writer forms, as pieces and as one byte string.
class TStringSink : public TFcgiSink {
 public:
  struct TPut {
    std::string Header, Padding;
    std::string_view Content;  // as handed over, to see that nothing was copied
  };
  void PutRecord(std::string_view header, std::string_view content,
                 std::string_view padding) override {
    Puts.push_back({std::string(header), std::string(padding), content});
    Wire.append(header).append(content).append(padding);
  }
  std::vector<TPut> Puts;
  std::string Wire;
};

}  // namespace pithorama::test
