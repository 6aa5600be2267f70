// Address lists as users write them: items separated by commas (or, when the
// list holds no comma, by semicolons), each a bare address or a name followed
// by the address, usually in angle brackets.
//
//   FormatAddressList("Ann Lee <ann@x.org>, bob@y.org", TAddressForm::Envelope)
//     == "<ann@x.org>,<bob@y.org>"
//   FormatAddressList("Ann Lee <ann@x.org>, bob@y.org", TAddressForm::Header)
//     == "Ann Lee <ann@x.org>,<bob@y.org>"
#pragma once

#include <string>
#include <string_view>

namespace pithorama {

enum class TAddressForm {
  Envelope,  // "<address>" items for MAIL FROM and RCPT TO
  Header,    // "name <address>" items for the message header
};

// Formats every item of the list, joined by commas without blanks. Empty items
// (stray separators) are left out; a last remainder of one character is
// dropped. Addresses never contain blanks, control characters, "<", ">" or
// ","; control characters in a name become blanks, so that no item can break
// a header line.
std::string FormatAddressList(std::string_view list, TAddressForm form);

}  // namespace pithorama
