#include "engine/FormDecoder.h"

#include "engine/HttpEng.h"
#include "engine/MultipartHeader.h"
#include "engine/MultipartStream.h"
#include "platform/Module.h"

namespace pithorama {
namespace {

// The body as the gateway delivers it.
class TEngineSource : public TByteSource {
 public:
  explicit TEngineSource(THttpEngine& engine) : engine_(engine) {}
  int64_t Read(void* buffer, size_t count) override { return engine_.ReadBuffer(buffer, count); }

 private:
  THttpEngine& engine_;
};

}  // namespace

void DecodeMultipart(THttpEngine& engine, std::string& result) {
  std::unique_ptr<TStringList>& tempFiles = RequestState().TempFiles;
  if (!tempFiles) tempFiles = std::make_unique<TStringList>();
  TEngineSource source(engine);
  TMultipartOptions options;
  options.TempDir = engine.TempDir;
  options.ProgramFile = ModuleFileName();
  options.Boundary = MultipartBoundary(engine.GetContentType());
  DecodeMultipartStream(source, engine.GetContentLength(), options, *tempFiles, result);
}

}  // namespace pithorama
