#include "pithorama/platform/ServerLibrary.h"

#include "pithorama/platform/Environment.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/Paths.h"

namespace pithorama {

std::string ServerLibraryPath(std::string_view, std::string_view posixName,
                              std::string_view envName) {
  std::optional<std::string> named = GetEnvironment(envName);
  if (named && !named->empty()) return *named;
  return ExtractFilePath(ModuleFileName()) + std::string(posixName);
}

}  // namespace pithorama
