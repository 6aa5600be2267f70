// Streaming a template file through the filter.
#include <algorithm>
#include <cstdint>

#include "pithorama/engine/HttpFilter.h"
#include "pithorama/platform/Errors.h"
#include "pithorama/platform/Files.h"
#include "pithorama/platform/Module.h"

namespace pithorama {

namespace {

constexpr int64_t ReadSize = 255;
// A full read with a percent sign in its last 65 bytes pulls in the next one.
constexpr size_t LookAheadTail = 65;
constexpr int MaxReadsPerBlock = static_cast<int>(MaxTemplateBlock / ReadSize);

// Appends one block of the template to `block` and answers whether the file
// may hold more (its last read was full). A zero byte ends the text of its
// read; a failed read counts as the end of the file.
bool ReadBlock(TFile& file, std::string& block) {
  char buffer[ReadSize];
  for (int reads = 1;; ++reads) {
    int64_t n = std::max<int64_t>(file.Read(buffer, ReadSize), 0);
    std::string_view bytes(buffer, static_cast<size_t>(n));
    block.append(bytes.substr(0, bytes.find('\0')));
    if (n < ReadSize) return false;
    bool percentInTail = bytes.substr(ReadSize - LookAheadTail).find('%') != std::string_view::npos;
    if (!percentInTail || reads == MaxReadsPerBlock) return true;
  }
}

}  // namespace

std::string DefaultTemplateFileName(std::string_view modulePath) {
  const size_t dot = modulePath.find('.');
  if (dot == std::string_view::npos) return std::string(modulePath) + ".htm";
  return std::string(modulePath.substr(0, dot + 1)) + "htm";
}

std::string ResolveTemplatePath(std::string_view fileName, std::string_view modulePath,
                                const PathStyle& style) {
  if (style.isAbsolute(fileName)) return std::string(fileName);
  return ExtractFilePath(modulePath, style) + std::string(fileName);
}

void THttpFileFilter::SendFile() {
  const std::string modulePath = ModuleFileName();
  if (FileName.empty()) FileName = DefaultTemplateFileName(modulePath);
  const std::string path = ResolveTemplatePath(FileName, modulePath);
  if (!FileExists(path)) throw Exception(Name() + " : Can not find file named " + path);
  // The file object closes the template on every way out, a raising handler included.
  TFile file;
  if (!file.Open(path, FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting))
    throw Exception(Name() + " : open error " + path);
  std::string block;
  for (bool more = true; more;) {
    block.clear();
    more = ReadBlock(file, block);
    SendText(block);
  }
}

}  // namespace pithorama
