#include <gtest/gtest.h>

#include "pithorama/mail/AddressList.h"

using namespace pithorama;

namespace {

struct AddressCase {
  const char* list;
  const char* envelope;
  const char* header;
};

const AddressCase AddressCases[] = {
    {"Ann Lee <ann@x.org>, bob@y.org", "<ann@x.org>,<bob@y.org>",
     "Ann Lee <ann@x.org>,<bob@y.org>"},
    {"", "", ""},
    {"a@x.org", "<a@x.org>", "<a@x.org>"},
    {"<a@x.org>", "<a@x.org>", "<a@x.org>"},
    {"Ann<a@x.org>", "<a@x.org>", "Ann <a@x.org>"},
    // Only semicolons: split at them; with a comma, only at commas.
    {"a@x.org;b@y.org", "<a@x.org>,<b@y.org>", "<a@x.org>,<b@y.org>"},
    {"a@x.org;b@y.org, c@z.org", "<a@x.org;b@y.org>,<c@z.org>", "<a@x.org;b@y.org>,<c@z.org>"},
    // Stray separators and blanks make no empty items.
    {" , a@x.org,, ,b@y.org ,", "<a@x.org>,<b@y.org>", "<a@x.org>,<b@y.org>"},
    {",,,", "", ""},
    {"<>, a@x.org", "<a@x.org>", "<a@x.org>"},
    // A last remainder of one character is dropped.
    {"a@x.org, b", "<a@x.org>", "<a@x.org>"},
    {"  Dr. No   <no@x.org>  ", "<no@x.org>", "Dr. No <no@x.org>"},
    {"Ann\r\nBcc: evil <a@x.org>", "<a@x.org>", "Ann  Bcc: evil <a@x.org>"},
    {"a\tb@x.org", "<b@x.org>", "a <b@x.org>"},
    {"<<a@x.org>>", "<a@x.org>", "< <a@x.org>"},
    // A comma or semicolon inside a quoted name belongs to the name.
    {"\"Lee, Ann\" <ann@x.org>, bob@y.org", "<ann@x.org>,<bob@y.org>",
     "\"Lee, Ann\" <ann@x.org>,<bob@y.org>"},
    {"\"Lee; Ann\" <ann@x.org>; bob@y.org", "<ann@x.org>,<bob@y.org>",
     "\"Lee; Ann\" <ann@x.org>,<bob@y.org>"},
    {"\"A \\\", B\" <a@x.org>", "<a@x.org>", "\"A \\\", B\" <a@x.org>"},
    // A quote that is never closed protects nothing.
    {"\"Lee, a@x.org, b@y.org", "<\"Lee>,<a@x.org>,<b@y.org>", "<\"Lee>,<a@x.org>,<b@y.org>"},
};

TEST(FormatAddressList, BothForms) {
  for (const AddressCase& c : AddressCases) {
    SCOPED_TRACE(c.list);
    EXPECT_EQ(FormatAddressList(c.list, TAddressForm::Envelope), c.envelope);
    EXPECT_EQ(FormatAddressList(c.list, TAddressForm::Header), c.header);
  }
}

}  // namespace
