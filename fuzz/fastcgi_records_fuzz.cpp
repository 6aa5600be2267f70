// The FastCGI record layer on any bytes a web server might send: the reader
// must give the same records however the bytes are split, every params
// stream must decode without fault or fail cleanly and encode back to the
// same pairs, and every get-values answer must read back as a record.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pithorama/gateways/fastcgi/FcgiParams.h"
#include "pithorama/gateways/fastcgi/FcgiRecord.h"
#include "pithorama/gateways/fastcgi/FcgiWriter.h"

using namespace pithorama;

namespace {

struct TSeen {
  std::vector<std::pair<TFcgiHeader, std::string>> Records;
  TFcgiError Error = TFcgiError::None;
};

// Reads `bytes` in pieces of `step` bytes (all at once when 0).
TSeen ReadInPieces(std::string_view bytes, size_t step) {
  TFcgiRecordReader reader;
  TSeen seen;
  while (!bytes.empty()) {
    std::string_view piece = step == 0 ? bytes : bytes.substr(0, step);
    bytes.remove_prefix(piece.size());
    for (;;) {
      TFcgiReadStatus status = reader.Read(piece);
      if (status == TFcgiReadStatus::NeedMore) break;
      if (status == TFcgiReadStatus::Failed) {
        seen.Error = reader.Error();
        return seen;
      }
      if (reader.Content().size() != reader.Header().ContentLength) __builtin_trap();
      seen.Records.emplace_back(reader.Header(), std::string(reader.Content()));
    }
  }
  return seen;
}

bool SameRecords(const TSeen& a, const TSeen& b) {
  if (a.Error != b.Error || a.Records.size() != b.Records.size()) return false;
  for (size_t i = 0; i < a.Records.size(); ++i) {
    const TFcgiHeader& x = a.Records[i].first;
    const TFcgiHeader& y = b.Records[i].first;
    if (x.Type != y.Type || x.RequestId != y.RequestId ||
        a.Records[i].second != b.Records[i].second) {
      return false;
    }
  }
  return true;
}

class TStringSink : public TFcgiSink {
 public:
  void PutRecord(std::string_view header, std::string_view content,
                 std::string_view padding) override {
    Wire.append(header).append(content).append(padding);
  }
  std::string Wire;
};

void CheckParams(const std::vector<std::string>& pieces) {
  TFcgiParamsDecoder decoder;
  for (const std::string& piece : pieces) {
    if (!decoder.Feed(piece)) return;
  }
  if (!decoder.Finish()) return;
  std::string again;
  for (const TFcgiPair& pair : decoder.Pairs()) AppendFcgiPair(again, pair.Name, pair.Value);
  std::vector<TFcgiPair> back;
  if (!DecodeFcgiPairs(again, back) || back != decoder.Pairs()) __builtin_trap();
}

void AnswerGetValues(std::string_view content) {
  std::vector<TFcgiPair> asked;
  DecodeFcgiPairs(content, asked);
  TStringSink sink;
  TFcgiWriter(sink).WriteGetValuesResult(asked, {4, 4, false});
  TSeen answer = ReadInPieces(sink.Wire, 0);
  if (answer.Error != TFcgiError::None || answer.Records.size() != 1) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses how the rest is split.
  size_t step = data[0] % 17 + 1;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  TSeen whole = ReadInPieces(bytes, 0);
  if (!SameRecords(whole, ReadInPieces(bytes, step))) __builtin_trap();

  // One params stream at a time: each empty params record ends one.
  std::vector<std::string> params;
  for (const auto& [header, content] : whole.Records) {
    if (header.Type == kFcgiGetValues) AnswerGetValues(content);
    if (header.Type != kFcgiParams) continue;
    if (!content.empty()) {
      params.push_back(content);
      continue;
    }
    CheckParams(params);
    params.clear();
  }
  CheckParams(params);
  return 0;
}
