// The upload example's pages: the form, and the answer to a posted form.
#pragma once

#include <functional>
#include <string>

#include "pithorama/platform/Strings.h"

namespace upload {

// What the answer reads of a request: its field names as the request lists
// them, and a field's value ("" when absent).
struct TPostedFields {
  std::function<pithorama::TStringList()> Names;
  std::function<std::string(const std::string&)> Value;
};

// The form that posts to `action` as multipart/form-data.
std::string FormPage(const std::string& action);
// Every field once with its values, then every upload with its size and
// SHA-256 read from its temporary file.
std::string AnswerPage(const TPostedFields& fields);

}  // namespace upload
