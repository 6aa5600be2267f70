// The keyed string scrambler of the session file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pithorama {

// A scrambled copy of `text`, of the same length: neighbouring bytes swapped
// pairwise from the end, then each byte XORed with the low byte of (key + i)
// and rotated right by ((|key| mod 2483) + i) mod 8 bits, i counted from 1.
std::string ScrambleString(std::string_view text, int32_t key);

// The text that ScrambleString(text, key) was made from:
// UnscrambleString(ScrambleString(t, k), k) == t for every text and key.
std::string UnscrambleString(std::string_view text, int32_t key);

}  // namespace pithorama
