// A library built from the system's sources with the platform's library
// hook: it tells the test which module file it runs in and whether the hook
// switched it to library mode.
#include <string>

#include "pithorama/platform/Library.h"
#include "pithorama/platform/Module.h"

namespace pithorama {
void LibraryStart() {}
}  // namespace pithorama

extern "C" PITHORAMA_EXPORT const char* ProbeModuleFileName() {
  pithorama::EnsureLibraryStarted();
  static std::string name;
  name = pithorama::IsLibrary() ? pithorama::ModuleFileName() : "not in library mode";
  return name.c_str();
}
