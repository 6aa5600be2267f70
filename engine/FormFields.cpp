#include "pithorama/engine/FormFields.h"

#include "pithorama/engine/HttpText.h"

namespace pithorama {
namespace {

// Trims blanks and control characters in place: a large value is not copied.
void TrimInPlace(std::string& text) {
  size_t last = text.size();
  while (last > 0 && static_cast<unsigned char>(text[last - 1]) <= 32) --last;
  text.resize(last);
  size_t first = 0;
  while (first < text.size() && static_cast<unsigned char>(text[first]) <= 32) ++first;
  text.erase(0, first);
}

}  // namespace

TFormFields::TFormFields(std::string_view text) {
  ForEachFieldPiece(text, [&](std::string_view name, std::string_view value) {
    const size_t index = fields_.size();
    fields_.push_back({UrlDecode(name), UrlDecode(value), kNone});
    TrimInPlace(fields_.back().Value);
    auto [chain, added] =
        chains_.try_emplace(Trim(UpperCase(fields_.back().Name)), TChain{index, index});
    if (!added) {
      fields_[chain->second.Last].Next = index;
      chain->second.Last = index;
    }
  });
}

std::string TFormFields::Value(std::string_view name, std::string_view defaultValue) const {
  const auto chain = chains_.find(Trim(UpperCase(name)));
  if (chain == chains_.end()) return std::string(defaultValue);
  size_t length = 0;
  for (size_t i = chain->second.First; i != kNone; i = fields_[i].Next)
    length += fields_[i].Value.size() + 2;
  std::string result;
  result.reserve(length - 2);
  for (size_t i = chain->second.First; i != kNone; i = fields_[i].Next) {
    if (i != chain->second.First) result += "\r\n";
    result += fields_[i].Value;
  }
  return result;
}

TStringList TFormFields::Values(std::string_view name) const {
  TStringList values;
  const auto chain = chains_.find(Trim(UpperCase(name)));
  if (chain == chains_.end()) return values;
  for (size_t i = chain->second.First; i != kNone; i = fields_[i].Next)
    values.push_back(fields_[i].Value);
  return values;
}

TStringList TFormFields::Names() const {
  TStringList names;
  for (const TField& field : fields_)
    if (names.empty() || names.back() != field.Name) names.push_back(field.Name);
  return names;
}

}  // namespace pithorama
