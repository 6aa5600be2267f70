#include "mail/AddressList.h"

#include <algorithm>

#include "platform/Strings.h"

namespace pithorama {
namespace {

// Splits off the first item at the first comma, or at the first semicolon
// when there is no comma; `rest` becomes the trimmed text after it.
std::string TakeItem(std::string& rest) {
  size_t separator = rest.find(',');
  if (separator == std::string::npos) separator = rest.find(';');
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
void SplitItem(const std::string& item, std::string& name, std::string& address) {
  size_t k = item.size();
  while (k > 0 && !(static_cast<unsigned char>(item[k - 1]) <= 32 || item[k - 1] == '<')) --k;
  name.clear();
  address = item;
  if (k > 0) {
    name = Trim(std::string_view(item).substr(0, k - 1));
    if (!name.empty()) address = Trim(std::string_view(item).substr(k));
  }
  std::erase_if(address, [](char c) { return c == '<' || c == '>' || c == ','; });
  address = Trim(address);
  std::replace_if(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 32; }, ' ');
}

}  // namespace

std::string FormatAddressList(std::string_view list, TAddressForm form) {
  std::string result;
  std::string rest(list);
  while (rest.size() > 1) {
    std::string item = TakeItem(rest);
    std::string name, address;
    SplitItem(item, name, address);
    if (address.empty()) continue;  // a stray separator, or brackets around nothing
    if (!result.empty()) result += ',';
    if (form == TAddressForm::Envelope)
      result += "<" + address + ">";
    else
      result += Trim(Trim(name) + " <" + address + ">");
  }
  return result;
}

}  // namespace pithorama
