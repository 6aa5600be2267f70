// Address lists as users write them: items separated by commas (or, when the
// list holds no comma, by semicolons), each a bare address or a name followed
// by the address, usually in angle brackets. A separator inside a quoted name
// ("Lee, Ann" <ann@x.org>) belongs to the name.
//
//   FormatAddressList("Ann Lee <ann@x.org>, bob@y.org", TAddressForm::Envelope)
//     == "<ann@x.org>,<bob@y.org>"
//   FormatAddressList("Ann Lee <ann@x.org>, bob@y.org", TAddressForm::Header)
//     == "Ann Lee <ann@x.org>,<bob@y.org>"
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pithorama {

enum class TAddressForm {
  Envelope,  // "<address>" items for MAIL FROM and RCPT TO
  Header,    // "name <address>" items for the message header
};

// One item of a list: the display name as written (quotes kept, control
// characters made blanks; empty when there is none) and the bare address.
struct TAddressItem {
  std::string Name;
  std::string Address;
};

// The items of the list in order. Empty items (stray separators, brackets
// around nothing) are left out; a last remainder of one character is dropped.
// Addresses never contain blanks, control characters, "<", ">" or ",".
std::vector<TAddressItem> ParseAddressList(std::string_view list);

// Formats every item of the list, joined by commas without blanks, so that no
// item can break a header line.
std::string FormatAddressList(std::string_view list, TAddressForm form);

}  // namespace pithorama
