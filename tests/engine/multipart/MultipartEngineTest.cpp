// The decoder inside the request cycle: the handler sees the fields and the
// uploads, and no upload outlives its request.
#include <gtest/gtest.h>

#include "pithorama/engine/HttpEng.h"
#include "pithorama/platform/Files.h"
#include "tests/engine/multipart/MultipartSupport.h"
#include "tests/support/FakeEngine.h"

using namespace pithorama::test;

namespace {

// A gateway over memory: the body comes from a PieceSource, the fields are
// what ReadMultipartInput answered.
class BodyEngine : public FakeEngine {
 public:
  BodyEngine(std::string body, size_t piece, size_t failAt = SIZE_MAX)
      : source_(std::move(body), piece, failAt) {
    active = false;
  }

  void ExecRequest() override {
    content = ReadMultipartInput();
    FakeEngine::ExecRequest();
  }
  int64_t ReadBuffer(void* buffer, size_t count) override { return source_.Read(buffer, count); }

 private:
  PieceSource source_;
};

struct RequestCase {
  const char* title;
  int64_t lengthOffset;  // added to the body's length in CONTENT LENGTH
  size_t failAt;         // where the source fails
  bool fieldsExpected;
};

TEST(MultipartEngine, UploadsGoneAfterRequest) {
  const std::string data = Bytes(50'000, 11);
  const std::string body = Body("zz9PLURALzAlpha", {{FieldHeader("a"), "x=1&y"},
                                                    {FileHeader("f", "one.bin"), data},
                                                    {FileHeader("g", "two.txt", "text/plain"), ""},
                                                    {FieldHeader("a"), "again"}});
  const RequestCase cases[] = {
      {"whole body", 0, SIZE_MAX, true},
      {"length larger than the body", 10, SIZE_MAX, false},
      {"source fails midway", 0, 30'000, false},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.title);
    pithorama::test::TempFolder temp;
    BodyEngine engine(body, 1000, c.failAt);
    engine.TempDir = temp.Path();
    engine.variables["CONTENT LENGTH"] =
        std::to_string(static_cast<int64_t>(body.size()) + c.lengthOffset);
    bool handled = false;
    engine.OnExecRequest = [&](pithorama::TObject* sender) {
      handled = true;
      EXPECT_EQ(sender, &engine);
      const pithorama::TStringList* tempFiles = pithorama::RequestState().TempFiles.get();
      ASSERT_NE(tempFiles, nullptr);
      EXPECT_EQ(FilesIn(temp.Path()), Sorted(*tempFiles));
      if (!c.fieldsExpected) {
        EXPECT_EQ(engine.content, "");
        return;
      }
      EXPECT_EQ(engine.GetField("a", "none"), "x=1&y\r\nagain");
      EXPECT_EQ(engine.GetField("f", "none"), "one.bin");
      EXPECT_EQ(engine.GetField("g_CONTENT_TYPE", "none"), "text/plain");
      const std::string fileF = engine.GetField("f_FILENAME", "");
      const std::string fileG = engine.GetField("g_FILENAME", "");
      EXPECT_EQ(pithorama::test::ReadWholeFile(fileF), data);
      EXPECT_TRUE(pithorama::FileExists(fileG));
      EXPECT_EQ(pithorama::test::ReadWholeFile(fileG), "");
      EXPECT_EQ(Sorted(*tempFiles), Sorted({fileF, fileG}));
      EXPECT_EQ(engine.GetFieldNames(),
                (pithorama::TStringList{"a", "f_CONTENT_TYPE", "f", "f_FILENAME", "g_CONTENT_TYPE",
                                        "g", "g_FILENAME", "a"}));
    };
    engine.RunRequest();
    EXPECT_TRUE(handled);
    EXPECT_TRUE(FilesIn(temp.Path()).empty());
    EXPECT_EQ(pithorama::RequestState().TempFiles, nullptr);
  }
}

// The content type names the boundary: a preamble line that looks like one
// is skipped; without the parameter the first "--" line is taken for it.
TEST(MultipartEngine, BoundaryFromContentType) {
  const std::string body = "--preamble\r\n\r\n" + Body("real", {{FieldHeader("a"), "x"}});
  const struct {
    const char* contentType;
    std::string fields;
  } cases[] = {
      {"multipart/form-data; boundary=real", "a=x&"},
      {"multipart/form-data; boundary=\"real\"", "a=x&"},
      {"multipart/form-data;", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contentType);
    pithorama::test::TempFolder temp;
    BodyEngine engine(body, 1000);
    engine.TempDir = temp.Path();
    engine.variables["CONTENT LENGTH"] = std::to_string(body.size());
    engine.variables["CONTENT TYPE"] = c.contentType;
    engine.RunRequest();
    EXPECT_EQ(engine.content, c.fields);
  }
}

}  // namespace
