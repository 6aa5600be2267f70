// The temporary files of uploads: where they go, what they are called, who
// may read them, and that no existing file is ever opened in their place.
#include <gtest/gtest.h>

#include <filesystem>

#include "pithorama/engine/multipart/MultipartUpload.h"
#include "pithorama/platform/Errors.h"
#include "pithorama/platform/Random.h"
#include "tests/engine/multipart/MultipartSupport.h"

using namespace pithorama::test;
namespace fs = std::filesystem;

namespace {

// The draw that the next upload will take, leaving the generator as it was.
uint32_t NextDraw() {
  const uint32_t seed = pithorama::RandSeed();
  const uint32_t draw = pithorama::Random(9'000'000);
  pithorama::SetRandSeed(seed);
  return draw;
}

std::string OneUpload(const std::string& sentName) {
  return Body("b0undary", {{FileHeader("f", sentName, "text/plain"), "data"}});
}

TEST(MultipartUpload, NamesStayInTempDir) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"p.gif", "p.tmp"},
      {"C:\\Users\\me\\p.gif", "p.tmp"},
      {"../../etc/passwd", "passwd.tmp"},
      {"..\\..\\x.y.z", "x.tmp"},
      {"a/b\\c.d", "c.tmp"},
      {"/abs/name", "name.tmp"},
      {"dir/", ".tmp"},
      {"..", ".tmp"},
      {"C:", ".tmp"},
      {std::string("x\0y.txt", 7), "x.tmp"},
      {std::string(300, 'n') + ".txt", std::string(100, 'n') + ".tmp"},
  };
  for (const auto& [sent, tail] : cases) {
    SCOPED_TRACE(sent);
    pithorama::test::TempFolder temp;
    pithorama::SetRandSeed(777);
    const std::string expected = temp.File(std::to_string(NextDraw()) + tail);
    const Decoded decoded = Decode(OneUpload(sent), temp.Path());
    ASSERT_EQ(decoded.tempFiles.size(), 1u);
    EXPECT_EQ(decoded.tempFiles[0], expected);
    EXPECT_EQ(pithorama::test::ReadWholeFile(expected), "data");
    EXPECT_EQ(FilesIn(temp.Path()), decoded.tempFiles);
  }
}

TEST(MultipartUpload, OwnerOnly) {
  if (!pithorama::test::FileModesAvailable())
    GTEST_SKIP() << "no owner-only mode bits: access follows the folder's access list";
  pithorama::test::TempFolder temp;
  const Decoded decoded = Decode(OneUpload("p.txt"), temp.Path());
  ASSERT_EQ(decoded.tempFiles.size(), 1u);
  EXPECT_EQ(fs::status(decoded.tempFiles[0]).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
}

// Something already at the drawn name (another request's upload, or a link
// someone planted) is left alone and a new number is drawn.
TEST(MultipartUpload, ExistingNameNeverOpened) {
  for (bool link : {false, true}) {
    SCOPED_TRACE(link ? "symbolic link" : "file");
    pithorama::test::TempFolder temp;
    pithorama::test::TempFolder elsewhere;
    pithorama::SetRandSeed(4242);
    const std::string taken = temp.File(std::to_string(NextDraw()) + "p.tmp");
    const std::string victim = elsewhere.File("victim");
    pithorama::test::WriteWholeFile(victim, "keep me");
    if (link) {
      std::error_code error;
      fs::create_symlink(victim, taken, error);
      if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
    } else {
      pithorama::test::WriteWholeFile(taken, "another request");
    }

    const Decoded decoded = Decode(OneUpload("p.gif"), temp.Path());
    ASSERT_EQ(decoded.tempFiles.size(), 1u);
    EXPECT_NE(decoded.tempFiles[0], taken);
    EXPECT_EQ(pithorama::test::ReadWholeFile(decoded.tempFiles[0]), "data");
    EXPECT_EQ(pithorama::test::ReadWholeFile(victim), "keep me");
    EXPECT_EQ(fs::is_symlink(taken), link);
    if (!link) {
      EXPECT_EQ(pithorama::test::ReadWholeFile(taken), "another request");
    }
  }
}

// A relative TempDir lies in the program's folder; an empty one is that folder.
TEST(MultipartUpload, TempDirRelativeToProgram) {
  for (const std::string dir : {"", "up", "up/inner"}) {
    SCOPED_TRACE(dir);
    pithorama::test::TempFolder program;
    if (!dir.empty()) fs::create_directories(program.File(dir));
    pithorama::TMultipartOptions options;
    options.TempDir = dir;
    options.ProgramFile = program.File("upload");
    pithorama::TStringList tempFiles;
    std::string fields;
    const std::string body = OneUpload("p.gif");
    PieceSource source(body);
    pithorama::DecodeMultipartStream(source, static_cast<int64_t>(body.size()), options, tempFiles,
                                     fields);
    ASSERT_EQ(tempFiles.size(), 1u);
    const std::string folder = dir.empty() ? program.Path() : program.File(dir);
    EXPECT_EQ(fs::path(tempFiles[0]).parent_path(), fs::path(folder));
  }
}

TEST(MultipartUpload, MissingFolderRaises) {
  pithorama::test::TempFolder temp;
  pithorama::TStringList tempFiles;
  std::string fields;
  const std::string body = OneUpload("p.gif");
  PieceSource source(body);
  pithorama::TMultipartOptions options;
  options.TempDir = temp.File("missing");
  EXPECT_THROW(pithorama::DecodeMultipartStream(source, static_cast<int64_t>(body.size()), options,
                                                tempFiles, fields),
               pithorama::EFOpenError);
  EXPECT_TRUE(tempFiles.empty());
}

}  // namespace
