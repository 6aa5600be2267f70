#include "pithorama/platform/Paths.h"

#include "pithorama/platform/SystemDrive.h"

namespace pithorama {

static bool WindowsIsAbsolute(std::string_view path) {
  return path.size() >= 3 && path.substr(1, 2) == ":\\";
}

static bool PosixIsAbsolute(std::string_view path) { return !path.empty() && path[0] == '/'; }

const PathStyle& PosixPathStyle() {
  static const PathStyle style{'/', "/", PosixIsAbsolute};
  return style;
}

const PathStyle& WindowsPathStyle() {
  static const std::string drive = WindowsSystemDrive();
  static const PathStyle style{'\\', "\\:", WindowsIsAbsolute, drive};
  return style;
}

static size_t NameStart(std::string_view path, const PathStyle& style) {
  size_t pos = path.find_last_of(style.nameSeparators);
  return pos == std::string_view::npos ? 0 : pos + 1;
}

std::string ExtractFilePath(std::string_view path, const PathStyle& style) {
  return std::string(path.substr(0, NameStart(path, style)));
}

std::string ExtractFileName(std::string_view path, const PathStyle& style) {
  return std::string(path.substr(NameStart(path, style)));
}

}  // namespace pithorama
