#include "platform/ServerLibrary.h"

#include "platform/Environment.h"
#include "platform/Module.h"
#include "platform/Paths.h"

namespace pithorama {

std::string ServerLibraryPath(std::string_view, std::string_view posixName,
                              std::string_view envName) {
  std::optional<std::string> named = GetEnvironment(envName);
  if (named && !named->empty()) return *named;
  return ExtractFilePath(ModuleFileName()) + std::string(posixName);
}

}  // namespace pithorama
