// The upload example's SHA-256 against the published test vectors, fed whole
// and in pieces of every size up to a block and a half.
#include <gtest/gtest.h>

#include <string>

#include "examples/upload/Sha256.h"

namespace {

struct Vector {
  std::string message;
  const char* digest;
};

TEST(Sha256, KnownVectors) {
  const Vector vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1'000'000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.message.substr(0, 20));
    for (size_t piece : {size_t{1}, size_t{7}, size_t{55}, size_t{56}, size_t{64}, size_t{97},
                         v.message.size() + 1}) {
      upload::TSha256 hash;
      for (size_t at = 0; at < v.message.size(); at += piece)
        hash.Update(v.message.data() + at, std::min(piece, v.message.size() - at));
      EXPECT_EQ(hash.HexDigest(), v.digest) << piece;
    }
  }
}

}  // namespace
