#include "pithorama/engine/Scramble.h"

#include <utility>

namespace pithorama {

namespace {

void SwapPairsFromEnd(std::string& text) {
  for (size_t i = text.size(); i >= 2; i -= 2) std::swap(text[i - 1], text[i - 2]);
}

uint8_t KeyByte(int32_t key, size_t i) {
  return static_cast<uint8_t>(static_cast<uint32_t>(key) + static_cast<uint32_t>(i));
}

unsigned Shift(int32_t key, size_t i) {
  // |key| computed in 64 bits so that the most negative key stays defined.
  const int64_t magnitude = key < 0 ? -static_cast<int64_t>(key) : key;
  return static_cast<unsigned>((magnitude % 2483 + static_cast<int64_t>(i)) % 8);
}

uint8_t RotateRight(uint8_t byte, unsigned shift) {
  return static_cast<uint8_t>((byte >> shift) | (byte << ((8 - shift) % 8)));
}

}  // namespace

std::string ScrambleString(std::string_view text, int32_t key) {
  std::string result(text);
  SwapPairsFromEnd(result);
  for (size_t i = 1; i <= result.size(); ++i) {
    const uint8_t byte = static_cast<uint8_t>(result[i - 1]) ^ KeyByte(key, i);
    result[i - 1] = static_cast<char>(RotateRight(byte, Shift(key, i)));
  }
  return result;
}

std::string UnscrambleString(std::string_view text, int32_t key) {
  std::string result(text);
  for (size_t i = 1; i <= result.size(); ++i) {
    const uint8_t byte = RotateRight(static_cast<uint8_t>(result[i - 1]), (8 - Shift(key, i)) % 8);
    result[i - 1] = static_cast<char>(byte ^ KeyByte(key, i));
  }
  SwapPairsFromEnd(result);
  return result;
}

}  // namespace pithorama
