// The decoder against the ways a body arrives: in pieces of every size,
// truncated anywhere, cut short by the source, or failing.
#include <gtest/gtest.h>

#include "pithorama/platform/Files.h"
#include "pithorama/platform/Random.h"
#include "tests/engine/multipart/MultipartSupport.h"

using namespace pithorama::test;

namespace {

const std::string kB = "------WebKitFormBoundary7MA4YWxkTrZu0gW";

// Decodes with a fixed seed, so that a body's temporary file names are the
// same in every run, and deletes the files afterwards.
Decoded DecodeSeeded(PieceSource& source, int64_t length, const std::string& folder) {
  pithorama::SetRandSeed(12345);
  Decoded decoded = Decode(source, length, folder);
  EXPECT_EQ(FilesIn(folder), Sorted(decoded.tempFiles)) << "files outside the list";
  return decoded;
}

void DeleteAll(const Decoded& decoded) {
  for (const std::string& name : decoded.tempFiles) pithorama::DeleteFile(name);
}

// Every read size from one byte up splits the boundary lines at every place.
TEST(MultipartStream, EveryReadSize) {
  const std::string data = Bytes(70'000, 3);
  const std::string body = Body(kB, {{FieldHeader("a"), "first"},
                                     {FileHeader("f", "d.bin"), data},
                                     {FieldHeader("b"), std::string(500, 'v')},
                                     {FileHeader("g", "e.txt"), "end"}});
  pithorama::test::TempFolder temp;
  PieceSource whole(body);
  const Decoded reference = DecodeSeeded(whole, static_cast<int64_t>(body.size()), temp.Path());
  ASSERT_EQ(reference.tempFiles.size(), 2u);
  ASSERT_NE(reference.fields.find("b=vvv"), std::string::npos);
  DeleteAll(reference);

  std::vector<size_t> sizes;
  for (size_t n = 1; n <= 300; ++n) sizes.push_back(n);
  for (size_t n : {1000, 4095, 4096, 16383, 32767, 32768, 32769, 65536}) sizes.push_back(n);
  for (size_t piece : sizes) {
    SCOPED_TRACE(piece);
    PieceSource source(body, piece);
    const Decoded decoded = DecodeSeeded(source, static_cast<int64_t>(body.size()), temp.Path());
    EXPECT_EQ(decoded.fields, reference.fields);
    ASSERT_EQ(decoded.tempFiles.size(), 2u);
    EXPECT_EQ(pithorama::test::ReadWholeFile(decoded.tempFiles[0]), data);
    EXPECT_EQ(pithorama::test::ReadWholeFile(decoded.tempFiles[1]), "end");
    DeleteAll(decoded);
  }
}

// Uploads larger than the decoder's memory reach their files whole and in
// order, whatever pieces the source delivers them in, with a field between
// them left intact.
TEST(MultipartStream, LargeUploadsWhole) {
  const std::string first = Bytes(1'300'000, 5);
  const std::string second = Bytes(600'001, 6);
  const std::string body = Body(kB, {{FileHeader("f", "a.bin"), first},
                                     {FieldHeader("b"), "between"},
                                     {FileHeader("g", "b.bin"), second}});
  pithorama::test::TempFolder temp;
  for (size_t piece : {size_t{4095}, size_t{65536}, size_t{300'000}, body.size()}) {
    SCOPED_TRACE(piece);
    PieceSource source(body, piece);
    const Decoded decoded = DecodeSeeded(source, static_cast<int64_t>(body.size()), temp.Path());
    EXPECT_NE(decoded.fields.find("&b=between&"), std::string::npos);
    ASSERT_EQ(decoded.tempFiles.size(), 2u);
    EXPECT_TRUE(pithorama::test::ReadWholeFile(decoded.tempFiles[0]) == first);
    EXPECT_TRUE(pithorama::test::ReadWholeFile(decoded.tempFiles[1]) == second);
    DeleteAll(decoded);
  }
}

// How a body is cut short: it ends where its length says, the source stops
// delivering (0) while bytes are due, or the source fails.
struct Cut {
  const char* title;
  bool lengthFollowsCut;  // the announced length is the cut's
  int64_t failure;        // what the source answers at the cut
};

TEST(MultipartStream, CutAnywhere) {
  const std::string body = Body(kB, {{FieldHeader("a"), "x&y"},
                                     {FileHeader("f", "p.txt", "text/plain"), "file data"},
                                     {FieldHeader("b"), "z"}});
  const Cut cuts[] = {{"body ends early", true, 0},
                      {"source answers 0 while bytes are due", false, 0},
                      {"source fails", false, -1}};
  pithorama::test::TempFolder temp;
  PieceSource whole(body);
  const Decoded full = DecodeSeeded(whole, static_cast<int64_t>(body.size()), temp.Path());
  ASSERT_EQ(full.fields.rfind("a=x%26y&f_CONTENT_TYPE=", 0), 0u);
  DeleteAll(full);

  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.title);
    for (size_t at = 0; at < body.size(); ++at) {
      SCOPED_TRACE(at);
      for (size_t piece : {size_t{1}, size_t{5}, size_t{1} << 20}) {
        PieceSource source(body, piece, at, cut.failure);
        const int64_t length = static_cast<int64_t>(cut.lengthFollowsCut ? at : body.size());
        const Decoded decoded = DecodeSeeded(source, length, temp.Path());
        if (cut.lengthFollowsCut)
          EXPECT_EQ(full.fields.rfind(decoded.fields, 0), 0u) << decoded.fields;
        else
          EXPECT_EQ(decoded.fields, "");
        EXPECT_LE(source.calls, static_cast<int>(body.size()) + 2) << "asked again after the end";
        DeleteAll(decoded);
      }
    }
  }
}

// Announcing more than the body holds must not wait for bytes that never come.
TEST(MultipartStream, LengthLargerThanBody) {
  const std::string body = Body(kB, {{FileHeader("f", "big.bin"), Bytes(100'000, 9)}});
  for (int64_t extra : {1, 1000, 1 << 30}) {
    SCOPED_TRACE(extra);
    pithorama::test::TempFolder temp;
    PieceSource source(body, 4096);
    const Decoded decoded = Decode(source, static_cast<int64_t>(body.size()) + extra, temp.Path());
    EXPECT_EQ(decoded.fields, "");
    // The upload made so far stays listed for the caller to delete.
    EXPECT_EQ(FilesIn(temp.Path()), Sorted(decoded.tempFiles));
    EXPECT_EQ(decoded.tempFiles.size(), 1u);
  }
}

// A source that answers more than it was asked for is a failing one.
class Overdelivering : public pithorama::TByteSource {
 public:
  int64_t Read(void*, size_t count) override { return static_cast<int64_t>(count) + 1; }
};

TEST(MultipartStream, SourceAnsweringTooMuchFails) {
  pithorama::test::TempFolder temp;
  Overdelivering source;
  EXPECT_EQ(Decode(source, 1000, temp.Path()).fields, "");
}

}  // namespace
