// The template filter over any text and any template file: no crash, no hang,
// and without a handler the answer is the input itself (for a file, each
// 255-byte read up to its first zero byte).
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "pithorama/engine/HttpEng.h"
#include "pithorama/engine/HttpFilter.h"
#include "pithorama/platform/Files.h"

namespace {

using namespace pithorama;

// Answers a variable for names starting with "V" and a field for names
// starting with "F", so that every road of the look-up is taken.
class TFuzzEngine : public THttpEngine {
 public:
  TFuzzEngine() : THttpEngine(nullptr) {
    AutoHttpHeader = false;
    MakeCurrent();
  }
  std::string answer;
  void ExecRequest() override {}
  void Write(std::string_view text) override { answer.append(text); }
  std::string GetVariable(std::string_view name) override {
    return !name.empty() && name[0] == 'V' ? std::string(name.substr(1))
                                           : std::string(NotAvailable);
  }
  std::string GetField(std::string_view name, std::string_view defaultValue) override {
    return !name.empty() && name[0] == 'F' ? std::string(name.substr(1))
                                           : std::string(defaultValue);
  }
  TStringList GetFieldNames() override { return {}; }
  bool IsActiveGateway() override { return true; }
};

std::string TemplatePath() {
  static const std::string path = (std::filesystem::temp_directory_path() /
                                   ("send_text_fuzz_" + std::to_string(std::rand()) + ".html"))
                                      .string();
  return path;
}

// What SendFile sends without a handler: each read of 255 bytes cut at its first zero.
std::string ExpectedFileAnswer(std::string_view bytes) {
  std::string expected;
  for (size_t start = 0; start < bytes.size(); start += 255) {
    std::string_view read = bytes.substr(start, 255);
    expected.append(read.substr(0, read.find('\0')));
  }
  return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const bool withHandler = mode & 1;
  const bool throughFile = mode & 2;

  TFuzzEngine engine;
  THttpFileFilter filter(nullptr);
  if (withHandler) {
    // Names starting with "H" are answered by the handler, others looked up.
    filter.OnHttpEntry = [](std::string name, bool& handled) {
      handled = !name.empty() && name[0] == 'H';
      if (handled) CurrentEngine()->Write("[" + name + "]");
    };
  }
  if (throughFile) {
    TFile file;
    if (!file.Open(TemplatePath(), FileAccess::Write, FileShare::DenyNone,
                   FileCreate::CreateAlways) ||
        !file.Write(text))
      std::abort();
    file.Close();
    filter.FileName = TemplatePath();
    filter.SendFile();
    if (!withHandler && engine.answer != ExpectedFileAnswer(text)) std::abort();
  } else {
    filter.SendText(text);
    if (!withHandler && engine.answer != text) std::abort();
  }
  return 0;
}
