#include "pithorama/engine/Scramble.h"

#include <utility>

namespace pithorama {

std::string ScrambleString(std::string_view text, int32_t key) {
  std::string result(text);
  for (size_t i = result.size(); i >= 2; i -= 2) std::swap(result[i - 1], result[i - 2]);
  // |key| computed in 64 bits so that the most negative key stays defined.
  const int64_t magnitude = key < 0 ? -static_cast<int64_t>(key) : key;
  for (size_t i = 1; i <= result.size(); ++i) {
    uint8_t byte = static_cast<uint8_t>(result[i - 1]);
    byte ^= static_cast<uint8_t>(static_cast<uint32_t>(key) + static_cast<uint32_t>(i));
    unsigned shift = static_cast<unsigned>((magnitude % 2483 + static_cast<int64_t>(i)) % 8);
    byte = static_cast<uint8_t>((byte >> shift) | (byte << ((8 - shift) % 8)));
    result[i - 1] = static_cast<char>(byte);
  }
  return result;
}

}  // namespace pithorama
