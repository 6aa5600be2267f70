#include "pithorama/gateways/fastcgi/FcgiRecord.h"

#include <algorithm>

namespace pithorama {

namespace {

uint8_t Byte(std::string_view bytes, size_t at) { return static_cast<uint8_t>(bytes[at]); }

uint16_t Read16(std::string_view bytes, size_t at) {
  return static_cast<uint16_t>(Byte(bytes, at) << 8 | Byte(bytes, at + 1));
}

void Put16(char* out, uint16_t value) {
  out[0] = static_cast<char>(value >> 8);
  out[1] = static_cast<char>(value & 0xff);
}

// The types whose bodies have a fixed length of 8 bytes.
bool HasEightByteBody(uint8_t type) {
  return type == kFcgiBeginRequest || type == kFcgiEndRequest || type == kFcgiUnknownType;
}

// The types that only exist as management records.
bool IsManagementType(uint8_t type) {
  return type == kFcgiGetValues || type == kFcgiGetValuesResult || type == kFcgiUnknownType;
}

}  // namespace

const char* FcgiErrorText(TFcgiError error) {
  switch (error) {
    case TFcgiError::None:
      return "no error";
    case TFcgiError::BadVersion:
      return "record of an unknown protocol version";
    case TFcgiError::ManagementRequestId:
      return "management record with a request id";
    case TFcgiError::BadBodyLength:
      return "record body of the wrong length for its type";
    case TFcgiError::PairTooLong:
      return "name-value pair longer than the limit";
    case TFcgiError::ParamsTooLarge:
      return "name-value pairs of a request larger than the limit";
    case TFcgiError::TruncatedPair:
      return "name-value pair cut off at the end of its stream";
  }
  return "unknown error";
}

std::array<char, kFcgiHeaderLength> EncodeFcgiHeader(const TFcgiHeader& header) {
  std::array<char, kFcgiHeaderLength> out{};
  out[0] = static_cast<char>(header.Version);
  out[1] = static_cast<char>(header.Type);
  Put16(&out[2], header.RequestId);
  Put16(&out[4], header.ContentLength);
  out[6] = static_cast<char>(header.PaddingLength);
  out[7] = static_cast<char>(header.Reserved);
  return out;
}

TFcgiHeader DecodeFcgiHeader(std::string_view bytes) {
  TFcgiHeader header;
  header.Version = Byte(bytes, 0);
  header.Type = Byte(bytes, 1);
  header.RequestId = Read16(bytes, 2);
  header.ContentLength = Read16(bytes, 4);
  header.PaddingLength = Byte(bytes, 6);
  header.Reserved = Byte(bytes, 7);
  return header;
}

TFcgiError CheckFcgiHeader(const TFcgiHeader& header) {
  if (header.Version != kFcgiVersion1) return TFcgiError::BadVersion;
  if (IsManagementType(header.Type) && !FcgiIsManagement(header)) {
    return TFcgiError::ManagementRequestId;
  }
  if (HasEightByteBody(header.Type) && header.ContentLength != 8) return TFcgiError::BadBodyLength;
  return TFcgiError::None;
}

std::array<char, 8> EncodeBeginRequest(const TFcgiBeginRequest& body) {
  std::array<char, 8> out{};
  Put16(&out[0], body.Role);
  out[2] = static_cast<char>(body.Flags);
  return out;
}

TFcgiBeginRequest DecodeBeginRequest(std::string_view body) {
  TFcgiBeginRequest result;
  result.Role = Read16(body, 0);
  result.Flags = Byte(body, 2);
  return result;
}

std::array<char, 8> EncodeEndRequest(const TFcgiEndRequest& body) {
  std::array<char, 8> out{};
  Put16(&out[0], static_cast<uint16_t>(body.AppStatus >> 16));
  Put16(&out[2], static_cast<uint16_t>(body.AppStatus & 0xffff));
  out[4] = static_cast<char>(body.ProtocolStatus);
  return out;
}

TFcgiEndRequest DecodeEndRequest(std::string_view body) {
  TFcgiEndRequest result;
  result.AppStatus = static_cast<uint32_t>(Read16(body, 0)) << 16 | Read16(body, 2);
  result.ProtocolStatus = Byte(body, 4);
  return result;
}

std::array<char, 8> EncodeUnknownType(uint8_t type) {
  std::array<char, 8> out{};
  out[0] = static_cast<char>(type);
  return out;
}

uint8_t DecodeUnknownType(std::string_view body) { return Byte(body, 0); }

TFcgiReadStatus TFcgiRecordReader::Read(std::string_view& input) {
  for (;;) {
    switch (step_) {
      case TStep::Failed:
        return TFcgiReadStatus::Failed;
      case TStep::Padding: {
        size_t skip = std::min(paddingLeft_, input.size());
        input.remove_prefix(skip);
        paddingLeft_ -= skip;
        if (paddingLeft_ > 0) return TFcgiReadStatus::NeedMore;
        step_ = TStep::Header;
        break;
      }
      case TStep::Header: {
        TFcgiReadStatus status = ReadHeader(input);
        if (status != TFcgiReadStatus::Record) return status;
        break;
      }
      case TStep::Content:
        return ReadContent(input);
    }
  }
}

// Collects the 8 header bytes and checks them. Answers Record to mean "go on
// to the content"; a record without content is finished here.
TFcgiReadStatus TFcgiRecordReader::ReadHeader(std::string_view& input) {
  size_t take = std::min(kFcgiHeaderLength - headerFill_, input.size());
  std::copy_n(input.data(), take, headerBytes_.data() + headerFill_);
  input.remove_prefix(take);
  headerFill_ += take;
  if (headerFill_ < kFcgiHeaderLength) return TFcgiReadStatus::NeedMore;
  headerFill_ = 0;
  header_ = DecodeFcgiHeader(std::string_view(headerBytes_.data(), headerBytes_.size()));
  error_ = CheckFcgiHeader(header_);
  if (error_ != TFcgiError::None) {
    step_ = TStep::Failed;
    return TFcgiReadStatus::Failed;
  }
  buffer_.clear();
  content_ = {};
  paddingLeft_ = header_.PaddingLength;
  step_ = TStep::Content;
  return TFcgiReadStatus::Record;
}

// Collects the content; when it all lies in `input`, hands it out in place.
TFcgiReadStatus TFcgiRecordReader::ReadContent(std::string_view& input) {
  size_t length = header_.ContentLength;
  if (buffer_.empty() && input.size() >= length) {
    content_ = input.substr(0, length);
    input.remove_prefix(length);
  } else {
    size_t take = std::min(length - buffer_.size(), input.size());
    buffer_.append(input.data(), take);
    input.remove_prefix(take);
    if (buffer_.size() < length) return TFcgiReadStatus::NeedMore;
    content_ = buffer_;
  }
  step_ = paddingLeft_ > 0 ? TStep::Padding : TStep::Header;
  return TFcgiReadStatus::Record;
}

}  // namespace pithorama
