// The fields of a request's url-encoded content, decoded once, so that a
// handler that reads every field costs time in proportion to the content and
// not to its square.
//
//   TFormFields fields("flag&page=2&a=1&A=+2+");
//   fields.Value("page", "none");  // "2"
//   fields.Value("flag", "none");  // "": a piece without "=" is a field of its own
//   fields.Value("a", "none");     // "1\r\n2": names compared case-insensitively
//   fields.Names();                // {"flag", "page", "a", "A"}
//
// The answers are those of GetFieldValue and THttpEngine::ParseFieldNames on
// the same text. Each value is held once, decoded and trimmed; the text itself
// is not kept, so the caller may free it.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "pithorama/platform/Strings.h"

namespace pithorama {

class TFormFields {
 public:
  TFormFields() = default;
  explicit TFormFields(std::string_view text);

  // The field's value, or the values of a field that occurs several times
  // joined by CR LF in their order; defaultValue when there is no such field.
  std::string Value(std::string_view name, std::string_view defaultValue) const;
  // Every value of the field in order, each whole; empty when there is none.
  TStringList Values(std::string_view name) const;
  // The decoded names in order, a repeated name listed once per run of repeats.
  TStringList Names() const;

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);
  struct TField {
    std::string Name;   // decoded, as sent
    std::string Value;  // decoded and trimmed
    size_t Next;        // the next field with the same key, or kNone
  };
  struct TChain {
    size_t First;
    size_t Last;
  };

  std::vector<TField> fields_;
  std::unordered_map<std::string, TChain> chains_;  // by FieldKey of the name
};

}  // namespace pithorama
