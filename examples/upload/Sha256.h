// SHA-256 (FIPS 180-4), fed in pieces, so that an upload of any size is
// hashed without holding it in memory.
//
//   TSha256 hash;
//   hash.Update(data, size);        // as often as needed
//   std::string hex = hash.HexDigest();
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace upload {

class TSha256 {
 public:
  TSha256();
  void Update(const void* data, size_t size);
  // Finishes the hash: 64 lower-case hexadecimal digits. Call once.
  std::string HexDigest();

 private:
  void Compress(const uint8_t* block);

  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> block_{};
  size_t blockUsed_ = 0;
  uint64_t totalBytes_ = 0;
};

}  // namespace upload
