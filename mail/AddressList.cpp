#include "pithorama/mail/AddressList.h"

#include <algorithm>

#include "pithorama/platform/Strings.h"

namespace pithorama {
namespace {

// The first `separator` of text outside double quotes, or npos. A backslash
// inside quotes escapes the next character. Quotes that are never closed
// protect nothing, so a stray quote cannot join the rest of the list.
size_t FindOutsideQuotes(std::string_view text, char separator) {
  bool quoted = false;
  size_t first = text.find(separator);
  for (size_t i = 0; i < text.size(); ++i) {
    if (quoted && text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      quoted = !quoted;
    } else if (!quoted && text[i] == separator) {
      return i;
    }
  }
  return quoted ? first : std::string_view::npos;
}

// Splits off the first item at the first comma, or at the first semicolon
// when there is no comma; `rest` becomes the trimmed text after it.
std::string TakeItem(std::string& rest) {
  size_t separator = FindOutsideQuotes(rest, ',');
  if (separator == std::string::npos) separator = FindOutsideQuotes(rest, ';');
  if (separator == std::string::npos) {
    std::string item = Trim(rest);
    rest.clear();
    return item;
  }
  std::string item = Trim(std::string_view(rest).substr(0, separator));
  rest = Trim(std::string_view(rest).substr(separator + 1));
  return item;
}

// The name is what precedes the last blank, control character or "<".
TAddressItem SplitItem(const std::string& item) {
  size_t k = item.size();
  while (k > 0 && !(static_cast<unsigned char>(item[k - 1]) <= 32 || item[k - 1] == '<')) --k;
  TAddressItem result{std::string(), item};
  if (k > 0) {
    result.Name = Trim(std::string_view(item).substr(0, k - 1));
    if (!result.Name.empty()) result.Address = Trim(std::string_view(item).substr(k));
  }
  std::erase_if(result.Address, [](char c) { return c == '<' || c == '>' || c == ','; });
  result.Address = Trim(result.Address);
  std::replace_if(
      result.Name.begin(), result.Name.end(),
      [](char c) { return static_cast<unsigned char>(c) < 32; }, ' ');
  result.Name = Trim(result.Name);
  return result;
}

}  // namespace

std::vector<TAddressItem> ParseAddressList(std::string_view list) {
  std::vector<TAddressItem> items;
  std::string rest(list);
  while (rest.size() > 1) {
    TAddressItem item = SplitItem(TakeItem(rest));
    if (!item.Address.empty()) items.push_back(std::move(item));
  }
  return items;
}

std::string FormatAddressList(std::string_view list, TAddressForm form) {
  std::string result;
  for (const TAddressItem& item : ParseAddressList(list)) {
    if (!result.empty()) result += ',';
    if (form == TAddressForm::Envelope)
      result += "<" + item.Address + ">";
    else
      result += Trim(item.Name + " <" + item.Address + ">");
  }
  return result;
}

}  // namespace pithorama
