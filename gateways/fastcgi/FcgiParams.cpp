#include "pithorama/gateways/fastcgi/FcgiParams.h"

#include <algorithm>
#include <stdexcept>

namespace pithorama {

bool TFcgiParamsDecoder::Fail(TFcgiError error) {
  error_ = error;
  step_ = TStep::Failed;
  return false;
}

// Reads the length field at hand, one byte at a time so that a field split
// between pieces reads the same. Answers false when the field is incomplete
// or was refused (then step_ is Failed).
bool TFcgiParamsDecoder::FeedLength(std::string_view& bytes) {
  while (!bytes.empty()) {
    lengthBytes_[lengthFill_++] = static_cast<uint8_t>(bytes.front());
    bytes.remove_prefix(1);
    bool shortForm = (lengthBytes_[0] & 0x80) == 0;
    if (!shortForm && lengthFill_ < 4) continue;
    size_t length = shortForm ? lengthBytes_[0]
                              : (static_cast<size_t>(lengthBytes_[0] & 0x7f) << 24) |
                                    (static_cast<size_t>(lengthBytes_[1]) << 16) |
                                    (static_cast<size_t>(lengthBytes_[2]) << 8) | lengthBytes_[3];
    total_ += lengthFill_;
    lengthFill_ = 0;
    // Refused before any of its bytes arrive, so a huge length costs nothing.
    if (length > kFcgiMaxParamsBytes) return Fail(TFcgiError::PairTooLong);
    // No overflow: total_ stays within the limit plus one length field.
    if (total_ + length > kFcgiMaxParamsBytes) return Fail(TFcgiError::ParamsTooLarge);
    total_ += length;
    (step_ == TStep::NameLength ? nameLength_ : valueLength_) = length;
    return true;
  }
  return false;
}

void TFcgiParamsDecoder::FeedText(std::string_view& bytes, std::string& text, size_t length) {
  size_t take = std::min(length - text.size(), bytes.size());
  text.append(bytes.data(), take);
  bytes.remove_prefix(take);
}

bool TFcgiParamsDecoder::Feed(std::string_view bytes) {
  while (step_ != TStep::Failed) {
    switch (step_) {
      case TStep::NameLength:
      case TStep::ValueLength:
        if (!FeedLength(bytes)) return step_ != TStep::Failed;
        if (step_ == TStep::NameLength) {
          step_ = TStep::ValueLength;
        } else {
          current_.Name.reserve(nameLength_);
          current_.Value.reserve(valueLength_);
          step_ = TStep::Name;
        }
        break;
      case TStep::Name:
        FeedText(bytes, current_.Name, nameLength_);
        if (current_.Name.size() < nameLength_) return true;
        step_ = TStep::Value;
        break;
      case TStep::Value:
        FeedText(bytes, current_.Value, valueLength_);
        if (current_.Value.size() < valueLength_) return true;
        if (pairs_.size() == kFcgiMaxParamsCount) return Fail(TFcgiError::ParamsTooLarge);
        pairs_.push_back(std::move(current_));
        current_ = {};
        step_ = TStep::NameLength;
        break;
      case TStep::Failed:
        break;
    }
  }
  return false;
}

bool TFcgiParamsDecoder::Finish() {
  if (step_ == TStep::Failed) return false;
  if (step_ != TStep::NameLength || lengthFill_ != 0) return Fail(TFcgiError::TruncatedPair);
  return true;
}

bool DecodeFcgiPairs(std::string_view content, std::vector<TFcgiPair>& pairs) {
  TFcgiParamsDecoder decoder;
  bool ok = decoder.Feed(content) && decoder.Finish();
  for (TFcgiPair& pair : decoder.Pairs()) pairs.push_back(std::move(pair));
  return ok;
}

namespace {

void AppendLength(std::string& out, size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<char>(length));
    return;
  }
  out.push_back(static_cast<char>(0x80 | (length >> 24)));
  out.push_back(static_cast<char>((length >> 16) & 0xff));
  out.push_back(static_cast<char>((length >> 8) & 0xff));
  out.push_back(static_cast<char>(length & 0xff));
}

}  // namespace

void AppendFcgiPair(std::string& out, std::string_view name, std::string_view value) {
  // Checked before anything is appended, so `out` is unchanged on a throw.
  if (name.size() > kFcgiMaxPairLength || value.size() > kFcgiMaxPairLength) {
    throw std::length_error("name-value pair too long");
  }
  AppendLength(out, name.size());
  AppendLength(out, value.size());
  out.append(name);
  out.append(value);
}

std::string FcgiGetValuesContent(const std::vector<TFcgiPair>& asked,
                                 const TFcgiCapacity& capacity) {
  const struct {
    std::string_view name;
    std::string value;
  } known[] = {
      {kFcgiMaxConns, std::to_string(capacity.MaxConns)},
      {kFcgiMaxReqs, std::to_string(capacity.MaxReqs)},
      {kFcgiMpxsConns, capacity.MpxsConns ? "1" : "0"},
  };
  bool answered[std::size(known)] = {};
  std::string content;
  for (const TFcgiPair& question : asked) {
    for (size_t i = 0; i < std::size(known); ++i) {
      if (answered[i] || question.Name != known[i].name) continue;
      AppendFcgiPair(content, known[i].name, known[i].value);
      answered[i] = true;
    }
  }
  return content;
}

}  // namespace pithorama
